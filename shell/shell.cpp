#include "shell/shell.h"

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileDialog>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QSocketNotifier>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/console.h"
#include "core/rewind.h"
#include "host/host.h"
#include "shell/window.h"

namespace {

int64_t steady_counter() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// steady_clock is CLOCK_MONOTONIC: sleep to the absolute time, whatever wakes us early.
void sleep_until_counter(int64_t deadline) {
    timespec when{time_t(deadline / 1000000000), long(deadline % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

std::string cannot_load(const char* path, const char* why) {
    return std::string("cannot load ") + path + ": " + why;
}

int32_t open_file_dialog(QWidget* owner) {
    QFileDialog dialog(owner, "Open Nes File", QString::fromStdString(App.LastFolder),
                       "Nes Files (*.nes *.zip *.7z *.gz)");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix("nes");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return 0;
    QByteArray path = QFile::encodeName(dialog.selectedFiles().first());
    // A path that does not fit is never cut short into another file's name:
    // it is refused and whatever runs goes on.
    if (!console_choose_cartridge(path.constData())) {
        show_failure_box(owner, cannot_load(path.constData(), "the path is too long").c_str());
        return 0;
    }
    return 1;
}

}  // namespace

PacingClock Clock = {steady_counter, sleep_until_counter};
int32_t (*choose_cartridge_file)(QWidget* owner) = open_file_dialog;

void set_client_size(QMainWindow* window, int width, int height) {
    // The drawing area is the window less its menu bar; measure once laid out
    // and correct whatever the menu bar's height turned out to be.
    QWidget* area = window->centralWidget();
    window->resize(width, height + window->menuBar()->sizeHint().height());
    window->layout()->activate();
    if (!area) return;
    QSize extra = QSize(width, height) - area->size();
    if (!extra.isNull()) {
        window->resize(window->size() + extra);
        window->layout()->activate();
    }
}

int32_t init_application(QMainWindow** out) {
    QelWindow* window = new QelWindow;
    *out = window;
    window->move(100, 100);
    window->resize(256, 224);
    window->show();
    joypad_init(window);
    sound_init(window);
    int32_t result = video_init(window);
    if (result == 0 && !App.QuitPosted) set_client_size(window, 256, 240);
    return result;
}

void shutdown_devices() {
    video_shutdown();
    joypad_shutdown();
    sound_shutdown();
}

namespace {

// ---- battery saves ----

std::string BatteryFile;              // the running cartridge's .sav; empty: none kept
std::vector<uint8_t> BatteryWritten;  // the save RAM as the file holds it
uint32_t BatteryFrames;               // frames since the last look for changes
bool WindowWasActive;                 // the window has had the keyboard once
std::string BatteryFailure;           // why the last write of the save failed; empty: it did not

// Where the running cartridge keeps its save; empty when it has no battery.
std::string battery_file_for(const char* cartridge) {
    if (!console_has_battery()) return {};
    return save_folder() + "/" + base_name(cartridge) + ".sav";
}

// Reads the cartridge's save, if it has one. A missing file is a first run;
// a file that cannot be a save is left alone (and not overwritten), and the
// player is told.
void open_battery(QWidget* window) {
    // Named after the .nes file, inside an archive too.
    BatteryFile = battery_file_for(console_cartridge_name());
    BatteryFrames = 0;
    BatteryFailure.clear();
    if (BatteryFile.empty()) return;
    uint8_t* ram = console_save_ram();
    std::error_code ec;
    if (std::filesystem::exists(BatteryFile, ec)) {
        if (const char* why = console_read_save_ram_file(BatteryFile.c_str())) {
            show_failure_box(window, (std::string(why) + "; the game starts without it").c_str());
            BatteryFile.clear();
            return;
        }
    } else {
        // A new save starts empty, not with what another game left.
        std::memset(ram, 0, ConsoleSaveRamSize);
    }
    BatteryWritten.assign(ram, ram + ConsoleSaveRamSize);
}

}  // namespace

std::string base_name(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Only the cartridge ending goes: "a.b" and "a.c" keep apart.
    if (name.size() > 4 &&
        QString::fromStdString(name.substr(name.size() - 4)).compare(".nes", Qt::CaseInsensitive) ==
            0)
        name.resize(name.size() - 4);
    return name;
}

std::string xdg_folder(const char* variable, const char* home_default) {
    const char* value = std::getenv(variable);
    if (value && *value == '/') return value;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + home_default;
}

std::string data_folder() { return xdg_folder("XDG_DATA_HOME", "/.local/share") + "/qel"; }

std::string save_folder() { return data_folder() + "/saves"; }

bool flush_battery(QWidget*) {
    if (BatteryFile.empty() || !console_powered()) return false;
    const uint8_t* ram = console_save_ram();
    // While a write fails, the file is behind the save RAM: each look tries again.
    if (BatteryWritten.size() == ConsoleSaveRamSize &&
        std::memcmp(BatteryWritten.data(), ram, ConsoleSaveRamSize) == 0)
        return false;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(BatteryFile).parent_path(), ec);
    if (const char* why = console_write_save_ram_file(BatteryFile.c_str())) {
        // Said once; the game goes on and the next look tries again quietly.
        if (BatteryFailure.empty()) {
            BatteryFailure = why;
            std::fprintf(stderr, "qel: %s\n", why);
            show_note(std::string("Battery save not written: ") + why + "; trying again");
        }
        return false;
    }
    BatteryWritten.assign(ram, ram + ConsoleSaveRamSize);
    if (!BatteryFailure.empty()) {
        BatteryFailure.clear();
        show_note("Battery save written");
    }
    return true;
}

namespace {

// ---- rewind ----

RewindRing Rewind;
std::vector<uint8_t> RewindScratch;
uint32_t RewindFrames;  // frames since the last state kept

// Keeps a state every few frames of play.
void keep_rewind_state() {
    if (!console_running() || ++RewindFrames < RewindEveryFrames) return;
    RewindFrames = 0;
    RewindScratch.resize(console_state_size());
    if (!console_save_state(RewindScratch.data(), RewindScratch.size()))
        rewind_push(Rewind, RewindScratch.data(), RewindScratch.size());
}

// One frame of rewinding: back one state, and its next frame's picture shown
// with the machine left standing at that state.
void rewind_frame() {
    rewind_back(Rewind);
    const std::vector<uint8_t>& state = Rewind.Latest;
    if (state.empty() || console_load_state(state.data(), state.size())) return;
    console_run_frame();
    console_load_state(state.data(), state.size());
    RewindFrames = 0;
}

// The end of the Load sequence: the chosen cartridge runs from its reset.
// One that is refused leaves the running game (or the halted machine) as it
// was. Returns why it failed ("cannot load PATH: WHY"), empty on success.
std::string load_and_reset(QWidget* window) {
    const std::string chosen = console_cartridge_file();
    if (const char* why = console_load_cartridge()) return cannot_load(chosen.c_str(), why);
    rewind_clear(Rewind);
    RewindFrames = 0;
    cartridge_changed(true);
    open_battery(window);
    // A cartridge made for PAL runs at NTSC timing: the news line says so.
    if (*console_cartridge_news()) show_note(console_cartridge_news());
    return {};
}

}  // namespace

const RewindRing& rewind_ring() { return Rewind; }

std::string load_cartridge_file(const char* path, QWidget* window) {
    // The running game's save is on disk before another cartridge is tried.
    flush_battery(window);
    if (!console_choose_cartridge(path)) return cannot_load(path, "the path is too long");
    return load_and_reset(window);
}

void load_chosen_cartridge(QMainWindow* window) {
    if (!choose_cartridge_file(window)) return;
    flush_battery(window);
    const std::string failure = load_and_reset(window);
    if (!failure.empty()) show_failure_box(window, failure.c_str());
}

void window_activated(bool active, bool minimised) {
    App.Active = !minimised;
    // Inactive only counts once the window has been active.
    if (active)
        App.WindowInactive = false, WindowWasActive = true;
    else if (WindowWasActive)
        App.WindowInactive = true;
    update_mark();
    acquire_joypad();
}

void menu_opened() { stop_sound(); }

void window_closing(QMainWindow* window) {
    wait_for_writes();
    store_settings(window);
    console_halt();
    flush_battery(window);
    if (!BatteryFailure.empty()) {
        // The last chance to keep the game's progress: said in a box too.
        show_failure_box(window, ("the battery save is lost: " + BatteryFailure).c_str());
        BatteryFailure.clear();
    }
    console_shut_down();
    BatteryFile.clear();
    rewind_clear(Rewind);
    shutdown_devices();
    App.QuitPosted = true;
    App.QuitCode = 0;
}

namespace {
int SignalSocket[2] = {-1, -1};
void post_signal(int) {
    const char c = 1;
    (void)!::write(SignalSocket[1], &c, 1);
}
}  // namespace

void quit_on_signals(QMainWindow* window) {
    if (SignalSocket[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, SignalSocket) != 0)
        return;
    auto* notifier = new QSocketNotifier(SignalSocket[0], QSocketNotifier::Read, window);
    QObject::connect(notifier, &QSocketNotifier::activated, window, [window] {
        char drained[16];
        while (::read(SignalSocket[0], drained, sizeof drained) > 0) {
        }
        if (!App.QuitPosted) window->close();
    });
    struct sigaction action = {};
    action.sa_handler = post_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

bool rewind_held() { return App.RewindHeld || (App.JoystickCommandsHeld & (1u << JoystickRewind)); }

bool fast_forward_held() {
    return App.FastForwardHeld || (App.JoystickCommandsHeld & (1u << JoystickFastForward));
}

void advance_frame(QMainWindow* window) {
    poll_joypad(window);
    run_frame_checked(window);
    if (App.QuitPosted) return;
    ++App.MachineFrames;
    keep_rewind_state();
    present_frame(window);
}

std::string power_cycle(QWidget* window) {
    flush_battery(window);
    const std::string file = console_cartridge_file();
    // A file gone since leaves the game running rather than the power off.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return cannot_load(file.c_str(), "the file is gone; the game runs on");
    console_shut_down();
    BatteryFile.clear();
    console_power_up();
    return load_cartridge_file(file.c_str(), window);
}

int32_t run_frame_checked(QMainWindow* window) {
    if (console_run_frame() == 0) return 0;
    return video_error(window, 0, "Invaild code: %02x", console_error_code());
}

void pacing_wait() {
    const int64_t now = Clock.read_counter();
    if (App.FrameDeadline == 0 || now - App.FrameDeadline > ResyncFrames * App.TicksPerFrame)
        App.FrameDeadline = now;  // the first frame, or a long stall: start afresh
    else if (now < App.FrameDeadline)
        Clock.sleep_until(App.FrameDeadline);
    // A frame a little late is made up by the next ones starting at once.
    App.FrameDeadline += App.TicksPerFrame;
}

void frame_step(QMainWindow* window) {
    // Once an error report has destroyed the window, the rest of the step is
    // skipped: the devices and the machine are gone.
    poll_joypad(window);
    if (App.QuitPosted) return;
    // Joystick buttons for the states act once a press; the joystick's news is told.
    static uint32_t held_before;
    const uint32_t pressed = App.JoystickCommandsHeld & ~held_before;
    held_before = App.JoystickCommandsHeld;
    if (pressed & (1u << JoystickSaveState)) run_command(window, Command::SaveState);
    if (pressed & (1u << JoystickLoadState)) run_command(window, Command::LoadState);
    if (!App.JoypadNews.empty()) {
        show_note(App.JoypadNews);
        App.JoypadNews.clear();
    }
    lock_surfaces(window);
    if (App.QuitPosted) return;
    // Holding the rewind key steps back through the recent states, silently.
    const bool rewinding = rewind_held() && console_running();
    // Holding the fast-forward key runs more frames while the period lasts.
    const bool fast = fast_forward_held() && !rewinding && console_running();
    update_mark();
    if (rewinding) {
        rewind_frame();
    } else {
        const int64_t start = fast ? Clock.read_counter() : 0;
        for (int frame = 0; frame < (fast ? FastForwardFrames : 1); ++frame) {
            if (frame > 0) {
                // Another frame only if one more, at the cost of those so far, ends in time.
                const int64_t now = Clock.read_counter();
                if (App.FrameDeadline != 0 && now + (now - start) / frame > App.FrameDeadline)
                    break;
            }
            run_frame_checked(window);
            if (App.QuitPosted) return;
            ++App.MachineFrames;
            keep_rewind_state();
        }
    }
    unlock_surfaces();
    // Rewound and fast frames are not heard: one block of silence a period
    // keeps the sound's frame order.
    App.SoundSilenced = rewinding || fast;
    stream_sound();
    present_frame(window);
    if (App.QuitPosted) return;
    if (++BatteryFrames >= BatteryCheckFrames) {
        BatteryFrames = 0;
        flush_battery(window);
    }
    pacing_wait();
}

bool frames_wanted() {
    return App.Active && !App.MenuOpen && !App.Paused &&
           !(App.PauseWhenInactive && App.WindowInactive);
}

int run_message_loop(QMainWindow* window) {
    while (!App.QuitPosted) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (App.QuitPosted) break;
        if (frames_wanted()) {
            frame_step(window);
        } else {
            if (App.SoundPlaying) stop_sound();  // silence while no frames come
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    return App.QuitCode;
}
