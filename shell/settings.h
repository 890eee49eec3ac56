// The app's settings in $XDG_CONFIG_HOME/qel/qel.conf (by default
// ~/.config/qel/qel.conf), an INI file read and written through QSettings.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "host/host.h"
#include "shell/shell.h"

constexpr size_t RecentMax = 8;
constexpr int StateSlots = 4;

// The commands a key can be given to, in the Input dialog's order.
enum CommandKey {
    KeyPause,
    KeyFrameAdvance,
    KeyReset,
    KeyHardReset,
    KeySaveState,
    KeyLoadState,
    KeySlot1,
    KeySlot2,
    KeySlot3,
    KeySlot4,
    KeyScreenshot,
    KeyFullscreen,
    KeyFastForward,
    KeyRewind,
    KeyMute,
    CommandKeyCount
};
struct CommandKeyRow {
    const char* name;   // in the settings file
    const char* label;  // in the Input dialog
    Command command;    // what it runs (fast-forward and rewind: held, not run)
    int key;            // the default: a Qt key, with modifiers for some
    int joystick;       // the JoystickCommand a joystick button can run; -1: none
};
extern const CommandKeyRow CommandKeyRows[CommandKeyCount];
// The keys the commands have now (0: none); Esc is always the command's own.
extern std::array<int, CommandKeyCount> CommandKeyFor;
std::array<int, CommandKeyCount> default_command_keys();

struct AppSettings {
    int Width = 256;  // the drawing area in a window
    int Height = 240;
    std::string LastFolder;           // where Load's dialog opens
    std::vector<std::string> Recent;  // cartridges, the newest first
    std::array<PadKeys, Players> Keys{};
    std::array<PadButtonMap, Players> ControllerButtons{};
    std::array<PadButtonMap, Players> JoystickButtons{};
    std::array<int, Players> JoystickFor{};  // 0 or 1; -1: none
    CommandButtonMap ControllerCommandButtons{};
    CommandButtonMap JoystickCommandButtons{};
    std::array<int, CommandKeyCount> CommandKeys{};
    int Volume = 100;  // per cent
    bool Muted = false;
    bool KeepProportions = true;
    bool PauseWhenInactive = true;
    bool HideOverscan = false;  // the top and bottom 8 lines shown black
    int Slot = 1;               // the state slot F5 and F7 use, 1-4
    bool operator==(const AppSettings&) const = default;
};

// The defaults, with the README's keys and buttons.
AppSettings default_settings();
std::string settings_path();
// Reads the settings at path into out. A missing file gives the defaults and
// an empty answer; a damaged one (not INI, a value of the wrong kind or out
// of range, a key given twice or taken by a command) gives the defaults too,
// and the answer says what was wrong.
std::string read_settings(const std::string& path, AppSettings& out);
// Writes them (creating the folder). Returns why not; empty on success.
std::string write_settings(const std::string& path, const AppSettings& settings);
// Keys the app's commands use now, which the pads cannot have: Esc and the
// keys of CommandKeyFor (by default P, ., Ctrl+R, Ctrl+Shift+R, F5, F7, 1-4,
// F12, F11, Tab, Backspace, M).
bool key_reserved(int key);
// Puts path first in the list, once, and keeps at most RecentMax.
void add_recent(std::vector<std::string>& recent, const std::string& path);
