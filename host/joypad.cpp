// The joypad: the first joystick that opens (SDL2) and the keyboard, turned
// into the console pad's state once a frame. A pad that SDL knows is read as a
// game controller, by button names; any other by raw axes, hat and buttons.
#include <SDL.h>

#include "core/console.h"
#include "host/host.h"

int32_t TurboACount;
int32_t TurboBCount;
uint32_t KeyboardDirections;
bool KeyboardButtons[6];

namespace {

bool JoypadReady;
SDL_GameController* Controller;
SDL_Joystick* Joystick;  // the controller's own joystick, or a raw one
int32_t RescanCountdown;
constexpr int32_t kRescanFrames = 60;  // look for a newly plugged joystick once a second

void open_first_joystick() {
    int n = SDL_NumJoysticks();
    for (int i = 0; i < n && !Joystick; ++i) {
        if (SDL_IsGameController(i)) {
            Controller = SDL_GameControllerOpen(i);
            if (Controller) Joystick = SDL_GameControllerGetJoystick(Controller);
        } else {
            Joystick = SDL_JoystickOpen(i);
        }
    }
}

void close_joystick() {
    if (Controller)
        SDL_GameControllerClose(Controller);
    else if (Joystick)
        SDL_JoystickClose(Joystick);
    Controller = nullptr;
    Joystick = nullptr;
}

int32_t scale_axis(int16_t v) { return int32_t(v) * 1000 / 32768; }

void read_controller(JoystickState& s) {
    auto held = [](SDL_GameControllerButton b) {
        return SDL_GameControllerGetButton(Controller, b) != 0;
    };
    s.X = scale_axis(SDL_GameControllerGetAxis(Controller, SDL_CONTROLLER_AXIS_LEFTX));
    s.Y = scale_axis(SDL_GameControllerGetAxis(Controller, SDL_CONTROLLER_AXIS_LEFTY));
    if (held(SDL_CONTROLLER_BUTTON_DPAD_UP)) s.Hat |= 0x10;
    if (held(SDL_CONTROLLER_BUTTON_DPAD_DOWN)) s.Hat |= 0x20;
    if (held(SDL_CONTROLLER_BUTTON_DPAD_LEFT)) s.Hat |= 0x40;
    if (held(SDL_CONTROLLER_BUTTON_DPAD_RIGHT)) s.Hat |= 0x80;
    s.Buttons[0] = held(SDL_CONTROLLER_BUTTON_B);
    s.Buttons[1] = held(SDL_CONTROLLER_BUTTON_A);
    s.Buttons[2] = held(SDL_CONTROLLER_BUTTON_Y);  // turbo A
    s.Buttons[3] = held(SDL_CONTROLLER_BUTTON_BACK);
    s.Buttons[4] = held(SDL_CONTROLLER_BUTTON_START);
    s.Buttons[5] = held(SDL_CONTROLLER_BUTTON_X);  // turbo B
}

void read_raw_joystick(JoystickState& s) {
    s.X = scale_axis(SDL_JoystickGetAxis(Joystick, 0));
    s.Y = scale_axis(SDL_JoystickGetAxis(Joystick, 1));
    if (SDL_JoystickNumHats(Joystick) > 0) {
        const Uint8 hat = SDL_JoystickGetHat(Joystick, 0);
        if (hat & SDL_HAT_UP) s.Hat |= 0x10;
        if (hat & SDL_HAT_DOWN) s.Hat |= 0x20;
        if (hat & SDL_HAT_LEFT) s.Hat |= 0x40;
        if (hat & SDL_HAT_RIGHT) s.Hat |= 0x80;
    }
    for (int b = 0; b < 6; ++b) s.Buttons[b] = SDL_JoystickGetButton(Joystick, b) != 0;
}

// Applies the turbo rule to one button: its bit in the first frame of a hold,
// then every fourth frame.
bool turbo(bool held, int32_t& count) {
    if (!held) {
        count = 0;
        return false;
    }
    bool press = count == 0;
    if (press) count = 4;
    --count;
    return press;
}

}  // namespace

uint32_t joypad_bits_from(const JoystickState& s) {
    uint32_t bits = s.Hat & 0xF0;
    if (s.X > JoystickDeadZone) bits |= 0x80;
    if (s.X < -JoystickDeadZone) bits |= 0x40;
    if (s.Y > JoystickDeadZone) bits |= 0x20;
    if (s.Y < -JoystickDeadZone) bits |= 0x10;
    if (s.Buttons[0]) bits |= 0x02;
    if (s.Buttons[1]) bits |= 0x01;
    if (s.Buttons[3]) bits |= 0x04;
    if (s.Buttons[4]) bits |= 0x08;
    if (turbo(s.Buttons[5], TurboBCount)) bits |= 0x02;
    if (turbo(s.Buttons[2], TurboACount)) bits |= 0x01;
    return bits;
}

int32_t joypad_init(QWidget* window) {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");  // Ctrl-C and kill end the app as usual
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) < 0)
        return joypad_error(window, -1, "Direct input create fail");
    JoypadReady = true;
    // The state is polled; no events pile up.
    SDL_JoystickEventState(SDL_IGNORE);
    SDL_GameControllerEventState(SDL_IGNORE);
    if (SDL_NumJoysticks() < 0) return joypad_error(window, -1, "Direct input enumerate fail");
    // No joystick is not a failure: the keyboard plays, and one plugged in
    // later is picked up.
    open_first_joystick();
    return 0;
}

void poll_joypad(QWidget*) {
    JoystickState s{};
    if (JoypadReady) {
        SDL_JoystickUpdate();
        if (Joystick && !SDL_JoystickGetAttached(Joystick)) {
            // Unplugged: the pad goes empty and the game runs on.
            close_joystick();
        }
        if (!Joystick && --RescanCountdown <= 0) {
            RescanCountdown = kRescanFrames;
            open_first_joystick();
        }
        if (Controller)
            read_controller(s);
        else if (Joystick)
            read_raw_joystick(s);
    }
    for (int b = 0; b < 6; ++b) s.Buttons[b] = s.Buttons[b] || KeyboardButtons[b];
    console_set_pad(joypad_bits_from(s) | KeyboardDirections);
}

int32_t acquire_joypad() {
    if (JoypadReady && !Joystick) open_first_joystick();
    return 0;
}

void joypad_shutdown() {
    if (!JoypadReady) return;
    close_joystick();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    JoypadReady = false;
}

bool keyboard_key(int qt_key, uint32_t native_key, bool pressed) {
    // Qt key codes, kept here as numbers so that the mapping reads in one place.
    constexpr int kLeft = 0x01000012, kUp = 0x01000013, kRight = 0x01000014, kDown = 0x01000015;
    constexpr int kReturn = 0x01000004, kEnter = 0x01000005, kShift = 0x01000020;
    constexpr uint32_t kNativeRightShift = 0xFFE2;  // XK_Shift_R
    uint32_t direction = 0;
    int button = -1;
    switch (qt_key) {
        case kUp: direction = 0x10; break;
        case kDown: direction = 0x20; break;
        case kLeft: direction = 0x40; break;
        case kRight: direction = 0x80; break;
        case 'Z': button = 0; break;  // B
        case 'X': button = 1; break;  // A
        case 'S': button = 2; break;  // turbo A
        case 'A': button = 5; break;  // turbo B
        case kReturn:
        case kEnter: button = 4; break;  // Start
        case kShift:
            if (native_key != kNativeRightShift) return false;
            button = 3;  // Select
            break;
        default: return false;
    }
    if (direction) {
        if (pressed)
            KeyboardDirections |= direction;
        else
            KeyboardDirections &= ~direction;
    } else {
        KeyboardButtons[button] = pressed;
    }
    return true;
}

void keyboard_release_all() {
    KeyboardDirections = 0;
    for (bool& b : KeyboardButtons) b = false;
}
