// The desktop app: the window and its menu, the message loop, the order of a
// frame's host work, frame pacing and the orderly end.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class QMainWindow;
class QWidget;

// The caption and the --version line: "Qel" and the version CMake sets.
constexpr char AppCaption[] = "Qel " QEL_VERSION;

// The commands of the menus and the keys. None: no command (a separator).
enum class Command {
    None,
    Load,
    SizeX1,
    SizeX2,
    Reset,
    HardReset,
    Pause,
    FrameAdvance,
    SaveState,
    LoadState,
    Slot1,
    Slot2,
    Slot3,
    Slot4,
    Screenshot,
    Quit,
    SizeX3,
    SizeX4,
    Fullscreen,
    KeepProportions,
    Volume100,
    Volume75,
    Volume50,
    Volume25,
    Mute,
    Input,
    PauseWhenInactive,
    HideOverscan,
    Escape,       // Esc: leaves fullscreen, else pauses
    FastForward,  // held keys and buttons, not run as commands
    Rewind,
};
// The state slot (1-4) of Slot1-Slot4, and the volume (per cent) of the
// Volume commands; 0 for any other command.
int slot_of(Command command);
int volume_of(Command command);

constexpr int FastForwardFrames = 8;  // frames of the machine a period while fast-forward is held
// Whether the loop runs frames now: the window shown, no menu open, not
// paused by the player or by losing the keyboard.
bool frames_wanted();

// The frame clock: a monotonic counter (steady_clock nanoseconds) and a sleep
// until an absolute counter value; replaceable for tests.
struct PacingClock {
    int64_t (*read_counter)();
    void (*sleep_until)(int64_t deadline);
};
extern PacingClock Clock;
// A frame later than this many periods does not race to catch up: the pacing
// starts afresh from it.
constexpr int64_t ResyncFrames = 4;

// The open-file dialog; replaceable for tests. Returns nonzero when a file
// was chosen (then in CartridgeFileName).
extern int32_t (*choose_cartridge_file)(QWidget* owner);

int32_t init_application(QMainWindow** window);
// What the window tells the shell: it was activated or lost the keyboard
// (minimised or not), a menu opened, and the window is going (the orderly
// end: battery save and settings written, the machine and devices released).
void window_activated(bool active, bool minimised);
void menu_opened();
void window_closing(QMainWindow* window);
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

// ---- the commands (commands.cpp) ----
// Runs a menu command or shortcut.
void run_command(QMainWindow* window, Command command);
// Load: the open-file dialog, then the chosen file tried whole before the
// running game gives way to it; Cancel changes nothing.
void load_chosen_cartridge(QMainWindow* window);
// Loads the recent list's entry (0: the newest); one whose file is gone says
// so and leaves the list.
void open_recent(QWidget* window, size_t index);
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
