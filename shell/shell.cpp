#include "shell/shell.h"

#include <time.h>

#include <QCoreApplication>
#include <QFileDialog>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <cerrno>
#include <chrono>
#include <string>

#include "cart/cartridge.h"
#include "core/frame.h"
#include "core/machine.h"
#include "core/power.h"
#include "cpu/n6502.h"
#include "host/host.h"
#include "shell/window.h"

uint32_t AppActive;
int64_t TimerFrequency;
int64_t TicksPerFrame;
int64_t FrameDeadline;
uint32_t MenuOpen;
bool QuitPosted;
int QuitCode;

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
    QFileDialog dialog(owner, "Open Nes File", QString(), "Nes Files (*.nes)");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix("nes");
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return 0;
    QByteArray path = QFile::encodeName(dialog.selectedFiles().first());
    // A path that does not fit is never cut short into another file's name:
    // the load then fails and the machine stays halted.
    if (!set_cartridge_file_name(path.constData())) {
        MachineState.CartridgeFileName[0] = '\0';
        show_failure_box(owner, cannot_load(path.constData(), "the path is too long").c_str());
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
    if (result == 0 && !QuitPosted) set_client_size(window, 256, 240);
    return result;
}

void shutdown_devices() {
    video_shutdown();
    joypad_shutdown();
    sound_shutdown();
}

namespace {

// The end of the Load sequence: the machine runs the new cartridge from its
// reset, or stays halted. Returns why it failed ("cannot load PATH: WHY"),
// empty on success or when nothing was ever chosen.
std::string load_and_reset() {
    if (load_cartridge()) {
        cpu_reset();
        MachineState.Halted = 0;
        return {};
    }
    MachineState.Halted = 1;
    if (MachineState.CartridgeFileName[0] == '\0') return {};
    return cannot_load(MachineState.CartridgeFileName, CartridgeLoadFailure);
}

}  // namespace

std::string load_cartridge_file(const char* path) {
    MachineState.Halted = 1;
    if (!set_cartridge_file_name(path)) {
        MachineState.CartridgeFileName[0] = '\0';
        return cannot_load(path, "the path is too long");
    }
    return load_and_reset();
}

intptr_t window_proc(QMainWindow* window, uint32_t message, uintptr_t wparam, intptr_t) {
    switch (message) {
        case WM_COMMAND:
            switch (wparam & 0xFFFF) {
                case CommandLoad: {
                    MachineState.Halted = 1;
                    choose_cartridge_file(window);
                    std::string failure = load_and_reset();
                    if (!failure.empty()) show_failure_box(window, failure.c_str());
                    break;
                }
                case CommandSizeX1: set_client_size(window, 256, 240); break;
                case CommandSizeX2: set_client_size(window, 512, 480); break;
                default: break;
            }
            return 0;
        case WM_ACTIVATE:
            AppActive = ((wparam >> 16) & 0xFFFF) == 0 ? 1 : 0;
            acquire_joypad();
            return 0;
        case WM_INITMENU: stop_sound(); return 0;
        case WM_DESTROY:
            MachineState.Halted = 1;
            shut_down();
            shutdown_devices();
            QuitPosted = true;
            QuitCode = 0;
            return 0;
        default: return 0;
    }
}

int32_t run_frame_checked(QMainWindow* window) {
    if (run_frame() == 0) return 0;
    // The code is the opcode the CPU stopped at.
    uint16_t pc = ncpu.rPC;
    MachineState.ErrorCode = pc >= 0x8000  ? PrgWindow[pc - 0x8000]
                             : pc < 0x2000 ? CpuRam[pc & 0x7FF]
                                           : CpuRam[pc];
    return video_error(window, 0, "Invaild code: %02x", MachineState.ErrorCode);
}

void pacing_wait() {
    const int64_t now = Clock.read_counter();
    if (FrameDeadline == 0 || now - FrameDeadline > ResyncFrames * TicksPerFrame)
        FrameDeadline = now;  // the first frame, or a long stall: start afresh
    else if (now < FrameDeadline)
        Clock.sleep_until(FrameDeadline);
    // A frame a little late is made up by the next ones starting at once.
    FrameDeadline += TicksPerFrame;
}

void frame_step(QMainWindow* window) {
    // Once an error report has destroyed the window, the rest of the step is
    // skipped: the devices and the machine are gone.
    poll_joypad(window);
    if (QuitPosted) return;
    lock_surfaces(window);
    if (QuitPosted) return;
    run_frame_checked(window);
    if (QuitPosted) return;
    unlock_surfaces();
    stream_sound();
    present_frame(window);
    if (QuitPosted) return;
    pacing_wait();
}

int run_message_loop(QMainWindow* window) {
    while (!QuitPosted) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (QuitPosted) break;
        if (AppActive && !MenuOpen)
            frame_step(window);
        else
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return QuitCode;
}
