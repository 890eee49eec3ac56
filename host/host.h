// The host devices of the desktop app: video output in the window, the
// joystick and keyboard, and sound output; and the device error report.
#pragma once
#include <array>
#include <cstdint>
#include <string>

#include "host/sound_ring.h"

class QMainWindow;
class QWidget;

// ---- device error report ----
// Formats the message into 128 bytes, releases the family, shows a modal box
// titled "Fail" with an OK button and destroys the window. Returns code.
int32_t video_error(QWidget* window, int32_t code, const char* format, ...);
int32_t joypad_error(QWidget* window, int32_t code, const char* format, ...);
int32_t sound_error(QWidget* window, int32_t code, const char* format, ...);

// Shows the box of a device error report. Replaceable so that tests need no
// one to press OK.
extern void (*show_failure_box)(QWidget* window, const char* message);

// ---- video output ----
int32_t video_init(QMainWindow* window);
void video_shutdown();
int32_t lock_surfaces(QWidget* window);
void unlock_surfaces();
void present_frame(QWidget* window);
// The drawing area: the picture scaled into it, nearest neighbour.
QWidget* screen_widget();

// Where the picture goes in a drawing area of width x height.
enum class PictureFit {
    Stretch,       // over the whole area
    Proportional,  // the largest 256:240 rectangle, centred, black bars around
    Whole,         // the same at a whole multiple of 256x240 when one fits (fullscreen)
};
struct PictureRect {
    int X, Y, Width, Height;
    bool operator==(const PictureRect&) const = default;
};
PictureRect picture_rect(int width, int height, PictureFit fit);
extern PictureFit VideoFit;
// A small mark in the picture's top right corner ("Paused"); empty: none.
extern std::string VideoMark;
// A line of news along the picture's bottom edge; empty: none.
extern std::string VideoNote;
// Draws the picture again with the current fit, mark and note (no frame needed).
void video_refresh();

// ---- joypad ----
// One joystick's state as the poll reads it: stick axes -1000..1000, pad
// direction bits from a D-pad or hat (Up 0x10, Down 0x20, Left 0x40, Right
// 0x80), and buttons 0-5 in the raw joystick numbering: 0 B, 1 A, 2 turbo A,
// 3 Select, 4 Start, 5 turbo B.
struct JoystickState {
    int32_t X;
    int32_t Y;
    uint32_t Hat;
    bool Buttons[6];
};
// A stick within a quarter of its travel from the centre presses no direction.
constexpr int32_t JoystickDeadZone = 250;
extern int32_t TurboACount;
extern int32_t TurboBCount;
// Keyboard keys held while the game window has focus: directions as pad bits
// (Up 0x10, Down 0x20, Left 0x40, Right 0x80), the rest as joystick buttons.
extern uint32_t KeyboardDirections;
extern bool KeyboardButtons[6];

// What the player can assign: the four directions, then the six buttons in
// the order of JoystickState::Buttons.
enum PadFunction {
    PadUp,
    PadDown,
    PadLeft,
    PadRight,
    PadB,
    PadA,
    PadTurboA,
    PadSelect,
    PadStart,
    PadTurboB,
    PadFunctions
};
constexpr int PadButtons = 6;
constexpr int PadFirstButton = PadB;
// Qt key codes; Right Shift, which Qt does not tell from Left Shift, has a
// code of its own. 0: no key.
constexpr int KeyRightShift = 0x01FFFFE2;
extern std::array<int, PadFunctions> KeyFor;
// Joystick buttons for the six buttons: game controller buttons (SDL's
// numbering) for a pad SDL knows, raw numbers for any other; -1: none.
extern std::array<int, PadButtons> ControllerButtonFor;
extern std::array<int, PadButtons> JoystickButtonFor;
// The mapping in the README: arrows, X, Z, S, A, Right Shift, Enter; the pad's
// A, B, Y, X, Back, Start; raw buttons 1, 0, 2, 5, 3, 4.
void default_bindings();
// A key's name as the settings and the Input dialog show it ("X", "Return",
// "Right Shift"), and back (0 for a name that is no single key).
std::string key_name(int key);
int key_from_name(const std::string& name);
// The joystick plugged in: 0 none, 1 a pad SDL knows, 2 another joystick.
int joystick_kind();
// The first button of that joystick held now, in its numbering; -1: none.
int joystick_held_button();
// A button's name in the numbering of kind 1 ("A", "Back") or 2 ("button 3").
std::string joystick_button_name(int kind, int button);

int32_t joypad_init(QWidget* window);
void poll_joypad(QWidget* window);
int32_t acquire_joypad();
void joypad_shutdown();
// The pad-state word for a joystick state, with the turbo rule (advances the
// turbo counts).
uint32_t joypad_bits_from(const JoystickState& state);
// Sets or clears the keyboard's part of the pad for a key: Qt key code and the
// native virtual key (to tell Right Shift from Left Shift). Returns false for
// keys that are not game keys.
bool keyboard_key(int qt_key, uint32_t native_key, bool pressed);
void keyboard_release_all();

// ---- sound output ----
// 16-bit signed mono at 44,100 samples a second, one 735-sample block a frame
// through the sound ring.
extern uint32_t SoundPlaying;
// While set, stream_sound writes silence instead of the frame's samples.
extern bool SoundSilenced;
// The player's volume, 0-100 per cent of the machine's level, and the mute.
extern int SoundVolume;
extern bool SoundMuted;
// One block as it is played: the samples scaled by the volume about the
// centre line, or silence.
void scale_block(const SoundSample* in, SoundSample* out, int volume, bool muted);

int32_t sound_init(QWidget* window);
void stream_sound();
void stop_sound();
void sound_shutdown();
// The ring's sixteen blocks, for tests.
const SoundSample* sound_buffer();
