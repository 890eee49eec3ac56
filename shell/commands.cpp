// The commands after Load, x1 and x2: the recent list, reset, pause, states,
// screenshots, quit, sizes and fullscreen, volume, the Input dialog and the
// options; the caption; the settings file. Files are written by one worker
// thread, off the frame loop, in the order they were asked for.
#include <QBuffer>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>
#include <QStandardPaths>
#include <QThreadPool>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "core/console.h"
#include "host/host.h"
#include "shell/settings.h"
#include "shell/shell.h"

namespace {

constexpr int kNoteMilliseconds = 3000;
const char kNoCartridge[] = "No cartridge runs";

QMainWindow* MainWindow;
QSize WindowedClient{256, 240};  // the drawing area outside fullscreen

QThreadPool& writer() {
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(1);  // one file after the other, in order
        p->setExpiryTimeout(-1);
        return p;
    }();
    return *pool;
}

// A note from the worker, shown by the frame loop's thread.
void note_later(const std::string& text) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [text] { show_note(text); }, Qt::QueuedConnection);
}

// Writes bytes to path whole, its folder made first.
std::string write_whole(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    const char* why = console_write_file(QFile::encodeName(path).constData(),
                                         reinterpret_cast<const uint8_t*>(bytes.constData()),
                                         size_t(bytes.size()));
    return why ? why : std::string();
}

void update_fit(QMainWindow* window) {
    App.VideoFit = window->isFullScreen() ? PictureFit::Whole
                   : App.KeepProportions  ? PictureFit::Proportional
                                          : PictureFit::Stretch;
    video_refresh();
}

QRect WindowedGeometry;  // the window (less its frame) before fullscreen; empty: none

void leave_fullscreen(QMainWindow* window) {
    if (!window->isFullScreen()) return;
    window->showNormal();
    window->menuBar()->show();
    if (QWidget* area = window->centralWidget()) area->unsetCursor();
    // Back where it was, as it was: a window manager takes this after it has
    // taken the window out of fullscreen, so the frame and title bar come back
    // around the same place every time.
    if (WindowedGeometry.isValid())
        window->setGeometry(WindowedGeometry);
    else
        set_client_size(window, WindowedClient.width(), WindowedClient.height());
    update_fit(window);
}

void size_window(QMainWindow* window, int scale) {
    leave_fullscreen(window);
    set_client_size(window, 256 * scale, 240 * scale);
}

void toggle_fullscreen(QMainWindow* window) {
    if (window->isFullScreen()) return leave_fullscreen(window);
    if (QWidget* area = window->centralWidget()) {
        WindowedClient = area->size();
        area->setCursor(Qt::BlankCursor);
    }
    WindowedGeometry = window->geometry();
    window->menuBar()->hide();
    window->showFullScreen();
    // Without a window manager nobody else makes the window cover the screen;
    // with one, it has done so by the time this looks (a geometry of its own
    // here would make it keep the frame). Through the native window: the
    // widget's own setGeometry would end fullscreen.
    auto cover = [window] {
        QScreen* screen = window->screen();
        if (window->isFullScreen() && screen && window->windowHandle() &&
            window->geometry() != screen->geometry())
            window->windowHandle()->setGeometry(screen->geometry());
    };
    if (QGuiApplication::platformName() == "xcb")
        QTimer::singleShot(300, window, cover);
    else
        cover();
    update_fit(window);
}

void toggle_pause() {
    App.Paused = !App.Paused;
    if (App.Paused) stop_sound();
    update_mark();
}

void save_state() {
    if (!console_running()) return show_note(std::string(kNoCartridge) + ": no state to save");
    // The state is taken now (tens of microseconds); the file is written off the loop.
    QByteArray bytes(qsizetype(console_state_size()), Qt::Uninitialized);
    if (const char* why =
            console_save_state(reinterpret_cast<uint8_t*>(bytes.data()), size_t(bytes.size())))
        return show_note(std::string("State not saved: ") + why);
    const int slot = App.StateSlot;
    const QString path = QString::fromStdString(state_file(slot));
    writer().start([path, bytes, slot] {
        const std::string why = write_whole(path, bytes);
        note_later(why.empty() ? "Slot " + std::to_string(slot) + " saved"
                               : "Slot " + std::to_string(slot) + " not saved: " + why);
    });
}

void load_state(QMainWindow* window) {
    if (!console_running()) return show_note(std::string(kNoCartridge) + ": no state to load");
    const std::string slot = "Slot " + std::to_string(App.StateSlot);
    // A state asked for while its file is still being written is read whole.
    writer().waitForDone();
    const std::string path = state_file(App.StateSlot);
    if (!QFileInfo::exists(QString::fromStdString(path))) return show_note(slot + " is empty");
    if (const char* why = console_load_state_file(path.c_str()))
        return show_note(slot + " not loaded: " + why);
    if (App.Paused) {
        // Paused, the loaded moment is shown: one frame from it, and back.
        std::vector<uint8_t> state(console_state_size());
        if (!console_save_state(state.data(), state.size())) {
            console_run_frame();
            present_frame(window);
            console_load_state(state.data(), state.size());
        }
    }
    show_note(slot + " loaded");
}

void take_screenshot() {
    if (!console_running()) return show_note(std::string(kNoCartridge) + ": no screenshot");
    QImage picture(ConsolePictureWidth, ConsolePictureHeight, QImage::Format_RGB32);
    picture_to_image(picture);
    const QString stem =
        QString::fromStdString(screenshot_folder() + "/" + base_name(console_cartridge_name())) +
        QDateTime::currentDateTime().toString("-yyyy-MM-dd-HHmmss");
    writer().start([picture, stem] {
        QString path = stem + ".png";
        for (int n = 2; QFileInfo::exists(path); ++n)
            path = stem + "-" + QString::number(n) + ".png";
        QByteArray png;
        QBuffer buffer(&png);
        const std::string why = buffer.open(QIODevice::WriteOnly) && picture.save(&buffer, "PNG")
                                    ? write_whole(path, png)
                                    : "the picture cannot be made a PNG";
        note_later(why.empty() ? "Screenshot " + path.toStdString() : "No screenshot: " + why);
    });
}

}  // namespace

void open_recent(QWidget* window, size_t index) {
    if (index >= App.RecentCartridges.size()) return;
    const std::string path = App.RecentCartridges[index];
    if (!QFileInfo(QString::fromStdString(path)).isFile()) {
        std::erase(App.RecentCartridges, path);
        show_failure_box(
            window,
            ("cannot load " + path + ": the file is gone; it leaves the recent list").c_str());
        return;
    }
    open_cartridge(window, path);
}

namespace {

// Touching the volume tries the sound device again when none opened.
bool sound_again() {
    if (App.SoundFailure.empty()) return true;
    if (sound_retry()) return true;
    std::fprintf(stderr, "qel: %s\n", App.SoundFailure.c_str());
    show_note(App.SoundFailure);
    return false;
}

void set_volume(int volume) {
    App.SoundVolume = volume;
    App.SoundMuted = false;
    if (sound_again()) show_note("Volume " + std::to_string(volume) + "%");
}

// At the first start (no settings, or damaged ones): the largest of x2-x4
// whose window fits the screen, the window centred on it.
void first_size(QMainWindow* window) {
    const QScreen* screen = window->screen();
    if (!screen) return;
    const QRect room = screen->availableGeometry();
    // Until the window manager has framed the window its frame is not known
    // (or known in part): room is left for at least a usual one.
    const QSize frame =
        (window->frameGeometry().size() - window->geometry().size()).expandedTo(QSize(8, 40));
    const int menu = window->menuBar()->sizeHint().height();
    int scale = 4;
    while (scale > 1 && (256 * scale + frame.width() > room.width() ||
                         240 * scale + menu + frame.height() > room.height()))
        --scale;
    if (scale < 2) return;
    set_client_size(window, 256 * scale, 240 * scale);
    WindowedClient = QSize(256 * scale, 240 * scale);
    const QSize outer = window->size() + frame;
    window->move(room.x() + (room.width() - outer.width()) / 2,
                 room.y() + (room.height() - outer.height()) / 2);
}

// A damaged settings file is kept beside the new one (the newest damage only).
std::string keep_damaged(const std::string& path) {
    const std::string bad = path + ".bad";
    std::error_code ec;
    std::filesystem::remove_all(bad, ec);
    std::filesystem::rename(path, bad, ec);
    if (ec) return "; it could not be kept as " + bad + ": " + ec.message();
    return "; the damaged file is kept as " + bad;
}

void apply_settings(QMainWindow* window, const AppSettings& s) {
    App.KeyFor = s.Keys;
    App.ControllerButtonFor = s.ControllerButtons;
    App.JoystickButtonFor = s.JoystickButtons;
    App.JoystickFor = s.JoystickFor;
    App.ControllerCommandButtonFor = s.ControllerCommandButtons;
    App.JoystickCommandButtonFor = s.JoystickCommandButtons;
    CommandKeyFor = s.CommandKeys;
    apply_command_keys(window);
    App.VideoHideOverscan = s.HideOverscan;
    App.SoundVolume = s.Volume;
    App.SoundMuted = s.Muted;
    App.KeepProportions = s.KeepProportions;
    App.PauseWhenInactive = s.PauseWhenInactive;
    App.StateSlot = s.Slot;
    App.RecentCartridges = s.Recent;
    App.LastFolder = s.LastFolder;
    // No larger than the screen can show (a window of the file's size could
    // take gigabytes of picture memory).
    QSize size(s.Width, s.Height);
    if (const QScreen* screen = window->screen())
        size = size.boundedTo(screen->availableGeometry().size());
    WindowedClient = size;
    if (!window->isFullScreen()) set_client_size(window, size.width(), size.height());
    update_fit(window);
}

}  // namespace

void update_mark() {
    const bool running = console_running();
    const std::string mark = App.Paused || (App.PauseWhenInactive && App.WindowInactive) ? "Paused"
                             : running && rewind_held()       ? "<< Rewind"
                             : running && fast_forward_held() ? ">> Fast"
                                                              : "";
    if (mark == App.VideoMark) return;
    App.VideoMark = mark;
    video_refresh();
}

void show_note(const std::string& text) {
    static QTimer* timer = [] {
        auto* t = new QTimer(QCoreApplication::instance());
        t->setSingleShot(true);
        QObject::connect(t, &QTimer::timeout, [] {
            App.VideoNote.clear();
            video_refresh();
        });
        return t;
    }();
    App.VideoNote = text;
    timer->start(kNoteMilliseconds);
    video_refresh();
}

std::string state_file(int slot) {
    return data_folder() + "/states/" + base_name(console_cartridge_name()) + ".slot" +
           std::to_string(slot) + ".state";
}

std::string screenshot_folder() {
    const char* pictures = std::getenv("XDG_PICTURES_DIR");
    if (pictures && *pictures == '/') return std::string(pictures) + "/qel";
    // The user's pictures folder when the desktop names one that exists, else home.
    const QString named = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!named.isEmpty() && named != QDir::homePath() && QFileInfo(named).isDir())
        return named.toStdString() + "/qel";
    return QDir::homePath().toStdString();
}

void wait_for_writes() {
    writer().waitForDone();
    QCoreApplication::sendPostedEvents(QCoreApplication::instance(), QEvent::MetaCall);
}

void cartridge_changed(bool loaded) {
    if (loaded) {
        const std::string file = console_cartridge_file();
        const QFileInfo info(QString::fromStdString(file));
        add_recent(App.RecentCartridges, info.absoluteFilePath().toStdString());
        App.LastFolder = info.absolutePath().toStdString();
        App.Paused = false;
        update_mark();
    }
    if (MainWindow)
        MainWindow->setWindowTitle(
            loaded ? QString(AppCaption) + " - " +
                         QString::fromStdString(base_name(console_cartridge_name()))
                   : QString(AppCaption));
}

void open_cartridge(QWidget* window, const std::string& path) {
    const std::string failure = load_cartridge_file(path.c_str(), window);
    if (!failure.empty()) show_failure_box(window, failure.c_str());
}

void start_settings(QMainWindow* window) {
    MainWindow = window;
    App.VideoHint = "Nes > Load, or drop a .nes file";
    AppSettings s;
    const std::string path = settings_path();
    const bool first = !QFileInfo::exists(QString::fromStdString(path));
    std::string why = read_settings(path, s);
    if (!why.empty()) why += keep_damaged(path);
    apply_settings(window, s);
    if (first || !why.empty()) first_size(window);
    if (!why.empty()) {
        std::fprintf(stderr, "qel: %s\n", why.c_str());
        show_note(why);
    }
    if (!App.SoundFailure.empty()) {
        // Said once; Options > Volume tries again.
        std::fprintf(stderr, "qel: %s\n", App.SoundFailure.c_str());
        show_note(why.empty() ? App.SoundFailure : why + "; " + App.SoundFailure);
    }
}

std::string store_settings(QMainWindow* window) {
    if (!MainWindow) return {};  // the settings were never read: nothing to keep
    AppSettings s;
    if (window && !window->isFullScreen() && window->centralWidget())
        WindowedClient = window->centralWidget()->size();
    s.Width = WindowedClient.width();
    s.Height = WindowedClient.height();
    s.LastFolder = App.LastFolder;
    s.Recent = App.RecentCartridges;
    s.Keys = App.KeyFor;
    s.ControllerButtons = App.ControllerButtonFor;
    s.JoystickButtons = App.JoystickButtonFor;
    s.JoystickFor = App.JoystickFor;
    s.ControllerCommandButtons = App.ControllerCommandButtonFor;
    s.JoystickCommandButtons = App.JoystickCommandButtonFor;
    s.CommandKeys = CommandKeyFor;
    s.HideOverscan = App.VideoHideOverscan;
    s.Volume = App.SoundVolume;
    s.Muted = App.SoundMuted;
    s.KeepProportions = App.KeepProportions;
    s.PauseWhenInactive = App.PauseWhenInactive;
    s.Slot = App.StateSlot;
    return write_settings(settings_path(), s);
}

int slot_of(Command command) {
    const int n = int(command) - int(Command::Slot1);
    return n >= 0 && n < StateSlots ? n + 1 : 0;
}

int volume_of(Command command) {
    const int n = int(command) - int(Command::Volume100);
    return n >= 0 && n < 4 ? 100 - 25 * n : 0;
}

void run_command(QMainWindow* window, Command command) {
    if (const int slot = slot_of(command)) {
        App.StateSlot = slot;
        return show_note("Slot " + std::to_string(slot));
    }
    if (const int volume = volume_of(command)) return set_volume(volume);
    switch (command) {
        case Command::Load: return load_chosen_cartridge(window);
        case Command::SizeX1: return set_client_size(window, 256, 240);
        case Command::SizeX2: return set_client_size(window, 512, 480);
        case Command::Reset:
            if (!console_running()) return show_note(kNoCartridge);
            console_reset();
            return show_note("Reset");
        case Command::HardReset: {
            if (!console_running()) return show_note(kNoCartridge);
            const std::string failure = power_cycle(window);
            if (!failure.empty()) return show_failure_box(window, failure.c_str());
            return show_note("Hard reset");
        }
        case Command::FrameAdvance:
            if (!console_running()) return show_note(kNoCartridge);
            if (!App.Paused) return toggle_pause();
            return advance_frame(window);
        case Command::HideOverscan:
            App.VideoHideOverscan = !App.VideoHideOverscan;
            return video_refresh();
        case Command::Pause: return toggle_pause();
        case Command::SaveState: return save_state();
        case Command::LoadState: return load_state(window);
        case Command::Screenshot: return take_screenshot();
        case Command::Quit: window->close(); return;
        case Command::SizeX3: return size_window(window, 3);
        case Command::SizeX4: return size_window(window, 4);
        case Command::Fullscreen: return toggle_fullscreen(window);
        case Command::Escape:
            if (window->isFullScreen()) return leave_fullscreen(window);
            return toggle_pause();
        case Command::KeepProportions:
            App.KeepProportions = !App.KeepProportions;
            return update_fit(window);
        case Command::Mute:
            App.SoundMuted = !App.SoundMuted;
            if (!sound_again()) return;
            return show_note(App.SoundMuted ? "Sound off" : "Sound on");
        case Command::Input:
            if (run_input_dialog(window)) {
                apply_command_keys(window);
                store_settings(window);
            }
            return;
        case Command::PauseWhenInactive:
            App.PauseWhenInactive = !App.PauseWhenInactive;
            return update_mark();
        default: return;
    }
}
