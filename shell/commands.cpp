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
const char kCaption[] = "Qel " QEL_VERSION;
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
    VideoFit = window->isFullScreen() ? PictureFit::Whole
               : KeepProportions      ? PictureFit::Proportional
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
    Paused = !Paused;
    if (Paused) stop_sound();
    update_mark();
}

void save_state() {
    if (!console_running()) return show_note(std::string(kNoCartridge) + ": no state to save");
    // The state is taken now (tens of microseconds); the file is written off the loop.
    QByteArray bytes(qsizetype(console_state_size()), Qt::Uninitialized);
    if (const char* why =
            console_save_state(reinterpret_cast<uint8_t*>(bytes.data()), size_t(bytes.size())))
        return show_note(std::string("State not saved: ") + why);
    const int slot = StateSlot;
    const QString path = QString::fromStdString(state_file(slot));
    writer().start([path, bytes, slot] {
        const std::string why = write_whole(path, bytes);
        note_later(why.empty() ? "Slot " + std::to_string(slot) + " saved"
                               : "Slot " + std::to_string(slot) + " not saved: " + why);
    });
}

void load_state(QMainWindow* window) {
    if (!console_running()) return show_note(std::string(kNoCartridge) + ": no state to load");
    const std::string slot = "Slot " + std::to_string(StateSlot);
    // A state asked for while its file is still being written is read whole.
    writer().waitForDone();
    const std::string path = state_file(StateSlot);
    if (!QFileInfo::exists(QString::fromStdString(path))) return show_note(slot + " is empty");
    if (const char* why = console_load_state_file(path.c_str()))
        return show_note(slot + " not loaded: " + why);
    if (Paused) {
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

void open_recent(QWidget* window, size_t index) {
    if (index >= RecentCartridges.size()) return;
    const std::string path = RecentCartridges[index];
    if (!QFileInfo(QString::fromStdString(path)).isFile()) {
        std::erase(RecentCartridges, path);
        show_failure_box(
            window,
            ("cannot load " + path + ": the file is gone; it leaves the recent list").c_str());
        return;
    }
    open_cartridge(window, path);
}

// Touching the volume tries the sound device again when none opened.
bool sound_again() {
    if (SoundFailure.empty()) return true;
    if (sound_retry()) return true;
    std::fprintf(stderr, "qel: %s\n", SoundFailure.c_str());
    show_note(SoundFailure);
    return false;
}

void set_volume(int volume) {
    SoundVolume = volume;
    SoundMuted = false;
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
    KeyFor = s.Keys;
    ControllerButtonFor = s.ControllerButtons;
    JoystickButtonFor = s.JoystickButtons;
    JoystickFor = s.JoystickFor;
    ControllerCommandButtonFor = s.ControllerCommandButtons;
    JoystickCommandButtonFor = s.JoystickCommandButtons;
    CommandKeyFor = s.CommandKeys;
    apply_command_keys(window);
    VideoHideOverscan = s.HideOverscan;
    SoundVolume = s.Volume;
    SoundMuted = s.Muted;
    KeepProportions = s.KeepProportions;
    PauseWhenInactive = s.PauseWhenInactive;
    StateSlot = s.Slot;
    RecentCartridges = s.Recent;
    LastFolder = s.LastFolder;
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
    const std::string mark = Paused || (PauseWhenInactive && WindowInactive) ? "Paused"
                             : running && rewind_held()                      ? "<< Rewind"
                             : running && fast_forward_held()                ? ">> Fast"
                                                                             : "";
    if (mark == VideoMark) return;
    VideoMark = mark;
    video_refresh();
}

void show_note(const std::string& text) {
    static QTimer* timer = [] {
        auto* t = new QTimer(QCoreApplication::instance());
        t->setSingleShot(true);
        QObject::connect(t, &QTimer::timeout, [] {
            VideoNote.clear();
            video_refresh();
        });
        return t;
    }();
    VideoNote = text;
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
        add_recent(RecentCartridges, info.absoluteFilePath().toStdString());
        LastFolder = info.absolutePath().toStdString();
        Paused = 0;
        update_mark();
    }
    if (MainWindow)
        MainWindow->setWindowTitle(
            loaded ? QString(kCaption) + " - " +
                         QString::fromStdString(base_name(console_cartridge_name()))
                   : QString(kCaption));
}

void open_cartridge(QWidget* window, const std::string& path) {
    const std::string failure = load_cartridge_file(path.c_str(), window);
    if (!failure.empty()) show_failure_box(window, failure.c_str());
}

void start_settings(QMainWindow* window) {
    MainWindow = window;
    VideoHint = "Nes > Load, or drop a .nes file";
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
    if (!SoundFailure.empty()) {
        // Said once; Options > Volume tries again.
        std::fprintf(stderr, "qel: %s\n", SoundFailure.c_str());
        show_note(why.empty() ? SoundFailure : why + "; " + SoundFailure);
    }
}

std::string store_settings(QMainWindow* window) {
    if (!MainWindow) return {};  // the settings were never read: nothing to keep
    AppSettings s;
    if (window && !window->isFullScreen() && window->centralWidget())
        WindowedClient = window->centralWidget()->size();
    s.Width = WindowedClient.width();
    s.Height = WindowedClient.height();
    s.LastFolder = LastFolder;
    s.Recent = RecentCartridges;
    s.Keys = KeyFor;
    s.ControllerButtons = ControllerButtonFor;
    s.JoystickButtons = JoystickButtonFor;
    s.JoystickFor = JoystickFor;
    s.ControllerCommandButtons = ControllerCommandButtonFor;
    s.JoystickCommandButtons = JoystickCommandButtonFor;
    s.CommandKeys = CommandKeyFor;
    s.HideOverscan = VideoHideOverscan;
    s.Volume = SoundVolume;
    s.Muted = SoundMuted;
    s.KeepProportions = KeepProportions;
    s.PauseWhenInactive = PauseWhenInactive;
    s.Slot = StateSlot;
    return write_settings(settings_path(), s);
}

void run_command(QMainWindow* window, uint32_t command) {
    if (command >= CommandRecent && command < CommandRecent + RecentMax)
        return open_recent(window, command - CommandRecent);
    if (command > CommandSlot && command <= CommandSlot + StateSlots) {
        StateSlot = int(command - CommandSlot);
        return show_note("Slot " + std::to_string(StateSlot));
    }
    if (command > CommandVolume && command <= CommandVolume + 4)
        return set_volume(int(command - CommandVolume) * 25);
    switch (command) {
        case CommandReset:
            if (!console_running()) return show_note(kNoCartridge);
            console_reset();
            return show_note("Reset");
        case CommandHardReset: {
            if (!console_running()) return show_note(kNoCartridge);
            const std::string failure = power_cycle(window);
            if (!failure.empty()) return show_failure_box(window, failure.c_str());
            return show_note("Hard reset");
        }
        case CommandFrameAdvance:
            if (!console_running()) return show_note(kNoCartridge);
            if (!Paused) return toggle_pause();
            return advance_frame(window);
        case CommandHideOverscan: VideoHideOverscan = !VideoHideOverscan; return video_refresh();
        case CommandPause: return toggle_pause();
        case CommandSaveState: return save_state();
        case CommandLoadState: return load_state(window);
        case CommandScreenshot: return take_screenshot();
        case CommandQuit: window->close(); return;
        case CommandSizeX3: return size_window(window, 3);
        case CommandSizeX4: return size_window(window, 4);
        case CommandFullscreen: return toggle_fullscreen(window);
        case CommandEscape:
            if (window->isFullScreen()) return leave_fullscreen(window);
            return toggle_pause();
        case CommandKeepProportions: KeepProportions = !KeepProportions; return update_fit(window);
        case CommandMute:
            SoundMuted = !SoundMuted;
            if (!sound_again()) return;
            return show_note(SoundMuted ? "Sound off" : "Sound on");
        case CommandInput:
            if (run_input_dialog(window)) {
                apply_command_keys(window);
                store_settings(window);
            }
            return;
        case CommandPauseWhenInactive: PauseWhenInactive = !PauseWhenInactive; return update_mark();
        default: return;
    }
}
