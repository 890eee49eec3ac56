#include "shell/settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "shell/shell.h"

namespace {

constexpr qint64 kMaxSettingsBytes = 1 << 20;
constexpr size_t kMaxPathBytes = 4096;  // a Linux path and more is no folder

// Names of the pad functions in the file, in PadFunction order.
const char* const kFunctionNames[PadFunctions] = {"up", "down",    "left",   "right", "b",
                                                  "a",  "turbo_a", "select", "start", "turbo_b"};

// An integer value within [low, high]; absent: the default stays.
bool read_int(const QSettings& s, const char* key, int low, int high, int& out) {
    if (!s.contains(key)) return true;
    bool ok = false;
    const int v = s.value(key).toString().trimmed().toInt(&ok);
    if (!ok || v < low || v > high) return false;
    out = v;
    return true;
}

bool read_bool(const QSettings& s, const char* key, bool& out) {
    if (!s.contains(key)) return true;
    const QString v = s.value(key).toString().trimmed();
    if (v != "true" && v != "false") return false;
    out = v == "true";
    return true;
}

// The groups of a player's entries: player 1's as they always were.
QString player_group(const char* group, int player) {
    return QString(group) + (player == 0 ? "" : QString::number(player + 1));
}

const char* const kJoystickCommandNames[JoystickCommands] = {"fast_forward", "rewind", "save_state",
                                                             "load_state"};

}  // namespace

const CommandKeyRow CommandKeyRows[CommandKeyCount] = {
    {"pause", "Pause", Command::Pause, Qt::Key_P, -1},
    {"frame_advance", "Frame advance", Command::FrameAdvance, Qt::Key_Period, -1},
    {"reset", "Reset", Command::Reset, (Qt::CTRL | Qt::Key_R).toCombined(), -1},
    {"hard_reset", "Hard reset", Command::HardReset,
     (Qt::CTRL | Qt::SHIFT | Qt::Key_R).toCombined(), -1},
    {"save_state", "Save state", Command::SaveState, Qt::Key_F5, JoystickSaveState},
    {"load_state", "Load state", Command::LoadState, Qt::Key_F7, JoystickLoadState},
    {"slot_1", "Slot 1", Command::Slot1, Qt::Key_1, -1},
    {"slot_2", "Slot 2", Command::Slot2, Qt::Key_2, -1},
    {"slot_3", "Slot 3", Command::Slot3, Qt::Key_3, -1},
    {"slot_4", "Slot 4", Command::Slot4, Qt::Key_4, -1},
    {"screenshot", "Screenshot", Command::Screenshot, Qt::Key_F12, -1},
    {"fullscreen", "Fullscreen", Command::Fullscreen, Qt::Key_F11, -1},
    {"fast_forward", "Fast-forward (hold)", Command::FastForward, Qt::Key_Tab, JoystickFastForward},
    {"rewind", "Rewind (hold)", Command::Rewind, Qt::Key_Backspace, JoystickRewind},
    {"mute", "Mute", Command::Mute, Qt::Key_M, -1},
};

std::array<int, CommandKeyCount> default_command_keys() {
    std::array<int, CommandKeyCount> keys;
    for (int c = 0; c < CommandKeyCount; ++c) keys[c] = CommandKeyRows[c].key;
    return keys;
}

std::array<int, CommandKeyCount> CommandKeyFor = default_command_keys();

AppSettings default_settings() {
    const auto keys = App.KeyFor;
    const auto pad = App.ControllerButtonFor;
    const auto joystick = App.JoystickButtonFor;
    const auto joystick_for = App.JoystickFor;
    const auto pad_commands = App.ControllerCommandButtonFor;
    const auto joystick_commands = App.JoystickCommandButtonFor;
    default_bindings();
    AppSettings s;
    s.Keys = App.KeyFor;
    s.ControllerButtons = App.ControllerButtonFor;
    s.JoystickButtons = App.JoystickButtonFor;
    s.JoystickFor = App.JoystickFor;
    s.ControllerCommandButtons = App.ControllerCommandButtonFor;
    s.JoystickCommandButtons = App.JoystickCommandButtonFor;
    s.CommandKeys = default_command_keys();
    App.KeyFor = keys;
    App.ControllerButtonFor = pad;
    App.JoystickButtonFor = joystick;
    App.JoystickFor = joystick_for;
    App.ControllerCommandButtonFor = pad_commands;
    App.JoystickCommandButtonFor = joystick_commands;
    return s;
}

std::string settings_path() { return xdg_folder("XDG_CONFIG_HOME", "/.config") + "/qel/qel.conf"; }

bool key_reserved(int key) {
    if (key == Qt::Key_Escape || key == Qt::Key_Backtab) return true;
    for (int k : CommandKeyFor)
        if (k != 0 && k == key) return true;
    return false;
}

void add_recent(std::vector<std::string>& recent, const std::string& path) {
    std::erase(recent, path);
    recent.insert(recent.begin(), path);
    if (recent.size() > RecentMax) recent.resize(RecentMax);
}

std::string read_settings(const std::string& path, AppSettings& out) {
    out = default_settings();
    if (!QFileInfo::exists(QString::fromStdString(path))) return {};
    const std::string damaged = "the settings in " + path + " are damaged (";
    const std::string fallback = "); the defaults are used";
    if (!QFileInfo(QString::fromStdString(path)).isFile()) return damaged + "not a file" + fallback;
    // The app writes a few kilobytes: a larger file is no settings file of its own.
    if (QFileInfo(QString::fromStdString(path)).size() > kMaxSettingsBytes)
        return damaged + "too large" + fallback;
    QSettings s(QString::fromStdString(path), QSettings::IniFormat);
    // A file with something in it but no entry at all is not one the app wrote.
    if (s.status() != QSettings::NoError ||
        (s.allKeys().isEmpty() && QFileInfo(QString::fromStdString(path)).size() > 0))
        return damaged + "not a settings file" + fallback;

    AppSettings r = out;
    std::string bad;
    auto check = [&](bool ok, const char* key) {
        if (!ok && bad.empty()) bad = key;
    };
    check(read_int(s, "window/width", 64, 16384, r.Width), "window/width");
    check(read_int(s, "window/height", 60, 16384, r.Height), "window/height");
    check(read_int(s, "sound/volume", 0, 100, r.Volume), "sound/volume");
    check(read_bool(s, "sound/mute", r.Muted), "sound/mute");
    check(read_bool(s, "options/keep_proportions", r.KeepProportions), "options/keep_proportions");
    check(read_bool(s, "options/pause_when_inactive", r.PauseWhenInactive),
          "options/pause_when_inactive");
    check(read_int(s, "states/slot", 1, StateSlots, r.Slot), "states/slot");
    r.LastFolder = s.value("files/last_folder").toString().toStdString();
    check(r.LastFolder.size() <= kMaxPathBytes, "files/last_folder");
    if (s.contains("files/recent")) {
        const QStringList recent = s.value("files/recent").toStringList();
        check(recent.size() <= qsizetype(RecentMax), "files/recent");
        r.Recent.clear();
        for (const QString& file : recent) {
            check(file.toStdString().size() <= kMaxPathBytes, "files/recent");
            if (!file.isEmpty() && r.Recent.size() < RecentMax)
                r.Recent.push_back(file.toStdString());
        }
    }
    check(read_bool(s, "options/hide_overscan", r.HideOverscan), "options/hide_overscan");
    // Keys: the commands' (which may have modifiers), then the players'; no
    // key twice, none for the pads with modifiers, Esc for nothing.
    std::vector<int> taken;
    auto read_key = [&](const QString& entry, bool modifiers, int& out) {
        if (!s.contains(entry)) return;
        const std::string name = s.value(entry).toString().toStdString();
        const int code = name.empty() ? 0 : key_from_name(name, modifiers);
        check((name.empty() || code != 0) && code != Qt::Key_Escape, "keys");
        out = code;
    };
    for (int c = 0; c < CommandKeyCount; ++c)
        read_key(QString("commands/") + CommandKeyRows[c].name, true, r.CommandKeys[c]);
    for (int p = 0; p < Players; ++p)
        for (int f = 0; f < PadFunctions; ++f)
            read_key(player_group("keys", p) + "/" + kFunctionNames[f], false, r.Keys[p][f]);
    for (int k : r.CommandKeys) taken.push_back(k);
    for (const PadKeys& keys : r.Keys)
        for (int k : keys) taken.push_back(k);
    for (size_t i = 0; i < taken.size(); ++i)
        for (size_t j = i + 1; j < taken.size(); ++j)
            check(taken[i] == 0 || taken[i] != taken[j], "keys");
    for (int p = 0; p < Players; ++p) {
        int joystick = r.JoystickFor[p] + 1;
        check(read_int(s, ("players/joystick" + std::to_string(p + 1)).c_str(), 0, Joysticks,
                       joystick),
              "players");
        r.JoystickFor[p] = joystick - 1;
        for (int b = 0; b < PadButtons; ++b) {
            const QString name = kFunctionNames[PadFirstButton + b];
            check(read_int(s, (player_group("pad", p) + "/" + name).toUtf8().constData(), -1, 63,
                           r.ControllerButtons[p][b]),
                  "pad");
            check(read_int(s, (player_group("joystick", p) + "/" + name).toUtf8().constData(), -1,
                           255, r.JoystickButtons[p][b]),
                  "joystick");
        }
    }
    for (int c = 0; c < JoystickCommands; ++c) {
        const std::string name = kJoystickCommandNames[c];
        check(read_int(s, ("pad_commands/" + name).c_str(), -1, 63, r.ControllerCommandButtons[c]),
              "pad_commands");
        check(read_int(s, ("joystick_commands/" + name).c_str(), -1, 255,
                       r.JoystickCommandButtons[c]),
              "joystick_commands");
    }
    // Only the app writes this file: an entry it does not know is damage too.
    QStringList known = {"window/width",
                         "window/height",
                         "sound/volume",
                         "sound/mute",
                         "options/keep_proportions",
                         "options/pause_when_inactive",
                         "states/slot",
                         "files/last_folder",
                         "files/recent",
                         "options/hide_overscan"};
    for (int p = 0; p < Players; ++p) {
        known << "players/joystick" + QString::number(p + 1);
        for (int f = 0; f < PadFunctions; ++f) {
            known << player_group("keys", p) + "/" + kFunctionNames[f];
            if (f >= PadFirstButton)
                known << player_group("pad", p) + "/" + kFunctionNames[f]
                      << player_group("joystick", p) + "/" + kFunctionNames[f];
        }
    }
    for (const CommandKeyRow& row : CommandKeyRows) known << QString("commands/") + row.name;
    for (const char* name : kJoystickCommandNames)
        known << QString("pad_commands/") + name << QString("joystick_commands/") + name;
    for (const QString& key : s.allKeys()) check(known.contains(key), "unknown entries");
    if (!bad.empty()) return damaged + bad + fallback;
    out = r;
    return {};
}

std::string write_settings(const std::string& path, const AppSettings& r) {
    QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
    QSettings s(QString::fromStdString(path), QSettings::IniFormat);
    s.clear();
    s.setValue("window/width", r.Width);
    s.setValue("window/height", r.Height);
    s.setValue("files/last_folder", QString::fromStdString(r.LastFolder));
    QStringList recent;
    for (const std::string& file : r.Recent) recent << QString::fromStdString(file);
    s.setValue("files/recent", recent);
    s.setValue("sound/volume", r.Volume);
    s.setValue("sound/mute", r.Muted);
    s.setValue("options/keep_proportions", r.KeepProportions);
    s.setValue("options/pause_when_inactive", r.PauseWhenInactive);
    s.setValue("states/slot", r.Slot);
    s.setValue("options/hide_overscan", r.HideOverscan);
    for (int c = 0; c < CommandKeyCount; ++c)
        s.setValue(QString("commands/") + CommandKeyRows[c].name,
                   QString::fromStdString(key_name(r.CommandKeys[c])));
    for (int p = 0; p < Players; ++p) {
        s.setValue("players/joystick" + QString::number(p + 1), r.JoystickFor[p] + 1);
        for (int f = 0; f < PadFunctions; ++f)
            s.setValue(player_group("keys", p) + "/" + kFunctionNames[f],
                       QString::fromStdString(key_name(r.Keys[p][f])));
        for (int b = 0; b < PadButtons; ++b) {
            const QString name = kFunctionNames[PadFirstButton + b];
            s.setValue(player_group("pad", p) + "/" + name, r.ControllerButtons[p][b]);
            s.setValue(player_group("joystick", p) + "/" + name, r.JoystickButtons[p][b]);
        }
    }
    for (int c = 0; c < JoystickCommands; ++c) {
        s.setValue(QString("pad_commands/") + kJoystickCommandNames[c],
                   r.ControllerCommandButtons[c]);
        s.setValue(QString("joystick_commands/") + kJoystickCommandNames[c],
                   r.JoystickCommandButtons[c]);
    }
    s.sync();
    if (s.status() != QSettings::NoError) return "cannot write the settings to " + path;
    return {};
}
