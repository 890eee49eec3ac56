// The desktop app: the window and its menu, the message loop, the order of a
// frame's host work, frame pacing and the orderly end.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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
// The commands after them.
constexpr uint32_t CommandReset = 40004;
constexpr uint32_t CommandPause = 40005;
constexpr uint32_t CommandSaveState = 40006;
constexpr uint32_t CommandLoadState = 40007;
constexpr uint32_t CommandScreenshot = 40008;
constexpr uint32_t CommandQuit = 40009;
constexpr uint32_t CommandRecent = 40010;  // + 0-7: the recent list's entries, newest first
constexpr uint32_t CommandSlot = 40020;    // + 1-4: the state slot
constexpr uint32_t CommandSizeX3 = 40030;
constexpr uint32_t CommandSizeX4 = 40031;
constexpr uint32_t CommandFullscreen = 40032;
constexpr uint32_t CommandKeepProportions = 40033;
constexpr uint32_t CommandVolume = 40040;  // + 1-4: 25, 50, 75, 100 per cent
constexpr uint32_t CommandMute = 40045;
constexpr uint32_t CommandInput = 40046;
constexpr uint32_t CommandPauseWhenInactive = 40047;
constexpr uint32_t CommandEscape = 40048;  // Esc: leaves fullscreen, else pauses
constexpr uint32_t CommandFrameAdvance = 40049;
constexpr uint32_t CommandHardReset = 40050;
constexpr uint32_t CommandHideOverscan = 40051;
constexpr uint32_t CommandFastForward = 40052;  // held keys and buttons, not run as commands
constexpr uint32_t CommandRewind = 40053;

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
// 1 while the player paused: no frames, no sound, the picture marked "Paused".
extern uint32_t Paused;
// 1 after the window, once active, lost the keyboard to another window.
extern uint32_t WindowInactive;
// 1 while the fast-forward key (Tab) is held: up to FastForwardFrames frames
// of the machine in each frame period, with silence.
extern uint32_t FastForwardHeld;
constexpr int FastForwardFrames = 8;
// Machine frames run by the frame step (rewound frames not counted).
extern uint64_t MachineFrames;
// The options that live in the shell (the keys and the volume live in host).
extern bool KeepProportions;
extern bool PauseWhenInactive;
extern int StateSlot;
extern std::vector<std::string> RecentCartridges;
extern std::string LastFolder;
// Whether the loop runs frames now: the window shown, no menu open, not
// paused by the player or by losing the keyboard.
bool frames_wanted();
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
// Loads a cartridge as if chosen with Load. A cartridge that is refused
// leaves the running game running (a halted machine halted) and the reason is
// returned, "cannot load PATH: WHY"; empty on success.
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
// SIGTERM, SIGINT and SIGHUP end the app as Quit does: battery save and
// settings written.
void quit_on_signals(QMainWindow* window);

// ---- the commands after the first three (commands.cpp) ----
// Runs a menu command or shortcut other than Load, x1 and x2.
void run_command(QMainWindow* window, uint32_t command);
// After a load: the caption names the cartridge ("Qel 0.1a - NAME") or none,
// and a loaded file goes first in the recent list.
void cartridge_changed(bool loaded);
// Loads a cartridge the player named (recent list, dropped file); a failure
// says why in a box.
void open_cartridge(QWidget* window, const std::string& path);
// The mark over the picture: "Paused" as the pause and the options have it,
// else "<< Rewind" or ">> Fast" while those are held.
void update_mark();
// Whether rewind or fast-forward is held now, by key or joystick button.
bool rewind_held();
bool fast_forward_held();
// One frame of the machine while paused, shown.
void advance_frame(QMainWindow* window);
// The power switch off and on: the machine's memories cleared and the running
// cartridge read again from its file. Returns why it failed; empty on success.
std::string power_cycle(QWidget* window);
// Gives the command keys of CommandKeyFor to the window's actions.
void apply_command_keys(QMainWindow* window);
// A line of news over the picture for a few seconds.
void show_note(const std::string& text);
// Where states and screenshots go: $XDG_DATA_HOME/qel/states/NAME.slotN.state
// and $XDG_PICTURES_DIR/qel/ (else the home folder).
std::string state_file(int slot);
std::string screenshot_folder();
// Waits for the state and screenshot files still being written.
void wait_for_writes();
// Reads the settings file and applies it (size, keys, volume, options, recent
// list); a damaged file is said once, in the note and on standard error.
void start_settings(QMainWindow* window);
// Writes the settings as they are now. Returns why not; empty on success.
std::string store_settings(QMainWindow* window);
// The Input dialog: keys and joystick buttons for the pad. Returns whether
// the player took the new mapping.
bool run_input_dialog(QWidget* owner);
// The cartridge file's name without folder and .nes.
std::string base_name(const std::string& path);
// A base folder of the XDG layout: the variable when it holds an absolute
// path, else HOME (or .) followed by home_default.
std::string xdg_folder(const char* variable, const char* home_default);
// The machine's data folder: $XDG_DATA_HOME/qel, else ~/.local/share/qel.
std::string data_folder();

// ---- rewind ----
struct RewindRing;
// The ring of recent states (one every RewindEveryFrames frames of play).
const RewindRing& rewind_ring();
