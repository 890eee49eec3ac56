#include "shell/settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <algorithm>
#include <cstdlib>

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

}  // namespace

AppSettings default_settings() {
    const auto keys = KeyFor;
    const auto pad = ControllerButtonFor;
    const auto joystick = JoystickButtonFor;
    default_bindings();
    AppSettings s;
    s.Keys = KeyFor;
    s.ControllerButtons = ControllerButtonFor;
    s.JoystickButtons = JoystickButtonFor;
    KeyFor = keys;
    ControllerButtonFor = pad;
    JoystickButtonFor = joystick;
    return s;
}

std::string settings_path() { return xdg_folder("XDG_CONFIG_HOME", "/.config") + "/qel/qel.conf"; }

bool key_reserved(int key) {
    switch (key) {
        case Qt::Key_Escape:
        case Qt::Key_P:
        case Qt::Key_M:
        case Qt::Key_1:
        case Qt::Key_2:
        case Qt::Key_3:
        case Qt::Key_4:
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Backspace:
        case Qt::Key_F5:
        case Qt::Key_F7:
        case Qt::Key_F11:
        case Qt::Key_F12: return true;
        default: return false;
    }
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
    for (int f = 0; f < PadFunctions; ++f) {
        const std::string key = std::string("keys/") + kFunctionNames[f];
        if (s.contains(key.c_str())) {
            const std::string name = s.value(key.c_str()).toString().toStdString();
            const int code = name.empty() ? 0 : key_from_name(name);
            check((name.empty() || code != 0) && !key_reserved(code), "keys");
            r.Keys[f] = code;
        }
    }
    for (int f = 0; f < PadFunctions; ++f)
        for (int g = f + 1; g < PadFunctions; ++g)
            check(r.Keys[f] == 0 || r.Keys[f] != r.Keys[g], "keys");
    for (int b = 0; b < PadButtons; ++b) {
        const std::string name = kFunctionNames[PadFirstButton + b];
        check(read_int(s, ("pad/" + name).c_str(), -1, 63, r.ControllerButtons[b]), "pad");
        check(read_int(s, ("joystick/" + name).c_str(), -1, 255, r.JoystickButtons[b]), "joystick");
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
                         "files/recent"};
    for (int f = 0; f < PadFunctions; ++f) {
        known << QString("keys/") + kFunctionNames[f];
        if (f >= PadFirstButton)
            known << QString("pad/") + kFunctionNames[f]
                  << QString("joystick/") + kFunctionNames[f];
    }
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
    for (int f = 0; f < PadFunctions; ++f)
        s.setValue(QString("keys/") + kFunctionNames[f],
                   QString::fromStdString(key_name(r.Keys[f])));
    for (int b = 0; b < PadButtons; ++b) {
        const QString name = kFunctionNames[PadFirstButton + b];
        s.setValue("pad/" + name, r.ControllerButtons[b]);
        s.setValue("joystick/" + name, r.JoystickButtons[b]);
    }
    s.sync();
    if (s.status() != QSettings::NoError) return "cannot write the settings to " + path;
    return {};
}
