// The desktop app on the offscreen platform with the dummy sound driver: the
// window and menu, Load, the frame step's order, pacing, the sound ring and
// the joypad mapping.
#include "shell/shell.h"

#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
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

    void start() {
        reset_machine_globals();
        QuitPosted = false;
        QuitCode = -1;
        MenuOpen = 0;
        AppActive = 0;
        Boxes.clear();
        show_failure_box = record_box;
        choose_cartridge_file = fake_dialog;
        ChosenFile.clear();
        QVERIFY(init_application(&window) == 0);
        console_power_up();
        TimerFrequency = CounterTicksPerSecond;
        TicksPerFrame = TimerFrequency / 60;
        FrameDeadline = 0;
        FakeCounter = 1000000;
        Clock = PacingClock{fake_read, fake_sleep};
    }
    void step() { frame_step(window); }

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
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus[0]->text(), QString("&Nes"));  // shown as Nes, opened by Alt+N
        QCOMPARE(menus[1]->text(), QString("&Size"));
        QCOMPARE(menus[0]->menu()->actions()[0]->text(), QString("Load"));
        QCOMPARE(menus[1]->menu()->actions()[0]->text(), QString("x1"));
        QCOMPARE(menus[1]->menu()->actions()[1]->text(), QString("x2"));
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
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("SDL_AUDIODRIVER", "dummy");
    QApplication::setApplicationName("qel");
    QApplication app(argc, argv);
    ShellTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "shell_test.moc"
