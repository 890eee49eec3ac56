// The host devices of the desktop app: video output in the window, the
// joystick and keyboard, and sound output; and the device error report.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/sound_ring.h"

class QImage;
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
// The machine's picture into a 256x240 image of Qt's RGB32 format.
void picture_to_image(QImage& image);
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
// Draws the picture again with the current fit, mark and note (no frame needed).
void video_refresh();

// ---- joypad ----
// Two players, each with a pad: keys of the keyboard and a joystick. The
// joysticks are numbered in the order they were plugged in (1 and 2; an
// unplugged one leaves its number free for the next); by default joystick 1
// plays for player 1 and joystick 2 for player 2.
constexpr int Players = 2;
constexpr int Joysticks = 2;
// One joystick's state as the poll reads it: stick axes -1000..1000, pad
// direction bits (ConsolePadUp ... ConsolePadRight) from a D-pad or hat, and buttons 0-5 in the raw
// joystick numbering: 0 B, 1 A, 2 turbo A, 3 Select, 4 Start, 5 turbo B.
struct JoystickState {
    int32_t X;
    int32_t Y;
    uint32_t Hat;
    bool Buttons[6];
};
// A stick within a quarter of its travel from the centre presses no direction.
constexpr int32_t JoystickDeadZone = 250;

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
using PadKeys = std::array<int, PadFunctions>;
using PadButtonMap = std::array<int, PadButtons>;
enum JoystickCommand {
    JoystickFastForward,
    JoystickRewind,
    JoystickSaveState,
    JoystickLoadState,
    JoystickCommands
};
using CommandButtonMap = std::array<int, JoystickCommands>;
// The mapping in the README: player 1 arrows, X, Z, S, A, Right Shift,
// Enter, player 2 I, K, J, L, G, F, T, R, Y, U; the pad's A, B, Y, X, Back,
// Start; raw buttons 1, 0, 2, 5, 3, 4; no command buttons.
void default_bindings();
// A key's name as the settings and the Input dialog show it ("X", "Return",
// "Right Shift", "Ctrl+R"), and back (0 for a name that is no single key;
// with modifiers only when allowed).
std::string key_name(int key);
int key_from_name(const std::string& name, bool modifiers = false);
// A joystick (0 or 1): 0 none plugged in, 1 a pad SDL knows, 2 another.
int joystick_kind(int joystick = 0);
// Its name as SDL gives it; empty when none.
std::string joystick_name(int joystick);
// The first button of that joystick held now, in its numbering; -1: none.
int joystick_held_button(int joystick = 0);
// A button's name in the numbering of kind 1 ("A", "Back") or 2 ("button 3").
std::string joystick_button_name(int kind, int button);

int32_t joypad_init(QWidget* window);
void poll_joypad(QWidget* window);
int32_t acquire_joypad();
void joypad_shutdown();
// The pad-state word for a joystick state, with the turbo rule (advances the
// turbo counts; player 1's by default).
uint32_t joypad_bits_from(const JoystickState& state, int player = 0);
// Sets or clears the keyboard's part of a pad for a key: Qt key code and the
// native virtual key (to tell Right Shift from Left Shift). Returns false for
// keys that are not game keys.
bool keyboard_key(int qt_key, uint32_t native_key, bool pressed);
void keyboard_release_all();

// ---- sound output ----
// 16-bit signed mono at 44,100 samples a second, one 735-sample block a frame
// through the sound ring.
// One block as it is played: the samples scaled by the volume about the
// centre line, or silence.
void scale_block(const SoundSample* in, SoundSample* out, int volume, bool muted);

// Opens the device when none is open (sound_init's failure, or a device that
// turned up later); returns whether one is open.
bool sound_retry();

int32_t sound_init(QWidget* window);
void stream_sound();
void stop_sound();
void sound_shutdown();
// The ring's sixteen blocks, for tests.
const SoundSample* sound_buffer();

// The frame clock's counter: steady_clock nanoseconds.
constexpr int64_t CounterTicksPerSecond = 1000000000;

// ---- the app record ----
// The desktop app's state, shared by the shell and the host devices: one
// record, one instance (App). The key maps start as the README's.
struct AppRecord {
    // ---- the window and the frame loop ----
    bool Active = false;           // shown and not minimised
    bool MenuOpen = false;         // a menu is open: frames wait, as in a modal menu loop
    bool Paused = false;           // by the player: no frames, no sound, the picture marked
    bool WindowInactive = false;   // the window, once active, lost the keyboard
    bool RewindHeld = false;       // the rewind key (Backspace): frames step back
    bool FastForwardHeld = false;  // the fast-forward key (Tab): more frames, silent
    bool QuitPosted = false;       // set by the end; the loop then returns QuitCode
    int QuitCode = 0;
    // Frame pacing in counter ticks: a period, and when the current one ends
    // (0 before the first frame; it advances by exactly a period a frame).
    int64_t TicksPerFrame = CounterTicksPerSecond / 60;
    int64_t FrameDeadline = 0;
    uint64_t MachineFrames = 0;  // run by the frame step (rewound frames not counted)
    // ---- the shell's options ----
    bool KeepProportions = true;
    bool PauseWhenInactive = true;
    int StateSlot = 1;
    std::vector<std::string> RecentCartridges;  // the newest first
    std::string LastFolder;                     // where Load's dialog opens

    // ---- video ----
    PictureFit VideoFit = PictureFit::Proportional;
    // A small mark in the picture's top right corner ("Paused"); empty: none.
    std::string VideoMark;
    // A line of news along the picture's bottom edge, wrapped over more lines
    // or in a smaller font where it does not fit; empty: none.
    std::string VideoNote;
    // A line shown in the middle of the drawing area while no cartridge runs.
    std::string VideoHint;
    // The top and bottom 8 lines shown black, as a television hides them (the
    // picture keeps its size and place).
    bool VideoHideOverscan = false;

    // ---- joypad ----
    int32_t TurboACount[Players] = {};
    int32_t TurboBCount[Players] = {};
    // Keyboard keys held while the game window has focus, per player:
    // directions as pad bits (ConsolePadUp ... ConsolePadRight), the rest as
    // joystick buttons.
    uint32_t KeyboardDirections[Players] = {};
    bool KeyboardButtons[Players][PadButtons] = {};
    std::array<PadKeys, Players> KeyFor{};
    // Joystick buttons for the six buttons: game controller buttons (SDL's
    // numbering) for a pad SDL knows, raw numbers for any other; -1: none.
    std::array<PadButtonMap, Players> ControllerButtonFor{};
    std::array<PadButtonMap, Players> JoystickButtonFor{};
    // The joystick (0 or 1, numbered as above) each player reads; -1: none.
    std::array<int, Players> JoystickFor{};
    // Joystick buttons for commands (fast-forward, rewind, save and load
    // state), on whichever joystick presses them; -1: none.
    CommandButtonMap ControllerCommandButtonFor{};
    CommandButtonMap JoystickCommandButtonFor{};
    // The commands' buttons held at the last poll, one bit a JoystickCommand.
    uint32_t JoystickCommandsHeld = 0;
    // What the last poll has to say (a joystick plugged in or unplugged); the
    // shell shows it and clears it.
    std::string JoypadNews;

    // ---- sound ----
    bool SoundPlaying = false;
    bool SoundSilenced = false;  // stream_sound writes silence instead of the frame's samples
    // The player's volume, 0-100 per cent of the machine's level, and the mute.
    int SoundVolume = 100;
    bool SoundMuted = false;
    // Why no sound device is open (the game then runs silent); empty while one plays.
    std::string SoundFailure;
};
extern AppRecord App;
