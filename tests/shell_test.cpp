// The desktop app on the offscreen platform with the dummy sound driver: the
// window and menu, Load, the frame step's order, pacing, the sound ring and
// the joypad mapping; then each group of the later commands through the
// window's own dispatch (menu actions and keys).
#include "shell/shell.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest/QtTest>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/console.h"
#include "core/machine.h"
#include "core/power.h"
#include "cpu/n6502.h"
#include "host/host.h"
#include "shell/settings.h"
#include "tests/test_support.h"

namespace {

std::string ChosenFile;  // what the replaced dialog "chooses"; empty = Cancel
int32_t fake_dialog(QWidget*) {
    if (ChosenFile.empty()) return 0;
    set_cartridge_file_name(ChosenFile.c_str());
    return 1;
}

std::vector<std::string> Boxes;
void record_box(QWidget*, const char* message) { Boxes.push_back(message); }

// The frame clock: reads count, sleeps land on their deadline.
int64_t FakeCounter;
int Reads;
int64_t fake_read() {
    ++Reads;
    return FakeCounter;
}
void fake_sleep(int64_t deadline) { FakeCounter = std::max(FakeCounter, deadline); }

QSize client(QMainWindow* w) { return w->centralWidget()->size(); }

// The menu action with this text, anywhere in the menus.
QAction* find_action(QMainWindow* w, const QString& text) {
    for (QAction* a : w->findChildren<QAction*>())
        if (a->text() == text) return a;
    return nullptr;
}

// A menu's items as "text=command" ("Recent cartridges>" for a submenu, "-"
// for a separator).
QStringList items(QMenu* menu) {
    QStringList out;
    for (QAction* a : menu->actions())
        out << (a->isSeparator() ? QString("-")
                : a->menu()      ? a->text() + ">"
                                 : a->text() + "=" + a->data().toString());
    return out;
}

// A cartridge whose code spins and whose sound channel 1 plays a tone.
std::string tone_cartridge() {
    std::vector<uint8_t> code = {
        0xA9, 0x01, 0x8D, 0x15, 0x40,  // LDA #1; STA $4015
        0xA9, 0xBF, 0x8D, 0x00, 0x40,  // LDA #$BF; STA $4000 (duty 2, constant 15, halt)
        0xA9, 0xFD, 0x8D, 0x02, 0x40,  // period low
        0xA9, 0x08, 0x8D, 0x03, 0x40,  // period high, length
        0x4C, 0x14, 0x80,              // JMP $8014
    };
    return write_temp_file("tone.nes", make_nrom(code));
}

}  // namespace

class ShellTest : public QObject {
    Q_OBJECT

private:
    QMainWindow* window = nullptr;

    void start(bool fresh_settings = true) {
        reset_machine_globals();
        QuitPosted = false;
        QuitCode = -1;
        MenuOpen = 0;
        AppActive = 0;
        Boxes.clear();
        show_failure_box = record_box;
        choose_cartridge_file = fake_dialog;
        ChosenFile.clear();
        if (fresh_settings) QFile::remove(QString::fromStdString(settings_path()));
        Paused = WindowInactive = FastForwardHeld = RewindHeld = 0;
        keyboard_release_all();
        QVERIFY(init_application(&window) == 0);
        console_power_up();
        start_settings(window);
        TimerFrequency = CounterTicksPerSecond;
        TicksPerFrame = TimerFrequency / 60;
        FrameDeadline = 0;
        FakeCounter = 1000000;
        Clock = PacingClock{fake_read, fake_sleep};
    }
    void step() { frame_step(window); }
    // A key pressed and let go in the active window: shortcuts and game keys.
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key(key), modifiers);
    }
    std::string load_tone() {
        ChosenFile = tone_cartridge();
        window_proc(window, WM_COMMAND, CommandLoad, 0);
        return ChosenFile;
    }

private slots:
    // After every test, even one that failed half-way: end the app.
    void cleanup() {
        if (!window) return;
        if (!QuitPosted) window->close();
        delete window;
        window = nullptr;
    }

    void captionMenuAndSizes() {
        start();
        QCOMPARE(window->windowTitle(), QString("Qel 0.1a"));
        QCOMPARE(QCoreApplication::applicationName(), QString("qel"));
        QList<QAction*> menus = window->menuBar()->actions();
        QCOMPARE(menus.size(), 3);
        QCOMPARE(menus[0]->text(), QString("&Nes"));  // shown as Nes, opened by Alt+N
        QCOMPARE(menus[1]->text(), QString("&Size"));
        QCOMPARE(menus[2]->text(), QString("&Options"));
        // The first three items as they always were; the others after them.
        QCOMPARE(items(menus[0]->menu()),
                 QStringList({"Load=40001", "Recent cartridges>", "-", "Reset=40004", "Pause=40005",
                              "-", "Save state=40006", "Load state=40007", "State slot>", "-",
                              "Screenshot=40008", "-", "Quit=40009"}));
        QCOMPARE(items(menus[1]->menu()),
                 QStringList({"x1=40002", "x2=40003", "x3=40030", "x4=40031", "-",
                              "Fullscreen=40032", "Keep proportions=40033"}));
        QCOMPARE(items(menus[2]->menu()),
                 QStringList({"Volume>", "Input...=40046", "Pause when inactive=40047"}));
        QCOMPARE(client(window), QSize(256, 240));
        QPoint place = window->pos();
        window_proc(window, WM_COMMAND, CommandSizeX2, 0);
        QCOMPARE(client(window), QSize(512, 480));
        QCOMPARE(window->pos(), place);
        window->resize(400, 300);
        window_proc(window, WM_COMMAND, CommandSizeX1, 0);
        QCOMPARE(client(window), QSize(256, 240));
        QCOMPARE(window_proc(window, WM_COMMAND, 40099, 0), intptr_t(0));
        QCOMPARE(client(window), QSize(256, 240));
        find_action(window, "x3")->trigger();
        QCOMPARE(client(window), QSize(768, 720));
        find_action(window, "x4")->trigger();
        QCOMPARE(client(window), QSize(1024, 960));
        find_action(window, "x1")->trigger();

        // The caption names the cartridge while one runs.
        const std::string tone = load_tone();
        QCOMPARE(window->windowTitle(), QString("Qel 0.1a - ") + base_name(tone).c_str());
        ChosenFile = write_temp_file("bad.nes", {'N', 'E', 'S'});
        window_proc(window, WM_COMMAND, CommandLoad, 0);
        QCOMPARE(window->windowTitle(), QString("Qel 0.1a"));

        // Alt alone leaves the keys to the game; Alt+N still opens Nes.
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        keyboard_release_all();
        QTest::keyPress(window, Qt::Key_Alt);
        QTest::keyRelease(window, Qt::Key_Alt, Qt::AltModifier);
        QTest::keyPress(QApplication::focusWidget(), Qt::Key_Right);
        QCOMPARE(KeyboardDirections, 0x80u);
        QTest::keyRelease(QApplication::focusWidget(), Qt::Key_Right);
        QTest::keyClick(window, Qt::Key_N, Qt::AltModifier);
        QWidget* popup = QApplication::activePopupWidget();
        QVERIFY(popup == menus[0]->menu());
        popup->close();
    }

    void startsHaltedAndSilent() {
        start();
        QCOMPARE(int(MachineState.Halted), 1);
        step();
        const uint8_t* buffer = sound_buffer();
        for (uint32_t i = 0; i < SoundBufferSize; ++i) QCOMPARE(int(buffer[i]), 0x80);
        QCOMPARE(SoundPlaying, 1u);
    }

    void loadChosenFileCancelAndFailure() {
        start();
        std::string tone = tone_cartridge();
        ChosenFile = tone;
        window_proc(window, WM_COMMAND, CommandLoad, 0);
        QCOMPARE(int(MachineState.Halted), 0);
        QCOMPARE(int(ncpu.rPC), 0x8000);
        step();
        QVERIFY(Square1.Enabled == 1);

        // Cancel with a file chosen before: the same file again, reset.
        ncpu.rPC = 0x8014;
        ChosenFile.clear();
        window_proc(window, WM_COMMAND, CommandLoad, 0);
        QCOMPARE(int(MachineState.Halted), 0);
        QCOMPARE(int(ncpu.rPC), 0x8000);

        QVERIFY(Boxes.empty());

        // A failed load stays halted and silent, and says why.
        ChosenFile = write_temp_file("bad.nes", {'N', 'E', 'S'});
        window_proc(window, WM_COMMAND, CommandLoad, 0);
        QCOMPARE(int(MachineState.Halted), 1);
        float envelope = Square1.EnvelopePhase;
        for (int i = 0; i < 3; ++i) step();
        QCOMPARE(Square1.EnvelopePhase, envelope);  // no mix while halted
        QCOMPARE(Boxes, std::vector<std::string>{"cannot load " + ChosenFile +
                                                 ": file is shorter than an iNES header"});
        QCOMPARE(load_cartridge_file("/nonexistent/game.nes"),
                 std::string("cannot load /nonexistent/game.nes: No such file or directory"));
        QCOMPARE(int(MachineState.Halted), 1);
    }

    void cancelWithNothingChosenStaysHaltedAndSaysNothing() {
        start();
        window_proc(window, WM_COMMAND, CommandLoad, 0);
        QCOMPARE(int(MachineState.Halted), 1);
        QVERIFY(Boxes.empty());
    }

    void menuStopsSoundAndTheNextFrameRestartsIt() {
        start();
        ChosenFile = tone_cartridge();
        window_proc(window, WM_COMMAND, CommandLoad, 0);
        step();
        QCOMPARE(SoundPlaying, 1u);
        window_proc(window, WM_INITMENU, 0, 0);
        QCOMPARE(SoundPlaying, 0u);
        step();
        QCOMPARE(SoundPlaying, 1u);
    }

    void frameStepsWaitWhileMinimisedOrInAMenu() {
        start();
        window_proc(window, WM_ACTIVATE, 1u << 16, 0);
        QCOMPARE(AppActive, 0u);
        window_proc(window, WM_ACTIVATE, 0, 0);
        QCOMPARE(AppActive, 1u);
    }

    void destructionEndsTheLoopWithZero() {
        start();
        QTimer::singleShot(50, window, [this] { window->close(); });
        Clock = PacingClock{[] { return FakeCounter += TicksPerFrame; }, fake_sleep};
        QCOMPARE(run_message_loop(window), 0);
        QVERIFY(QuitPosted);
        QVERIFY(CpuRam == nullptr);
    }

    void cpuFailureIsReportedAndEndsTheProgram() {
        start();
        std::vector<uint8_t> code(0x400, 0xEA);
        code[0] = 0x4C, code[1] = 0x00, code[2] = 0x80;
        code[0x3FF] = 0x02;
        code[0x10] = 0x4C, code[0x11] = 0xFF, code[0x12] = 0x83;  // NMI: JMP $83FF
        ChosenFile = write_temp_file("stop.nes", make_nrom(code, 0x8010));
        window_proc(window, WM_COMMAND, CommandLoad, 0);
        ncpu.trapbadops = 0;
        MachineState.NmiEnabled = 0x80;
        step();
        QCOMPARE(int(Boxes.size()), 1);
        QCOMPARE(QString(Boxes[0].c_str()), QString("Invaild code: 02"));
        QVERIFY(QuitPosted);
        QVERIFY(CpuRam == nullptr);
    }

    // Frames start on a grid of exactly one period; a late frame is made up by
    // the next ones starting at once; a stall of more than a few frames starts
    // a new grid. One clock read a frame: the wait sleeps, never spins.
    void pacingOnDeadlines() {
        const int64_t P = CounterTicksPerSecond / 60;
        TicksPerFrame = P;
        Clock = PacingClock{fake_read, fake_sleep};
        FrameDeadline = 0;
        FakeCounter = 1000000;
        Reads = 0;
        std::vector<int64_t> starts;
        int64_t origin = 0;
        const int64_t works[] = {1000, 1000, 1000, P * 5 / 2, 1000, 1000, 1000, P * 10, 1000, 1000};
        for (int64_t work : works) {
            FakeCounter += work;
            pacing_wait();
            if (origin == 0)
                origin = FakeCounter;  // the first frame does not wait
            else
                starts.push_back(FakeCounter - origin);
        }
        QCOMPARE(starts, (std::vector<int64_t>{P, 2 * P, P * 9 / 2, P * 9 / 2 + 1000, 5 * P, 6 * P,
                                               16 * P, 17 * P, 18 * P}));
        QCOMPARE(Reads, 10);
    }

    // The sound ring against simulated devices taking 512, 1024 and 2048
    // samples a call, steady, drifting or jittery: at least 99% of the blocks
    // the device plays are the frame after the previous block (every one, when
    // the clocks agree); when the frames stop, silence after one repeat.
    void soundRingKeepsFrameOrder() {
        struct Case {
            uint32_t period;
            double device_speed;  // device clock against the frame clock
            double jitter_ms;     // device calls early or late, frames late, by up to this
            double want;
        };
        const Case cases[] = {{512, 1, 0, 1},        {1024, 1, 0, 1},        {2048, 1, 0, 1},
                              {512, 1.005, 0, 0.99}, {2048, 0.995, 0, 0.99}, {512, 1, 4, 0.99},
                              {1024, 1, 4, 0.99},    {2048, 1, 4, 0.99}};
        static SoundRing ring;
        for (const Case& c : cases) {
            ring.restart(c.period);
            std::minstd_rand random(7);
            std::uniform_real_distribution<double> jitter(-c.jitter_ms, c.jitter_ms);
            std::vector<uint8_t> heard;
            const int frames = 1200;  // 20 s
            double next_frame = 0, next_call = 0;
            int frame = 0;
            uint32_t call = 0;
            // Frames stop after 20 s; the device plays on for one more second.
            while (next_call < (frames + 60) * 1000.0 / 60) {
                if (frame < frames && next_frame <= next_call) {
                    std::memset(ring.next_block(), 1 + frame % 100, SoundBlockSize);
                    ring.block_written();
                    ++frame;
                    next_frame = frame * 1000.0 / 60 + std::abs(jitter(random));
                } else {
                    heard.resize(heard.size() + c.period);
                    ring.play(heard.data() + heard.size() - c.period, c.period);
                    ++call;
                    next_call = call * c.period * 1000.0 / 44100 / c.device_speed + jitter(random);
                }
            }
            // Blocks from the first sound to the end of the frames.
            size_t at = 0;
            while (heard[at] == SoundSilence) ++at;
            const size_t end = heard.size() - 44100;
            int blocks = 0, in_order = 0, previous = -1;
            for (; at + SoundBlockSize <= end; at += SoundBlockSize) {
                const uint8_t v = heard[at];
                const bool whole = std::all_of(&heard[at], &heard[at] + SoundBlockSize,
                                               [v](uint8_t x) { return x == v; });
                ++blocks;
                if (whole && (previous < 0 || v == 1 + previous % 100)) ++in_order;
                previous = v;
            }
            const double share = double(in_order) / blocks;
            const QString label = QString("period %1 speed %2 jitter %3: %4 of %5 in order")
                                      .arg(c.period)
                                      .arg(c.device_speed)
                                      .arg(c.jitter_ms)
                                      .arg(in_order)
                                      .arg(blocks);
            QVERIFY2(share >= c.want, qPrintable(label));
            QVERIFY2(blocks > 1150, qPrintable(label));
            // After the frames stop: what was in hand (a tenth of a second at
            // most) and one repeat, then silence, not the ring again.
            const long tail = std::count_if(heard.end() - 44100, heard.end(),
                                            [](uint8_t x) { return x != SoundSilence; });
            QVERIFY2(tail <= 6 * long(SoundBlockSize), qPrintable(label));
            QVERIFY2(std::all_of(heard.end() - 22050, heard.end(),
                                 [](uint8_t x) { return x == SoundSilence; }),
                     qPrintable(label));
        }
    }

    void joystickMappingAndTurbo() {
        TurboACount = TurboBCount = 0;
        JoystickState s{};
        s.X = 250;  // a quarter of the travel: still the dead zone
        s.Y = -250;
        QCOMPARE(joypad_bits_from(s), 0u);
        s.X = 251;
        QCOMPARE(joypad_bits_from(s), 0x80u);
        s.X = 1000;
        s.Y = -1000;
        QCOMPARE(joypad_bits_from(s), 0x90u);
        s = JoystickState{};
        s.Hat = 0x20 | 0x40;  // D-pad or hat: Down and Left
        QCOMPARE(joypad_bits_from(s), 0x60u);
        s = JoystickState{};
        s.Buttons[3] = s.Buttons[4] = true;
        QCOMPARE(joypad_bits_from(s), 0x0Cu);

        s = JoystickState{};
        s.Buttons[5] = true;
        std::vector<uint32_t> frames;
        for (int f = 0; f < 8; ++f) frames.push_back(joypad_bits_from(s));
        QCOMPARE(frames, (std::vector<uint32_t>{2, 0, 0, 0, 2, 0, 0, 0}));

        s.Buttons[0] = true;  // buttons 0 and 5: B in every frame
        for (int f = 0; f < 8; ++f) QCOMPARE(joypad_bits_from(s), 2u);

        s = JoystickState{};
        QCOMPARE(joypad_bits_from(s), 0u);   // release resets the count
        s.Buttons[2] = s.Buttons[5] = true;  // both turbos in step
        frames.clear();
        for (int f = 0; f < 9; ++f) frames.push_back(joypad_bits_from(s));
        QCOMPARE(frames, (std::vector<uint32_t>{3, 0, 0, 0, 3, 0, 0, 0, 3}));
    }

    void keyboardMapping() {
        keyboard_release_all();
        QVERIFY(keyboard_key(Qt::Key_Up, 0, true));
        QVERIFY(keyboard_key(Qt::Key_Right, 0, true));
        QCOMPARE(KeyboardDirections, 0x90u);
        QVERIFY(keyboard_key(Qt::Key_Up, 0, false));
        QCOMPARE(KeyboardDirections, 0x80u);
        QVERIFY(keyboard_key(Qt::Key_Z, 0, true));
        QVERIFY(keyboard_key(Qt::Key_X, 0, true));
        QVERIFY(keyboard_key(Qt::Key_Return, 0, true));
        QVERIFY(!keyboard_key(Qt::Key_Shift, 0xFFE1, true));  // left shift is no key
        QVERIFY(keyboard_key(Qt::Key_Shift, 0xFFE2, true));   // right shift: Select
        QVERIFY(!keyboard_key(Qt::Key_Q, 0, true));
        TurboACount = TurboBCount = 0;
        MachineState.JoypadBits = 0;
        poll_joypad(nullptr);
        QCOMPARE(MachineState.JoypadBits, 0x80u | 0x02 | 0x01 | 0x08 | 0x04);
        keyboard_release_all();
        QVERIFY(keyboard_key(Qt::Key_A, 0, true));  // turbo B
        QVERIFY(keyboard_key(Qt::Key_S, 0, true));  // turbo A
        poll_joypad(nullptr);
        QCOMPARE(MachineState.JoypadBits, 0x03u);
        poll_joypad(nullptr);
        QCOMPARE(MachineState.JoypadBits, 0x00u);
        keyboard_release_all();
        poll_joypad(nullptr);
        QCOMPARE(MachineState.JoypadBits, 0u);
    }

    // Nes: Reset restarts from the vector; Pause (P, Esc, the menu) stops the
    // frames and the sound and marks the picture; with no cartridge, Reset
    // only says so.
    void resetAndPause() {
        start();
        press(Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(VideoNote, std::string("No cartridge runs"));
        load_tone();
        step();
        ncpu.rPC = 0x8014;
        press(Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(int(ncpu.rPC), 0x8000);
        QCOMPARE(VideoNote, std::string("Reset"));

        step();
        QCOMPARE(SoundPlaying, 1u);
        const uint64_t frames = MachineFrames;
        for (int key : {int(Qt::Key_P), int(Qt::Key_Escape)}) {
            press(key);
            QCOMPARE(Paused, 1u);
            QCOMPARE(SoundPlaying, 0u);
            QCOMPARE(VideoMark, std::string("Paused"));
            QVERIFY(!frames_wanted());
            press(key);
            QCOMPARE(Paused, 0u);
            QCOMPARE(VideoMark, std::string());
        }
        find_action(window, "Pause")->trigger();
        QCOMPARE(Paused, 1u);
        // The loop runs no frame while paused, until the window closes.
        QTimer::singleShot(20, window, [this] { window->close(); });
        QCOMPARE(run_message_loop(window), 0);
        QCOMPARE(MachineFrames, frames);
    }

    // Pause when inactive (on by default): frames stop once the window, having
    // been active, loses the keyboard; off, they go on.
    void pauseWhenInactive() {
        start();
        window_proc(window, WM_ACTIVATE, 1, 0);
        QVERIFY(frames_wanted());
        window_proc(window, WM_ACTIVATE, 0, 0);
        QVERIFY(!frames_wanted());
        QCOMPARE(VideoMark, std::string("Paused"));
        find_action(window, "Pause when inactive")->trigger();
        QVERIFY(frames_wanted());
        QCOMPARE(VideoMark, std::string());
        window_proc(window, WM_ACTIVATE, 1, 0);
    }

    // States: F5 writes the current slot's file, F7 reads it back; slots by
    // number key; an empty slot, a damaged file and no cartridge are said
    // and change nothing.
    void statesThroughTheKeys() {
        start();
        press(Qt::Key_F5);
        QCOMPARE(VideoNote, std::string("No cartridge runs: no state to save"));
        press(Qt::Key_F7);
        QCOMPARE(VideoNote, std::string("No cartridge runs: no state to load"));
        const std::string tone = load_tone();
        for (int i = 0; i < 3; ++i) step();
        const std::string slot1 = data_folder() + "/states/" + base_name(tone) + ".slot1.state";
        QCOMPARE(state_file(1), slot1);
        QFile::remove(slot1.c_str());
        const ConsoleHashes before = console_hashes();
        press(Qt::Key_F5);
        wait_for_writes();
        QCOMPARE(VideoNote, std::string("Slot 1 saved"));
        QCOMPARE(QFileInfo(slot1.c_str()).size(), qint64(console_state_size()));
        for (int i = 0; i < 3; ++i) step();
        console_system_ram()[0x10] ^= 0xFF;
        press(Qt::Key_F7);
        QCOMPARE(VideoNote, std::string("Slot 1 loaded"));
        QCOMPARE(console_hashes().Memory, before.Memory);
        QCOMPARE(console_hashes().Registers, before.Registers);

        press(Qt::Key_2);
        QCOMPARE(StateSlot, 2);
        QFile::remove(state_file(2).c_str());
        press(Qt::Key_F7);
        QCOMPARE(VideoNote, std::string("Slot 2 is empty"));
        QFile damaged(state_file(2).c_str());
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("QELSTATE but not really");
        damaged.close();
        const ConsoleHashes running = console_hashes();
        find_action(window, "Load state")->trigger();
        QVERIFY2(VideoNote.rfind("Slot 2 not loaded: ", 0) == 0, VideoNote.c_str());
        QCOMPARE(console_hashes().Memory, running.Memory);
        QVERIFY(console_running());
        find_action(window, "Slot 1")->trigger();
        QCOMPARE(StateSlot, 1);
    }

    // Screenshot (F12): the 256x240 picture as a PNG named after the
    // cartridge and the time, in $XDG_PICTURES_DIR/qel; the path is shown.
    void screenshot() {
        start();
        press(Qt::Key_F12);
        QCOMPARE(VideoNote, std::string("No cartridge runs: no screenshot"));
        const std::string tone = load_tone();
        for (int i = 0; i < 2; ++i) step();
        QDir(QString::fromStdString(screenshot_folder())).removeRecursively();
        press(Qt::Key_F12);
        find_action(window, "Screenshot")->trigger();  // the same second: a second name
        wait_for_writes();
        const QStringList shots = QDir(QString::fromStdString(screenshot_folder()))
                                      .entryList({"*.png"}, QDir::Files, QDir::Name);
        QCOMPARE(shots.size(), 2);
        const QString pattern =
            QString::fromStdString(base_name(tone)) + "-\\d{4}-\\d\\d-\\d\\d-\\d{6}(-2)?\\.png";
        for (const QString& shot : shots)
            QVERIFY2(QRegularExpression("^" + pattern + "$").match(shot).hasMatch(),
                     qPrintable(shot));
        QCOMPARE(VideoNote, "Screenshot " + screenshot_folder() + "/" + shots[0].toStdString());
        QVERIFY(shots[0].endsWith("-2.png"));  // the second, in the same second
        const QImage image(QString::fromStdString(screenshot_folder()) + "/" + shots[0]);
        QCOMPARE(image.size(), QSize(256, 240));
        QCOMPARE(image.pixel(100, 100) & 0xFFFFFF,
                 console_picture()[100 * console_picture_pitch() + 100] & 0xFFFFFF);
    }

    // Recent cartridges: newest first, each once, at most eight; an entry
    // loads; a file that is gone says so and leaves the list. A dropped file
    // loads too.
    void recentListAndDrop() {
        start();
        std::vector<std::string> files;
        for (int i = 0; i < 9; ++i) {
            std::vector<uint8_t> code = {0x4C, 0x00, 0x80, uint8_t(i)};
            files.push_back(write_temp_file("game" + std::to_string(i) + ".nes", make_nrom(code)));
            open_cartridge(window, files.back());
        }
        open_cartridge(window, files[3]);
        QCOMPARE(RecentCartridges,
                 (std::vector<std::string>{files[3], files[8], files[7], files[6], files[5],
                                           files[4], files[2], files[1]}));
        QMenu* recent = find_action(window, "Recent cartridges")->menu();
        emit window->menuBar()->actions()[0]->menu()->aboutToShow();
        QCOMPARE(recent->actions().size(), 8);
        QCOMPARE(recent->actions()[1]->text(),
                 QString("&2 ") + QFileInfo(files[8].c_str()).fileName());
        recent->actions()[2]->trigger();
        QCOMPARE(std::string(console_cartridge_file()), files[7]);
        QCOMPARE(RecentCartridges.front(), files[7]);

        QFile::remove(files[5].c_str());
        const ConsoleHashes running = console_hashes();
        window_proc(window, WM_COMMAND, CommandRecent + 4, 0);  // files[5]
        QCOMPARE(Boxes, std::vector<std::string>{"cannot load " + files[5] +
                                                 ": the file is gone; it leaves the recent list"});
        QCOMPARE(RecentCartridges.size(), size_t(7));
        QVERIFY(std::find(RecentCartridges.begin(), RecentCartridges.end(), files[5]) ==
                RecentCartridges.end());
        QCOMPARE(console_hashes().Memory, running.Memory);  // the game runs on

        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(files[0].c_str())});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(window, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &drop);
        QCOMPARE(std::string(console_cartridge_file()), files[0]);
        QCOMPARE(window->windowTitle(), QString("Qel 0.1a - ") + base_name(files[0]).c_str());
    }

    // Settings: written at the end and read back the same; a damaged file
    // gives the defaults and says so once.
    void settingsRoundTripAndDamage() {
        const std::string path = settings_path();
        AppSettings s = default_settings();
        s.Width = 600, s.Height = 500, s.LastFolder = "/tmp/games",
        s.Recent = {"/a.nes", "/b, c.nes"};
        s.Keys[PadA] = Qt::Key_Q, s.Keys[PadB] = Qt::Key_Shift, s.ControllerButtons[0] = 9;
        s.JoystickButtons[5] = 11, s.Volume = 50, s.Muted = true, s.KeepProportions = false;
        s.PauseWhenInactive = false, s.Slot = 3;
        QCOMPARE(write_settings(path, s), std::string());
        AppSettings back;
        QCOMPARE(read_settings(path, back), std::string());
        QVERIFY(back == s);

        const std::string damaged = "the settings in " + path + " are damaged (";
        const struct {
            const char* text;
            std::string why;
        } cases[] = {
            {"[window\nwidth=300\n", "not a settings file"},
            {"\x01\xff\xfegarbage[[\n", "not a settings file"},
            {"[sound]\nvolume=50\nloudness=11\n", "unknown entries"},
            {"[sound]\nvolume=loud\n", "sound/volume"},
            {"[sound]\nvolume=101\n", "sound/volume"},
            {"[window]\nwidth=-5\n", "window/width"},
            {"[options]\nkeep_proportions=maybe\n", "options/keep_proportions"},
            {"[keys]\na=Z\n", "keys"},   // B has Z already
            {"[keys]\na=F5\n", "keys"},  // a command's key
            {"[keys]\na=Ctrl+Q\n", "keys"},
            {"[joystick]\nstart=x\n", "joystick"},
        };
        for (const auto& c : cases) {
            QFile file(path.c_str());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(c.text, qint64(std::strlen(c.text)));
            file.close();
            AppSettings read;
            const std::string why = read_settings(path, read);
            QVERIFY2(why == damaged + c.why + "); the defaults are used", c.text);
            QVERIFY(read == default_settings());
        }
        // Through the app: said once at the start, and the file mended at the end.
        start(false);
        QCOMPARE(VideoNote, damaged + "joystick); the defaults are used");
        QCOMPARE(client(window), QSize(256, 240));
        window_proc(window, WM_COMMAND, CommandSizeX2, 0);
        window_proc(window, WM_COMMAND, CommandVolume + 3, 0);
        window->close();
        QCOMPARE(read_settings(path, back), std::string());
        QCOMPARE(QSize(back.Width, back.Height), QSize(512, 480));
        QCOMPARE(back.Volume, 75);
    }

    // Sizes: fullscreen (F11, Alt+Enter) shows the picture at a whole
    // multiple with black bars and no menu; Esc leaves it for the old size;
    // Keep proportions off stretches. The rule at several sizes.
    void fullscreenAndProportions() {
        using F = PictureFit;
        const struct {
            int w, h;
            F fit;
            PictureRect want;
        } cases[] = {
            {256, 240, F::Whole, {0, 0, 256, 240}},
            {1024, 768, F::Whole, {128, 24, 768, 720}},
            {1920, 1080, F::Whole, {448, 60, 1024, 960}},
            {800, 600, F::Whole, {144, 60, 512, 480}},
            {200, 150, F::Whole, {20, 0, 160, 150}},
            {400, 300, F::Proportional, {40, 0, 320, 300}},
            {512, 600, F::Proportional, {0, 60, 512, 480}},
            {400, 300, F::Stretch, {0, 0, 400, 300}},
        };
        for (const auto& c : cases) QCOMPARE(picture_rect(c.w, c.h, c.fit), c.want);

        start();
        window_proc(window, WM_COMMAND, CommandSizeX2, 0);
        QVERIFY(VideoFit == F::Proportional);
        for (auto key : {std::pair{int(Qt::Key_F11), Qt::NoModifier},
                         std::pair{int(Qt::Key_Return), Qt::AltModifier}}) {
            press(key.first, key.second);
            QVERIFY(window->isFullScreen());
            QVERIFY(!window->menuBar()->isVisible());
            QVERIFY(VideoFit == F::Whole);
            press(Qt::Key_Escape);
            QVERIFY(!window->isFullScreen());
            QCOMPARE(Paused, 0u);  // Esc left fullscreen, it did not pause
            QVERIFY(window->menuBar()->isVisible());
            QCOMPARE(client(window), QSize(512, 480));
            QVERIFY(VideoFit == F::Proportional);
        }
        find_action(window, "Keep proportions")->trigger();
        QVERIFY(VideoFit == F::Stretch);
    }

    // Options: the volume scales the samples about the centre line; Mute (M)
    // silences them.
    void volumeAndMute() {
        uint8_t in[SoundBlockSize], out[SoundBlockSize];
        for (uint32_t i = 0; i < SoundBlockSize; ++i) in[i] = uint8_t(i);
        const struct {
            int volume;
            bool muted;
            uint8_t at0, at100, at128, at255;
        } cases[] = {{100, false, 0, 100, 128, 255},
                     {50, false, 64, 114, 128, 191},
                     {25, false, 96, 121, 128, 159},
                     {0, false, 128, 128, 128, 128},
                     {100, true, 128, 128, 128, 128}};
        for (const auto& c : cases) {
            scale_block(in, out, c.volume, c.muted);
            QCOMPARE((std::vector<int>{out[0], out[100], out[128], out[255]}),
                     (std::vector<int>{c.at0, c.at100, c.at128, c.at255}));
        }
        start();
        find_action(window, "50%")->trigger();
        QCOMPARE(SoundVolume, 50);
        QCOMPARE(VideoNote, std::string("Volume 50%"));
        press(Qt::Key_M);
        QVERIFY(SoundMuted);
        QCOMPARE(VideoNote, std::string("Sound off"));
        press(Qt::Key_M);
        QVERIFY(!SoundMuted);
    }

    // Tab held: eight machine frames a period while time allows, heard as
    // silence; Backspace held steps back instead.
    void fastForward() {
        start();
        load_tone();
        step();
        uint64_t frames = MachineFrames;
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyPress(window, Qt::Key_Tab);
        QCOMPARE(FastForwardHeld, 1u);
        step();
        QCOMPARE(MachineFrames - frames, uint64_t(FastForwardFrames));
        QVERIFY(SoundSilenced);
        QTest::keyRelease(window, Qt::Key_Tab);
        QCOMPARE(FastForwardHeld, 0u);
        frames = MachineFrames;
        step();
        QCOMPARE(MachineFrames - frames, uint64_t(1));
        QVERIFY(!SoundSilenced);
    }

    // Input...: a key assigned in the dialog reaches the pad; a command's key
    // is refused; Defaults brings back the README's keys.
    void inputDialogRemapsKeys() {
        start();
        QString hint;
        QTimer::singleShot(0, [&hint] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            auto* a = dialog->findChild<QPushButton*>("key_a");
            QCOMPARE(a->text(), QString("X"));
            a->click();
            QTest::keyClick(a, Qt::Key_F5);
            hint = dialog->findChild<QLabel*>("hint")->text();
            QTest::keyClick(a, Qt::Key_Q);
            QCOMPARE(a->text(), QString("Q"));
            dialog->findChild<QPushButton*>("key_b")->click();
            QTest::keyClick(dialog, Qt::Key_Q);  // taken from A: the two change places
            QCOMPARE(a->text(), QString("Z"));
            dialog->accept();
        });
        window_proc(window, WM_COMMAND, CommandInput, 0);
        QCOMPARE(hint, QString("F5 is kept for a command."));
        QCOMPARE(KeyFor[PadA], int(Qt::Key_Z));
        QCOMPARE(KeyFor[PadB], int(Qt::Key_Q));
        QTest::keyPress(window, Qt::Key_Q);
        poll_joypad(window);
        QCOMPARE(MachineState.JoypadBits, 0x02u);
        QTest::keyRelease(window, Qt::Key_Q);
        AppSettings saved;
        QCOMPARE(read_settings(settings_path(), saved), std::string());
        QCOMPARE(saved.Keys[PadB], int(Qt::Key_Q));

        QTimer::singleShot(0, [] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            for (QPushButton* b : dialog->findChildren<QPushButton*>())
                if (b->text() == "Defaults") b->click();
            dialog->accept();
        });
        find_action(window, "Input...")->trigger();
        QVERIFY(KeyFor == default_settings().Keys);
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("SDL_AUDIODRIVER", "dummy");
    // Settings, states and screenshots in a folder of the test's own.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("XDG_PICTURES_DIR", (home.path() + "/pictures").toUtf8());
    QApplication::setApplicationName("qel");
    QApplication app(argc, argv);
    ShellTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "shell_test.moc"
