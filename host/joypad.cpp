// The joypads: up to two joysticks (SDL2) and the keyboard, turned into the
// console pads' states once a frame. A pad that SDL knows is read as a game
// controller, by button names; any other by raw axes, hat and buttons.
#include <SDL.h>

#include <QKeySequence>
#include <QString>
#include <array>
#include <cctype>

#include "core/console.h"
#include "host/host.h"

namespace {

constexpr std::array<PadKeys, Players> kDefaultKeys = {{
    {Qt::Key_Up, Qt::Key_Down, Qt::Key_Left, Qt::Key_Right, Qt::Key_Z, Qt::Key_X, Qt::Key_S,
     KeyRightShift, Qt::Key_Return, Qt::Key_A},
    {Qt::Key_I, Qt::Key_K, Qt::Key_J, Qt::Key_L, Qt::Key_F, Qt::Key_G, Qt::Key_T, Qt::Key_Y,
     Qt::Key_U, Qt::Key_R},
}};
constexpr PadButtonMap kDefaultControllerButtons = {
    SDL_CONTROLLER_BUTTON_B,    SDL_CONTROLLER_BUTTON_A,     SDL_CONTROLLER_BUTTON_Y,
    SDL_CONTROLLER_BUTTON_BACK, SDL_CONTROLLER_BUTTON_START, SDL_CONTROLLER_BUTTON_X};
constexpr PadButtonMap kDefaultJoystickButtons = {0, 1, 2, 3, 4, 5};
constexpr CommandButtonMap kNoCommandButtons = {-1, -1, -1, -1};

void bind_defaults(AppRecord& app) {
    app.KeyFor = kDefaultKeys;
    app.ControllerButtonFor = {kDefaultControllerButtons, kDefaultControllerButtons};
    app.JoystickButtonFor = {kDefaultJoystickButtons, kDefaultJoystickButtons};
    app.JoystickFor = {0, 1};
    app.ControllerCommandButtonFor = kNoCommandButtons;
    app.JoystickCommandButtonFor = kNoCommandButtons;
}

AppRecord bound_app() {
    AppRecord app;
    bind_defaults(app);
    return app;
}

}  // namespace

AppRecord App = bound_app();

namespace {

bool JoypadReady;
struct OpenJoystick {
    SDL_GameController* Controller;
    SDL_Joystick* Joystick;  // the controller's own joystick, or a raw one
    SDL_JoystickID Id;
};
OpenJoystick Open[Joysticks];
int32_t RescanCountdown;
constexpr int32_t kRescanFrames = 60;  // look for a newly plugged joystick once a second

std::string player_of(int joystick) {
    for (int p = 0; p < Players; ++p)
        if (App.JoystickFor[p] == joystick) return " (player " + std::to_string(p + 1) + ")";
    return " (no player)";
}

// Opens joysticks not yet open into the free numbers, lowest first.
void open_new_joysticks(bool tell) {
    const int n = SDL_NumJoysticks();
    for (int i = 0; i < n; ++i) {
        const SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(i);
        bool known = false;
        for (const OpenJoystick& o : Open) known = known || (o.Joystick && o.Id == id);
        if (known) continue;
        int slot = 0;
        while (slot < Joysticks && Open[slot].Joystick) ++slot;
        if (slot == Joysticks) return;
        OpenJoystick& o = Open[slot];
        if (SDL_IsGameController(i)) {
            o.Controller = SDL_GameControllerOpen(i);
            if (o.Controller) o.Joystick = SDL_GameControllerGetJoystick(o.Controller);
        } else {
            o.Joystick = SDL_JoystickOpen(i);
        }
        if (!o.Joystick) continue;
        o.Id = SDL_JoystickInstanceID(o.Joystick);
        if (tell)
            App.JoypadNews =
                "Joystick " + std::to_string(slot + 1) + " plugged in" + player_of(slot);
    }
}

void close_joystick(OpenJoystick& o) {
    if (o.Controller)
        SDL_GameControllerClose(o.Controller);
    else if (o.Joystick)
        SDL_JoystickClose(o.Joystick);
    o = OpenJoystick{};
}

int32_t scale_axis(int16_t v) { return int32_t(v) * 1000 / 32768; }

bool controller_held(SDL_GameController* c, int b) {
    return b >= 0 && b < SDL_CONTROLLER_BUTTON_MAX &&
           SDL_GameControllerGetButton(c, SDL_GameControllerButton(b)) != 0;
}

bool raw_held(SDL_Joystick* j, int b) { return b >= 0 && SDL_JoystickGetButton(j, b) != 0; }

void read_controller(SDL_GameController* c, const PadButtonMap& map, JoystickState& s) {
    s.X = scale_axis(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTX));
    s.Y = scale_axis(SDL_GameControllerGetAxis(c, SDL_CONTROLLER_AXIS_LEFTY));
    if (controller_held(c, SDL_CONTROLLER_BUTTON_DPAD_UP)) s.Hat |= ConsolePadUp;
    if (controller_held(c, SDL_CONTROLLER_BUTTON_DPAD_DOWN)) s.Hat |= ConsolePadDown;
    if (controller_held(c, SDL_CONTROLLER_BUTTON_DPAD_LEFT)) s.Hat |= ConsolePadLeft;
    if (controller_held(c, SDL_CONTROLLER_BUTTON_DPAD_RIGHT)) s.Hat |= ConsolePadRight;
    for (int b = 0; b < PadButtons; ++b) s.Buttons[b] = controller_held(c, map[b]);
}

void read_raw_joystick(SDL_Joystick* j, const PadButtonMap& map, JoystickState& s) {
    s.X = scale_axis(SDL_JoystickGetAxis(j, 0));
    s.Y = scale_axis(SDL_JoystickGetAxis(j, 1));
    if (SDL_JoystickNumHats(j) > 0) {
        const Uint8 hat = SDL_JoystickGetHat(j, 0);
        if (hat & SDL_HAT_UP) s.Hat |= ConsolePadUp;
        if (hat & SDL_HAT_DOWN) s.Hat |= ConsolePadDown;
        if (hat & SDL_HAT_LEFT) s.Hat |= ConsolePadLeft;
        if (hat & SDL_HAT_RIGHT) s.Hat |= ConsolePadRight;
    }
    for (int b = 0; b < PadButtons; ++b) s.Buttons[b] = raw_held(j, map[b]);
}

}  // namespace

uint32_t joypad_bits_from(const JoystickState& s, int player) {
    uint32_t bits = s.Hat & (ConsolePadUp | ConsolePadDown | ConsolePadLeft | ConsolePadRight);
    if (s.X > JoystickDeadZone) bits |= ConsolePadRight;
    if (s.X < -JoystickDeadZone) bits |= ConsolePadLeft;
    if (s.Y > JoystickDeadZone) bits |= ConsolePadDown;
    if (s.Y < -JoystickDeadZone) bits |= ConsolePadUp;
    if (s.Buttons[0]) bits |= ConsolePadB;
    if (s.Buttons[1]) bits |= ConsolePadA;
    if (s.Buttons[3]) bits |= ConsolePadSelect;
    if (s.Buttons[4]) bits |= ConsolePadStart;
    if (console_turbo(s.Buttons[5], App.TurboBCount[player])) bits |= ConsolePadB;
    if (console_turbo(s.Buttons[2], App.TurboACount[player])) bits |= ConsolePadA;
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
    open_new_joysticks(false);
    return 0;
}

void poll_joypad(QWidget*) {
    JoystickState s[Players]{};
    App.JoystickCommandsHeld = 0;
    if (JoypadReady) {
        SDL_JoystickUpdate();
        for (int j = 0; j < Joysticks; ++j)
            if (Open[j].Joystick && !SDL_JoystickGetAttached(Open[j].Joystick)) {
                // Unplugged: that pad goes empty and the game runs on.
                close_joystick(Open[j]);
                App.JoypadNews = "Joystick " + std::to_string(j + 1) + " unplugged" + player_of(j);
            }
        if (--RescanCountdown <= 0) {
            RescanCountdown = kRescanFrames;
            SDL_JoystickUpdate();
            open_new_joysticks(true);
        }
        for (int p = 0; p < Players; ++p) {
            const int j = App.JoystickFor[p];
            if (j < 0 || j >= Joysticks) continue;
            if (Open[j].Controller)
                read_controller(Open[j].Controller, App.ControllerButtonFor[p], s[p]);
            else if (Open[j].Joystick)
                read_raw_joystick(Open[j].Joystick, App.JoystickButtonFor[p], s[p]);
        }
        for (const OpenJoystick& o : Open)
            for (int c = 0; c < JoystickCommands; ++c) {
                const bool held =
                    o.Controller ? controller_held(o.Controller, App.ControllerCommandButtonFor[c])
                    : o.Joystick ? raw_held(o.Joystick, App.JoystickCommandButtonFor[c])
                                 : false;
                if (held) App.JoystickCommandsHeld |= 1u << c;
            }
    }
    uint32_t bits[Players];
    for (int p = 0; p < Players; ++p) {
        for (int b = 0; b < 6; ++b) s[p].Buttons[b] = s[p].Buttons[b] || App.KeyboardButtons[p][b];
        bits[p] = joypad_bits_from(s[p], p) | App.KeyboardDirections[p];
    }
    console_set_pad(bits[0]);
    console_set_pad2(bits[1]);
}

int32_t acquire_joypad() {
    if (JoypadReady) open_new_joysticks(false);
    return 0;
}

void joypad_shutdown() {
    if (!JoypadReady) return;
    for (OpenJoystick& o : Open) close_joystick(o);
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
    JoypadReady = false;
}

void default_bindings() { bind_defaults(App); }

std::string key_name(int key) {
    if (key == KeyRightShift) return "Right Shift";
    if (key == Qt::Key_Shift) return "Left Shift";
    if (key <= 0) return {};
    return QKeySequence(key).toString(QKeySequence::PortableText).toStdString();
}

int key_from_name(const std::string& name, bool modifiers) {
    if (name == "Right Shift") return KeyRightShift;
    if (name == "Left Shift") return Qt::Key_Shift;
    const QKeySequence sequence =
        QKeySequence::fromString(QString::fromStdString(name), QKeySequence::PortableText);
    if (sequence.count() != 1 || (!modifiers && sequence[0].keyboardModifiers() != Qt::NoModifier))
        return 0;
    if (sequence[0].key() == Qt::Key_unknown) return 0;
    return sequence[0].toCombined();
}

int joystick_kind(int joystick) {
    if (joystick < 0 || joystick >= Joysticks) return 0;
    return Open[joystick].Controller ? 1 : Open[joystick].Joystick ? 2 : 0;
}

std::string joystick_name(int joystick) {
    if (!joystick_kind(joystick)) return {};
    const char* name = SDL_JoystickName(Open[joystick].Joystick);
    return name ? name : "joystick";
}

int joystick_held_button(int joystick) {
    if (!JoypadReady || !joystick_kind(joystick)) return -1;
    SDL_JoystickUpdate();
    const OpenJoystick& o = Open[joystick];
    if (o.Controller) {
        for (int b = 0; b < SDL_CONTROLLER_BUTTON_MAX; ++b)
            if (controller_held(o.Controller, b)) return b;
    } else {
        for (int b = 0; b < SDL_JoystickNumButtons(o.Joystick); ++b)
            if (SDL_JoystickGetButton(o.Joystick, b)) return b;
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
    if (key == 0) return false;
    for (int p = 0; p < Players; ++p)
        for (int function = 0; function < PadFunctions; ++function) {
            if (App.KeyFor[p][function] != key) continue;
            if (function < PadFirstButton) {
                constexpr uint32_t kDirections[] = {ConsolePadUp, ConsolePadDown, ConsolePadLeft,
                                                    ConsolePadRight};
                const uint32_t direction = kDirections[function];
                if (pressed)
                    App.KeyboardDirections[p] |= direction;
                else
                    App.KeyboardDirections[p] &= ~direction;
            } else {
                App.KeyboardButtons[p][function - PadFirstButton] = pressed;
            }
            return true;
        }
    return false;
}

void keyboard_release_all() {
    for (int p = 0; p < Players; ++p) {
        App.KeyboardDirections[p] = 0;
        for (bool& b : App.KeyboardButtons[p]) b = false;
    }
}
