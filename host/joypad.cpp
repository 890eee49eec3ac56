// The joypad: the first joystick that opens (SDL2) and the keyboard, turned
// into the console pad's state once a frame. A pad that SDL knows is read as a
// game controller, by button names; any other by raw axes, hat and buttons.
#include <SDL.h>

#include <QKeySequence>
#include <QString>
#include <array>
#include <cctype>

#include "core/console.h"
#include "host/host.h"

int32_t TurboACount;
int32_t TurboBCount;
uint32_t KeyboardDirections;
bool KeyboardButtons[6];
namespace {

constexpr std::array<int, PadFunctions> kDefaultKeys = {
    Qt::Key_Up, Qt::Key_Down, Qt::Key_Left,  Qt::Key_Right,  Qt::Key_Z,
    Qt::Key_X,  Qt::Key_S,    KeyRightShift, Qt::Key_Return, Qt::Key_A};
constexpr std::array<int, PadButtons> kDefaultControllerButtons = {
    SDL_CONTROLLER_BUTTON_B,    SDL_CONTROLLER_BUTTON_A,     SDL_CONTROLLER_BUTTON_Y,
    SDL_CONTROLLER_BUTTON_BACK, SDL_CONTROLLER_BUTTON_START, SDL_CONTROLLER_BUTTON_X};
constexpr std::array<int, PadButtons> kDefaultJoystickButtons = {0, 1, 2, 3, 4, 5};

}  // namespace

std::array<int, PadFunctions> KeyFor = kDefaultKeys;
std::array<int, PadButtons> ControllerButtonFor = kDefaultControllerButtons;
std::array<int, PadButtons> JoystickButtonFor = kDefaultJoystickButtons;

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
    for (int b = 0; b < PadButtons; ++b)
        s.Buttons[b] =
            ControllerButtonFor[b] >= 0 && held(SDL_GameControllerButton(ControllerButtonFor[b]));
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
    for (int b = 0; b < PadButtons; ++b)
        s.Buttons[b] =
            JoystickButtonFor[b] >= 0 && SDL_JoystickGetButton(Joystick, JoystickButtonFor[b]) != 0;
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

void default_bindings() {
    KeyFor = kDefaultKeys;
    ControllerButtonFor = kDefaultControllerButtons;
    JoystickButtonFor = kDefaultJoystickButtons;
}

std::string key_name(int key) {
    if (key == KeyRightShift) return "Right Shift";
    if (key == Qt::Key_Shift) return "Left Shift";
    if (key <= 0) return {};
    return QKeySequence(key).toString(QKeySequence::PortableText).toStdString();
}

int key_from_name(const std::string& name) {
    if (name == "Right Shift") return KeyRightShift;
    if (name == "Left Shift") return Qt::Key_Shift;
    const QKeySequence sequence =
        QKeySequence::fromString(QString::fromStdString(name), QKeySequence::PortableText);
    if (sequence.count() != 1 || sequence[0].keyboardModifiers() != Qt::NoModifier) return 0;
    const int key = sequence[0].key();
    return key == Qt::Key_unknown ? 0 : key;
}

int joystick_kind() { return Controller ? 1 : Joystick ? 2 : 0; }

int joystick_held_button() {
    if (!JoypadReady) return -1;
    SDL_JoystickUpdate();
    if (Controller) {
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b)
            if (SDL_GameControllerGetButton(Controller, SDL_GameControllerButton(b))) return b;
    } else if (Joystick) {
        for (int b = 0; b < SDL_JoystickNumButtons(Joystick); ++b)
            if (SDL_JoystickGetButton(Joystick, b)) return b;
    }
    return -1;
}

std::string joystick_button_name(int kind, int button) {
    if (button < 0) return "none";
    if (kind == 1) {
        const char* name = SDL_GameControllerGetStringForButton(SDL_GameControllerButton(button));
        if (!name) return "button " + std::to_string(button);
        std::string s = name;  // "a", "back", "leftshoulder"
        s[0] = char(std::toupper(static_cast<unsigned char>(s[0])));
        return s;
    }
    return "button " + std::to_string(button);
}

bool keyboard_key(int qt_key, uint32_t native_key, bool pressed) {
    constexpr uint32_t kNativeRightShift = 0xFFE2;  // XK_Shift_R
    int key = qt_key;
    if (key == Qt::Key_Enter) key = Qt::Key_Return;  // the keypad's Enter is Return too
    if (key == Qt::Key_Shift && native_key == kNativeRightShift) key = KeyRightShift;
    int function = 0;
    while (function < PadFunctions && KeyFor[function] != key) ++function;
    if (key == 0 || function == PadFunctions) return false;
    if (function < PadFirstButton) {
        const uint32_t direction = 0x10u << function;
        if (pressed)
            KeyboardDirections |= direction;
        else
            KeyboardDirections &= ~direction;
    } else {
        KeyboardButtons[function - PadFirstButton] = pressed;
    }
    return true;
}

void keyboard_release_all() {
    KeyboardDirections = 0;
    for (bool& b : KeyboardButtons) b = false;
}
