// The host devices of the desktop app: video output in the window, the
// joystick and keyboard, and sound output; and the device error report.
#pragma once
#include <cstdint>

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
// The drawing area: the picture stretched over it, nearest neighbour.
QWidget* screen_widget();

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
// 8-bit unsigned mono at 44,100 samples a second, one 735-sample block a frame
// through the sound ring.
extern uint32_t SoundPlaying;
// While set, stream_sound writes silence instead of the frame's samples.
extern bool SoundSilenced;

int32_t sound_init(QWidget* window);
void stream_sound();
void stop_sound();
void sound_shutdown();
// The ring's sixteen blocks, for tests.
const uint8_t* sound_buffer();
