// The desktop app: the window and its menu, the message loop, the order of a
// frame's host work, frame pacing and the orderly end.
#pragma once
#include <cstdint>
#include <string>

class QMainWindow;
class QWidget;

// Messages that window_proc handles, and the menu's command identifiers.
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_ACTIVATE = 0x0006;
constexpr uint32_t WM_COMMAND = 0x0111;
constexpr uint32_t WM_INITMENU = 0x0116;
constexpr uint32_t CommandLoad = 40001;
constexpr uint32_t CommandSizeX1 = 40002;
constexpr uint32_t CommandSizeX2 = 40003;

extern uint32_t AppActive;
extern int64_t TimerFrequency;
extern int64_t TicksPerFrame;
// When the current frame period ends and the next frame starts, in counter
// ticks; 0 before the first frame. Advances by exactly TicksPerFrame a frame.
extern int64_t FrameDeadline;

// 1 while the rewind key (Backspace) is held: frames step back through the
// recent states instead of running.
extern uint32_t RewindHeld;

// 1 while a menu of the window is open: frames wait, as in a modal menu loop.
extern uint32_t MenuOpen;
// Set by the destruction path; the message loop ends with QuitCode.
extern bool QuitPosted;
extern int QuitCode;

// The frame clock: a monotonic counter (steady_clock nanoseconds) and a sleep
// until an absolute counter value; replaceable for tests.
struct PacingClock {
    int64_t (*read_counter)();
    void (*sleep_until)(int64_t deadline);
};
extern PacingClock Clock;
constexpr int64_t CounterTicksPerSecond = 1000000000;
// A frame later than this many periods does not race to catch up: the pacing
// starts afresh from it.
constexpr int64_t ResyncFrames = 4;

// The open-file dialog; replaceable for tests. Returns nonzero when a file
// was chosen (then in CartridgeFileName).
extern int32_t (*choose_cartridge_file)(QWidget* owner);

int32_t init_application(QMainWindow** window);
intptr_t window_proc(QMainWindow* window, uint32_t message, uintptr_t wparam, intptr_t lparam);
void frame_step(QMainWindow* window);
int32_t run_frame_checked(QMainWindow* window);
void shutdown_devices();
void pacing_wait();
// Resizes the window so that its drawing area is width x height; the window
// keeps its place.
void set_client_size(QMainWindow* window, int width, int height);
// Runs frames whenever no event waits, until the quit; returns the exit code.
int run_message_loop(QMainWindow* window);
// Loads a cartridge as if chosen with Load. On failure the machine stays
// halted and the reason is returned, "cannot load PATH: WHY"; empty on success.
// The window, if any, hears of a battery save that cannot be read.
std::string load_cartridge_file(const char* path, QWidget* window = nullptr);

// ---- battery saves ----
// A cartridge with the battery flag keeps its save RAM in
// save_folder()/NAME.sav: read when it is loaded, written (whole, through a
// temporary file) when it changed, at the latest every BatteryCheckFrames
// frames, before another cartridge is loaded, and at the end.
constexpr uint32_t BatteryCheckFrames = 180;  // three seconds
// $XDG_DATA_HOME/qel/saves, else ~/.local/share/qel/saves.
std::string save_folder();
// Writes the save if it changed since it was read or written. Returns whether
// it wrote.
bool flush_battery(QWidget* window);

// ---- rewind ----
struct RewindRing;
// The ring of recent states (one every RewindEveryFrames frames of play).
const RewindRing& rewind_ring();
