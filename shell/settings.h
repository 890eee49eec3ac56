// The app's settings in $XDG_CONFIG_HOME/qel/qel.conf (by default
// ~/.config/qel/qel.conf), an INI file read and written through QSettings.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "host/host.h"

constexpr size_t RecentMax = 8;
constexpr int StateSlots = 4;

struct AppSettings {
    int Width = 256;  // the drawing area in a window
    int Height = 240;
    std::string LastFolder;           // where Load's dialog opens
    std::vector<std::string> Recent;  // cartridges, the newest first
    std::array<int, PadFunctions> Keys{};
    std::array<int, PadButtons> ControllerButtons{};
    std::array<int, PadButtons> JoystickButtons{};
    int Volume = 100;  // per cent
    bool Muted = false;
    bool KeepProportions = true;
    bool PauseWhenInactive = true;
    int Slot = 1;  // the state slot F5 and F7 use, 1-4
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
// Keys the app's commands use, which the pad cannot have: Esc, P, M, 1-4, Tab,
// Backspace, F5, F7, F11, F12.
bool key_reserved(int key);
// Puts path first in the list, once, and keeps at most RecentMax.
void add_recent(std::vector<std::string>& recent, const std::string& path);
