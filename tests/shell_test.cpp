// The desktop app on the offscreen platform with the dummy sound driver:
// commands and keys through the window's own dispatch, pacing, sound, pads.
#include "shell/shell.h"

#include <SDL.h>
#include <unistd.h>

#include <QtTest/QtTest>
#include <QtWidgets>
#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "apu/apu.h"
#include "core/bus.h"
#include "core/console.h"
#include "core/machine.h"
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
int64_t fake_read() { return ++Reads, FakeCounter; }
void fake_sleep(int64_t deadline) { FakeCounter = std::max(FakeCounter, deadline); }

QSize client(QMainWindow* w) { return w->centralWidget()->size(); }

QAction* find_action(QMainWindow* w, const QString& text) {
    for (QAction* a : w->findChildren<QAction*>())
        if (a->text() == text) return a;
    return nullptr;
}

// A menu's items in order, a submenu's in brackets, "-" a separator.
QString menu_text(const QMenu* menu) {
    QStringList items;
    for (const QAction* a : menu->actions())
        items << (a->isSeparator() ? QString("-")
                  : a->menu()      ? a->text() + " [" + menu_text(a->menu()) + "]"
                                   : a->text());
    return items.join(", ");
}

bool silent(const SoundSample* p, size_t n) {
    return std::all_of(p, p + n, [](SoundSample x) { return x == SoundSilence; });
}

}  // namespace

class ShellTest : public QObject {
    Q_OBJECT

private:
    QMainWindow* window = nullptr;

    void start(bool fresh_settings = true) {
        reset_machine_globals();
        App.QuitPosted = false, App.QuitCode = -1;
        App.MenuOpen = App.Active = App.Paused = App.WindowInactive = App.FastForwardHeld =
            App.RewindHeld = false;
        Boxes.clear(), ChosenFile.clear();
        show_failure_box = record_box, choose_cartridge_file = fake_dialog;
        if (fresh_settings) QFile::remove(QString::fromStdString(settings_path()));
        keyboard_release_all();
        QVERIFY(init_application(&window) == 0);
        console_power_up();
        start_settings(window);
        App.FrameDeadline = 0, FakeCounter = 1000000, Clock = PacingClock{fake_read, fake_sleep};
    }
    void step(int frames = 1) {
        for (int i = 0; i < frames; ++i) frame_step(window);
    }
    void command(Command id) { run_command(window, id); }
    // A key pressed and let go in the active window: shortcuts and game keys.
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, Qt::Key(key), modifiers);
    }
    void expect_note(int key, Qt::KeyboardModifiers modifiers, const char* note) {
        press(key, modifiers);
        QCOMPARE(QString::fromStdString(App.VideoNote), QString(note));
    }
    // A cartridge whose channel 1 plays a tone: $4015 = 1, $4000 = $BF, period $0FD; JMP $8014.
    std::string load_tone() {
        ChosenFile = write_temp_file(
            "tone.nes",
            make_nrom({0xA9, 0x01, 0x8D, 0x15, 0x40, 0xA9, 0xBF, 0x8D, 0x00, 0x40, 0xA9, 0xFD,
                       0x8D, 0x02, 0x40, 0xA9, 0x08, 0x8D, 0x03, 0x40, 0x4C, 0x14, 0x80}));
        command(Command::Load);
        return ChosenFile;
    }

private slots:
    void cleanup() {
        if (!window) return;
        if (!App.QuitPosted) window->close();
        delete window;
        window = nullptr;
    }

    // The menus in order; the first start at the largest size that fits (800x800: x3).
    void menusKeysAndSizes() {
        start();
        QCOMPARE(window->windowTitle(), QString("Qel " QEL_VERSION));
        QList<QAction*> menus = window->menuBar()->actions();
        QStringList shown;
        for (QAction* menu : menus) shown << menu->text() + " [" + menu_text(menu->menu()) + "]";
        QCOMPARE(shown,
                 QStringList({"&Nes [Load, Recent cartridges [(none)], -, Reset, Hard reset, "
                              "Pause, Frame advance, -, Save state, Load state, State slot "
                              "[Slot 1, Slot 2, Slot 3, Slot 4], -, Screenshot, -, Quit]",
                              "&Size [x1, x2, x3, x4, -, Fullscreen, Keep proportions]",
                              "&Options [Volume [100%, 75%, 50%, 25%, -, Mute], Input..., "
                              "Pause when inactive, Hide the top and bottom 8 lines]"}));
        QCOMPARE(client(window), QSize(768, 720));
        QCOMPARE(App.VideoHint, std::string("Nes > Load, or drop a .nes file"));
        emit window->menuBar()->actions()[1]->menu()->aboutToShow();
        QVERIFY(find_action(window, "x3")->isChecked() && !find_action(window, "x2")->isChecked());
        const QPoint place = window->pos();
        for (auto [id, size] :
             {std::pair{Command::SizeX1, QSize(256, 240)}, {Command::SizeX4, QSize(1024, 960)}}) {
            window->resize(400, 300);
            command(id);
            QCOMPARE(client(window), size);
            QCOMPARE(window->pos(), place);
        }
        press(Qt::Key_Alt);  // Alt alone leaves the keys to the game
        QTest::keyPress(QApplication::focusWidget(), Qt::Key_Right);
        QCOMPARE(App.KeyboardDirections[0], 0x80u);
        QTest::keyRelease(QApplication::focusWidget(), Qt::Key_Right);
    }

    // Halted and silent until a cartridge runs; Cancel and refused files (chosen or dropped)
    // leave the running game counting its frames; a refusal says why.
    void loadCancelAndRefusal() {
        start();
        step();
        QVERIFY(silent(sound_buffer(), SoundBufferSize));
        command(Command::Load);  // Cancel, nothing running
        QCOMPARE(int(MachineState.Halted), 1);

        // Counts its frames at $10: LDA #$80, STA $2000, JMP $8005; NMI: INC $10, RTI.
        const std::string counter = write_temp_file(
            "count.nes",
            make_nrom({0xA9, 0x80, 0x8D, 0x00, 0x20, 0x4C, 0x05, 0x80, 0xE6, 0x10, 0x40}, 0x8008));
        ChosenFile = counter;
        press(Qt::Key_O, Qt::ControlModifier);
        const QString caption =
            QString::fromStdString("Qel " QEL_VERSION " - " + base_name(counter));
        QCOMPARE(window->windowTitle(), caption);
        auto counts_on = [&] {
            const uint8_t before = console_system_ram()[0x10];
            step(5);
            return console_system_ram()[0x10] == uint8_t(before + 5) &&
                   window->windowTitle() == caption && console_cartridge_file() == counter;
        };
        step(10);
        QVERIFY(console_system_ram()[0x10] >= 9);
        ChosenFile.clear();
        command(Command::Load);  // Cancel
        QVERIFY(counts_on());

        const std::string refused = write_temp_file("mapper.nes", make_ines(1, 1, 0xF2, 0xF0));
        ChosenFile = refused;
        command(Command::Load);
        QVERIFY(counts_on());
        open_cartridge(window, refused);  // as a dropped file
        QVERIFY(counts_on());
        const std::string why = "cannot load " + refused + ": mapper 255 is not supported";
        QCOMPARE(Boxes, std::vector<std::string>({why, why}));
    }

    // A battery save reaches its file while the game runs, before another starts and on
    // SIGTERM; one that cannot be written is said once (no box), tried again, said when written.
    void batterySaves() {
        start();
        quit_on_signals(window);
        std::vector<uint8_t> image = make_nrom({0xEE, 0x00, 0x60, 0x4C, 0x00, 0x80});  // INC $6000
        image[6] |= 0x02;
        const std::string b = write_temp_file("game.b.nes", image);
        const std::string c = write_temp_file("game.c.nes", image);
        const std::string prefix = save_folder() + "/qel-" + std::to_string(getpid()) + "-game.";
        ChosenFile = b;
        command(Command::Load);
        step(BatteryCheckFrames);
        const std::vector<uint8_t> saved_b = read_file(prefix + "b.sav");
        QCOMPARE(saved_b.size(), size_t(8192));
        QVERIFY(saved_b[0] != 0);
        step(10);
        ChosenFile = c;
        command(Command::Load);
        QVERIFY(read_file(prefix + "b.sav") != saved_b);
        QCOMPARE(int(console_save_ram()[0]), 0);
        console_save_ram()[1] = 0x5A;
        ::raise(SIGTERM);
        QTRY_VERIFY(App.QuitPosted);
        QCOMPARE(int(read_file(prefix + "c.sav").at(1)), 0x5A);
        delete window;
        window = nullptr;
        const QByteArray data_home = qgetenv("XDG_DATA_HOME");
        const std::string blocked = data_home.toStdString() + "/blocked";
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString(blocked));
        std::filesystem::create_directories(blocked + "/qel");
        std::ofstream(blocked + "/qel/saves") << "a file";  // no folder can be made there
        start();
        ChosenFile = b;
        command(Command::Load);
        step(BatteryCheckFrames);
        QVERIFY(App.VideoNote.starts_with("Battery save not written: cannot write "));
        App.VideoNote.clear();
        step(BatteryCheckFrames);
        QCOMPARE(App.VideoNote, std::string());
        std::filesystem::remove(blocked + "/qel/saves");
        step(BatteryCheckFrames);
        QCOMPARE(App.VideoNote, std::string("Battery save written"));
        QVERIFY(Boxes.empty());
        qputenv("XDG_DATA_HOME", data_home);
    }

    // Frames on a grid of one period; a late one made up at once, a long stall a new grid.
    // One clock read a frame: the wait sleeps, never spins.
    void pacingOnDeadlines() {
        const int64_t P = CounterTicksPerSecond / 60;
        App.TicksPerFrame = P, Clock = PacingClock{fake_read, fake_sleep};
        App.FrameDeadline = 0, FakeCounter = 1000000, Reads = 0;
        std::vector<int64_t> starts;
        for (int64_t work :
             {1000L, 1000L, 1000L, P * 5 / 2, 1000L, 1000L, 1000L, P * 10, 1000L, 1000L}) {
            FakeCounter += work;
            pacing_wait();
            starts.push_back(FakeCounter);
        }
        const int64_t origin = starts[0];  // the first frame does not wait
        for (int64_t& t : starts) t -= origin;
        QCOMPARE(starts, (std::vector<int64_t>{0, P, 2 * P, P * 9 / 2, P * 9 / 2 + 1000, 5 * P,
                                               6 * P, 16 * P, 17 * P, 18 * P}));
        QCOMPARE(Reads, 10);
    }
    // Simulated devices, steady, drifting or jittery: the blocks played follow the frames
    // (99%, or all when the clocks agree); silence once the frames stop.
    void soundRingKeepsFrameOrder() {
        // {device period, its clock against the frames', jitter in ms, share in order}
        const std::tuple<uint32_t, double, double, double> cases[] = {
            {512, 1, 0, 1},         {1024, 1, 0, 1},   {2048, 1, 0, 1},    {512, 1.005, 0, 0.99},
            {2048, 0.995, 0, 0.99}, {512, 1, 4, 0.99}, {1024, 1, 4, 0.99}, {2048, 1, 4, 0.99}};
        static SoundRing ring;
        for (auto [period, speed, jitter_ms, want] : cases) {
            ring.restart(period);
            std::minstd_rand random(7);
            std::uniform_real_distribution<double> jitter(-jitter_ms, jitter_ms);
            std::vector<SoundSample> heard;
            const int frames = 1200;  // then the device plays one more second
            double next_frame = 0, next_call = 0;
            for (int frame = 0, call = 0; next_call < (frames + 60) * 1000.0 / 60;) {
                if (frame < frames && next_frame <= next_call) {
                    std::fill_n(ring.next_block(), SoundBlockSize, SoundSample(1 + frame % 100));
                    ring.block_written();
                    next_frame = ++frame * 1000.0 / 60 + std::abs(jitter(random));
                } else {
                    heard.resize(heard.size() + period);
                    ring.play(heard.data() + heard.size() - period, period);
                    next_call = ++call * period * 1000.0 / 44100 / speed + jitter(random);
                }
            }
            size_t at = 0;
            while (heard[at] == SoundSilence) ++at;
            int blocks = 0, in_order = 0, previous = -1;
            for (; at + SoundBlockSize <= heard.size() - 44100; at += SoundBlockSize, ++blocks) {
                const SoundSample v = heard[at];
                in_order +=
                    std::count(&heard[at], &heard[at] + SoundBlockSize, v) == SoundBlockSize &&
                    (previous < 0 || v == 1 + previous % 100);
                previous = v;
            }
            const QByteArray label = QString::asprintf("period %u speed %g jitter %g: %d of %d",
                                                       period, speed, jitter_ms, in_order, blocks)
                                         .toUtf8();
            QVERIFY2(in_order >= want * blocks && blocks > 1150 &&
                         silent(&*(heard.end() - 22050), 22050),
                     label.data());
        }
    }

    // Keys reach the pads (right Shift: Select; J, G: player 2); turbos press one poll in four.
    void keyboardToPad() {
        App.TurboACount[0] = App.TurboBCount[0] = 0;
        keyboard_release_all();
        for (int key :
             {Qt::Key_Up, Qt::Key_Right, Qt::Key_Z, Qt::Key_X, Qt::Key_Enter, Qt::Key_J, Qt::Key_G})
            QVERIFY(keyboard_key(key, 0, true));
        QVERIFY(keyboard_key(Qt::Key_Shift, 0xFFE2, true));  // right Shift: Select
        QVERIFY(keyboard_key(Qt::Key_Up, 0, false));
        poll_joypad(nullptr);
        QCOMPARE(MachineState.JoypadBits,
                 ConsolePadRight | ConsolePadB | ConsolePadA | ConsolePadStart | ConsolePadSelect);
        QCOMPARE(MachineState.Joypad2Bits, ConsolePadLeft | ConsolePadA);
        keyboard_release_all();
        QVERIFY(keyboard_key(Qt::Key_A, 0, true) && keyboard_key(Qt::Key_S, 0, true));  // turbos
        int presses = 0;
        for (int frame = 0; frame < 60; ++frame) {
            poll_joypad(nullptr);
            presses += MachineState.JoypadBits == (ConsolePadA | ConsolePadB);
        }
        QCOMPARE(presses, 15);  // a second's worth
    }

    // The device never reads the block being written; run dry, it repeats its last block.
    void soundRingGuards() {
        static SoundRing ring;
        SoundSample out[SoundBlockSize];
        auto write_block = [](SoundSample value) {
            std::fill_n(ring.next_block(), SoundBlockSize, value);
            ring.block_written();
        };
        ring.restart(SoundBlockSize);
        write_block(1), write_block(2);
        ring.play(out, 100);
        QCOMPARE(int(out[99]), 1);
        for (SoundSample v = 3; v <= 16; ++v) write_block(v);
        std::fill_n(ring.next_block(), SoundBlockSize, 0xEE);  // being written
        ring.play(out, SoundBlockSize);
        QVERIFY(std::count(out, out + SoundBlockSize, 0xEE) == 0);

        ring.restart(SoundBlockSize);
        write_block(1), write_block(2);
        ring.play(out, SoundBlockSize);
        ring.play(out, SoundBlockSize);
        QCOMPARE(int(out[0]), 2);
        ring.play(out, SoundBlockSize);  // nothing new: the last block again
        QCOMPARE(int(std::count(out, out + SoundBlockSize, 2)), int(SoundBlockSize));
    }

    // A frame's samples go to the block its counter names; after a menu the ring starts
    // afresh. Reset, hard reset, frame advance; Pause (P, Esc, menu, losing the keyboard)
    // stops frames and sound and marks the picture; Quit ends the loop with 0.
    void soundResetPauseAndQuit() {
        start();
        load_tone();
        step(5);
        const SoundSample* ring = sound_buffer();
        QVERIFY(
            std::equal(ring + 4 * SoundBlockSize, ring + 5 * SoundBlockSize, console_samples16()));
        QMenu* nes = window->menuBar()->actions()[0]->menu();
        emit nes->aboutToShow();
        QVERIFY(!App.SoundPlaying);
        emit nes->aboutToHide();
        step();
        QVERIFY(App.SoundPlaying);
        QVERIFY(std::equal(ring, ring + SoundBlockSize, console_samples16()));
        QVERIFY(silent(ring + SoundBlockSize, SoundBufferSize - SoundBlockSize));
        ncpu.rPC = 0x8014;
        expect_note(Qt::Key_R, Qt::ControlModifier, "Reset");
        QCOMPARE(int(ncpu.rPC), 0x8000);
        step();
        ncpu.rPC = 0x8014, console_system_ram()[0x10] = 0x55;
        expect_note(Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier, "Hard reset");
        QCOMPARE(int(ncpu.rPC) + console_system_ram()[0x10], 0x8000);
        press(Qt::Key_Period);
        const uint64_t advanced = App.MachineFrames;
        press(Qt::Key_Period);
        QCOMPARE(App.MachineFrames, advanced + 1);
        QVERIFY(App.Paused);
        press(Qt::Key_P);
        step();
        const uint64_t frames = App.MachineFrames;
        for (int key : {int(Qt::Key_P), int(Qt::Key_Escape), 0}) {
            QVERIFY(App.SoundPlaying);
            key ? press(key) : find_action(window, "Pause")->trigger();
            QVERIFY(App.Paused);
            QVERIFY(!App.SoundPlaying);
            QCOMPARE(App.VideoMark, std::string("Paused"));
            QVERIFY(!frames_wanted());
            key ? press(key) : find_action(window, "Pause")->trigger();
            QVERIFY(frames_wanted());
            step();
        }
        for (auto [active, minimised, wanted] :
             {std::tuple{false, true, false}, {true, false, true}, {false, false, false}}) {
            window_activated(active, minimised);
            QCOMPARE(frames_wanted(), wanted);
        }
        QCOMPARE(App.VideoMark, std::string("Paused"));
        find_action(window, "Pause when inactive")->trigger();
        QVERIFY(frames_wanted());
        press(Qt::Key_P);
        QTimer::singleShot(20, window,
                           [this] { QTest::keyClick(window, Qt::Key_Q, Qt::ControlModifier); });
        const uint64_t paused_at = App.MachineFrames;
        QCOMPARE(run_message_loop(window), 0);
        QVERIFY(App.QuitPosted);
        QCOMPARE(App.MachineFrames, paused_at);
        QVERIFY(App.MachineFrames > frames);
    }

    // F5/F7 save and load the slot's state, a damaged one changes nothing; F12 writes the
    // whole 256x240 picture though the window hides 8 lines at each edge; recent files.
    void statesScreenshotsAndRecent() {
        start();
        const std::string tone = load_tone();
        step(3);
        const std::string slot1 = data_folder() + "/states/" + base_name(tone) + ".slot1.state";
        QFile::remove(slot1.c_str());
        const ConsoleHashes before = console_hashes();
        press(Qt::Key_F5);
        wait_for_writes();
        QCOMPARE(App.VideoNote, std::string("Slot 1 saved"));
        QCOMPARE(QFileInfo(slot1.c_str()).size(), qint64(console_state_size()));
        step(3);
        console_system_ram()[0x10] ^= 0xFF;
        expect_note(Qt::Key_F7, Qt::NoModifier, "Slot 1 loaded");
        QCOMPARE(console_hashes().Memory, before.Memory);

        press(Qt::Key_2);
        QCOMPARE(App.StateSlot, 2);
        std::ofstream(state_file(2)) << "QELSTATE but not really";
        ConsoleHashes running = console_hashes();
        find_action(window, "Load state")->trigger();
        QVERIFY2(App.VideoNote.rfind("Slot 2 not loaded: ", 0) == 0, App.VideoNote.c_str());
        QCOMPARE(console_hashes().Memory, running.Memory);

        for (auto [value, address] :
             {std::pair{0x3F, 0x2006}, {0x00, 0x2006}, {0x21, 0x2007}, {0x08, 0x2001}})
            bus_write(value, address);  // a light blue backdrop
        step();
        find_action(window, "Hide the top and bottom 8 lines")->trigger();
        present_frame(window);
        const QImage shown = screen_widget()->grab().toImage();
        const PictureRect r = picture_rect(shown.width(), shown.height(), App.VideoFit);
        const int band = r.Height * 8 / 240;
        const QRgb backdrop = console_picture()[128] | 0xFF000000u;
        QVERIFY(backdrop != qRgb(0, 0, 0));
        const int x = r.X + r.Width / 2;
        QCOMPARE(std::vector<QRgb>({shown.pixel(x, r.Y + band - 1), shown.pixel(x, r.Y + band),
                                    shown.pixel(x, r.Y + r.Height - band)}),
                 std::vector<QRgb>({qRgb(0, 0, 0), backdrop, qRgb(0, 0, 0)}));
        const QString folder = QString::fromStdString(screenshot_folder());
        press(Qt::Key_F12);
        wait_for_writes();
        const QStringList shots = QDir(folder).entryList({"*.png"}, QDir::Files);
        QCOMPARE(shots.size(), 1);
        const QImage image(folder + "/" + shots[0]);
        QCOMPARE(image.size(), QSize(256, 240));
        QCOMPARE(image.pixel(128, 0), backdrop);

        // Newest first, each once, at most eight; a file that is gone leaves the list.
        std::vector<std::string> f;
        for (int i = 0; i < 9; ++i) {
            std::vector<uint8_t> code = {0x4C, 0x00, 0x80, uint8_t(i)};
            f.push_back(write_temp_file("game" + std::to_string(i) + ".nes", make_nrom(code)));
            open_cartridge(window, f.back());
        }
        open_cartridge(window, f[3]);
        QCOMPARE(App.RecentCartridges,
                 (std::vector<std::string>{f[3], f[8], f[7], f[6], f[5], f[4], f[2], f[1]}));
        QMenu* recent = find_action(window, "Recent cartridges")->menu();
        emit window->menuBar()->actions()[0]->menu()->aboutToShow();
        recent->actions()[2]->trigger();
        QCOMPARE(std::string(console_cartridge_file()), f[7]);

        QFile::remove(f[5].c_str());
        running = console_hashes();
        open_recent(window, 4);  // f[5]
        QCOMPARE(Boxes, std::vector<std::string>{"cannot load " + f[5] +
                                                 ": the file is gone; it leaves the recent list"});
        QCOMPARE(App.RecentCartridges,
                 (std::vector<std::string>{f[7], f[3], f[8], f[6], f[4], f[2], f[1]}));
        QCOMPARE(console_hashes().Memory, running.Memory);  // the game runs on
    }

    // Settings read back as written; a damaged file gives the defaults and says so once.
    void settingsRoundTripAndDamage() {
        const std::string path = settings_path();
        AppSettings s = default_settings(), back;
        s.Width = 600, s.Height = 500, s.LastFolder = "/tmp/games",
        s.Recent = {"/a.nes", "/b, c.nes"};
        s.Keys[0][PadA] = Qt::Key_Q, s.Keys[1][PadB] = Qt::Key_Shift, s.ControllerButtons[1][0] = 9;
        s.JoystickButtons[0][5] = 11, s.JoystickFor = {1, -1}, s.JoystickCommandButtons[2] = 7;
        s.CommandKeys[KeyReset] = (Qt::ALT | Qt::Key_R).toCombined(), s.HideOverscan = true;
        s.Volume = 50, s.Muted = true, s.KeepProportions = false;
        s.PauseWhenInactive = false, s.Slot = 3;
        QCOMPARE(write_settings(path, s), std::string());
        QCOMPARE(read_settings(path, back), std::string());
        QVERIFY(back == s);

        const std::string damaged = "the settings in " + path + " are damaged (";
        for (auto [text, why] : {std::pair{"\x01\xff\xfegarbage[[\n", "not a settings file"},
                                 {"[keys]\na=F5\n", "keys"}}) {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
            AppSettings read;
            QVERIFY2(read_settings(path, read) == damaged + why + "); the defaults are used", text);
            QVERIFY(read == default_settings());
        }
        // The app keeps the newest damaged file and mends the settings at the end.
        for (const char* text : {"[keys]\na=F5\n", "[keys2]\nb=Esc\n"}) {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
            cleanup();
            start(false);
            QCOMPARE(App.VideoNote,
                     damaged + "keys); the defaults are used; the damaged file is kept as " + path +
                         ".bad");
            std::ifstream bad(path + ".bad", std::ios::binary);
            QCOMPARE(std::string(std::istreambuf_iterator<char>(bad), {}), std::string(text));
            command(Command::SizeX2);
            window->close();
            QCOMPARE(read_settings(path, back), std::string());
            QCOMPARE(QSize(back.Width, back.Height), QSize(512, 480));
        }
    }

    // Fullscreen (F11, Alt+Enter): a whole multiple, no menu; Esc back to the old size;
    // Keep proportions off stretches. Volume and Mute.
    void sizesAndOptions() {
        using F = PictureFit;
        const std::tuple<int, int, F, PictureRect> cases[] = {
            {511, 479, F::Whole, {127, 119, 256, 240}},
            {1920, 1080, F::Whole, {448, 60, 1024, 960}},
            {800, 600, F::Whole, {144, 60, 512, 480}},
            {400, 300, F::Proportional, {40, 0, 320, 300}},
            {301, 240, F::Proportional, {22, 0, 256, 240}},
            {400, 300, F::Stretch, {0, 0, 400, 300}}};
        for (auto [w, h, fit, want] : cases) QCOMPARE(picture_rect(w, h, fit), want);

        start();
        command(Command::SizeX2);
        QVERIFY(App.VideoFit == F::Proportional);
        for (auto [key, modifier] :
             {std::pair{Qt::Key_F11, Qt::NoModifier}, std::pair{Qt::Key_Return, Qt::AltModifier}}) {
            press(key, modifier);
            QVERIFY(window->isFullScreen() && !window->menuBar()->isVisible());
            QVERIFY(App.VideoFit == F::Whole);
            press(Qt::Key_Escape);
            QVERIFY(!window->isFullScreen() && window->menuBar()->isVisible());
            QVERIFY(!App.Paused);  // Esc left fullscreen, it did not pause
            QCOMPARE(client(window), QSize(512, 480));
            QVERIFY(App.VideoFit == F::Proportional);
        }
        find_action(window, "Keep proportions")->trigger();
        QVERIFY(App.VideoFit == F::Stretch);

        find_action(window, "50%")->trigger();
        QCOMPARE(App.SoundVolume, 50);
        QCOMPARE(App.VideoNote, std::string("Volume 50%"));
        expect_note(Qt::Key_M, Qt::NoModifier, "Sound off");
        QVERIFY(App.SoundMuted);
        press(Qt::Key_M);
        QVERIFY(!App.SoundMuted);
    }

    // In the Input dialog a key in use changes places, a pad takes no Ctrl key; the keys
    // then run their commands and the settings keep them.
    void commandKeysRemappedAndClashing() {
        start();
        load_tone();
        QTimer::singleShot(0, [] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            auto field = [dialog](const char* name) {
                return dialog->findChild<QPushButton*>(name);
            };
            for (auto [name, key, modifiers] :
                 {std::tuple{"command_pause", Qt::Key_X, Qt::NoModifier},
                  {"command_screenshot", Qt::Key_R, Qt::ControlModifier},
                  {"key2_a", Qt::Key_R, Qt::ControlModifier}}) {
                field(name)->click();
                QTest::keyClick(field(name), key, modifiers);
            }
            QCOMPARE(dialog->findChild<QLabel*>("hint")->text(),
                     QString("A pad takes a key without Ctrl or Alt."));
            QTest::keyClick(field("key2_a"), Qt::Key_Escape);
            QCOMPARE(field("command_pause")->text() + " " + field("key_a")->text() + " " +
                         field("command_screenshot")->text() + " " +
                         field("command_reset")->text() + " " + field("key2_a")->text(),
                     QString("X P Ctrl+R F12 G"));
            dialog->accept();
        });
        command(Command::Input);
        press(Qt::Key_X);
        QVERIFY(App.Paused);
        press(Qt::Key_X);
        QVERIFY(!App.Paused);
        expect_note(Qt::Key_F12, Qt::NoModifier, "Reset");
        QTest::keyPress(window, Qt::Key_P);
        poll_joypad(window);
        QCOMPARE(MachineState.JoypadBits, ConsolePadA);
        QTest::keyRelease(window, Qt::Key_P);
        AppSettings saved;
        QCOMPARE(read_settings(settings_path(), saved), std::string());
        QCOMPARE(saved.CommandKeys[KeyPause], int(Qt::Key_X));
        QCOMPARE(saved.CommandKeys[KeyScreenshot], (Qt::CTRL | Qt::Key_R).toCombined());
    }

    // Two virtual joysticks are players 1 and 2; a button given to a command leaves the pad;
    // unplugging one says so and empties its pad.
    void secondJoystickIsPlayerTwo() {
        start();
        int index[2];
        SDL_Joystick* stick[2];
        for (int j = 0; j < 2; ++j) {
            index[j] = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_UNKNOWN, 2, 6, 1);
            QVERIFY2(index[j] >= 0, SDL_GetError());
            stick[j] = SDL_JoystickOpen(index[j]);
            QVERIFY(stick[j]);
        }
        acquire_joypad();
        QCOMPARE(joystick_kind(0) * 10 + joystick_kind(1), 22);
        SDL_JoystickSetVirtualButton(stick[0], 1, 1);  // raw 1: A
        SDL_JoystickSetVirtualButton(stick[1], 0, 1);  // raw 0: B
        SDL_JoystickSetVirtualHat(stick[1], 0, SDL_HAT_LEFT);
        poll_joypad(window);
        QCOMPARE(MachineState.JoypadBits, ConsolePadA);
        QCOMPARE(MachineState.Joypad2Bits, ConsolePadLeft | ConsolePadB);
        SDL_JoystickSetVirtualButton(stick[0], 1, 0);
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            auto* fast = dialog->findChild<QPushButton*>("joystick_fast_forward");
            fast->click();
            SDL_JoystickSetVirtualButton(stick[0], 1, 1);
            QTest::qWait(100);
            QCOMPARE(fast->text() + ", " + dialog->findChild<QPushButton*>("joystick_a")->text(),
                     QString("button 1, none"));
            dialog->accept();
        });
        command(Command::Input);
        poll_joypad(window);
        QVERIFY(fast_forward_held());
        QCOMPARE(MachineState.JoypadBits, 0u);
        SDL_JoystickClose(stick[1]);
        QVERIFY(SDL_JoystickDetachVirtual(index[1]) == 0);
        step();
        QCOMPARE(App.VideoNote, std::string("Joystick 2 unplugged (player 2)"));
        QCOMPARE(MachineState.Joypad2Bits, 0u);
        SDL_JoystickClose(stick[0]);
        SDL_JoystickDetachVirtual(index[0]);
    }

    // No sound device: no box, the game runs silent, the news line says so; Volume retries.
    void noSoundDeviceRunsSilent() {
        qputenv("SDL_AUDIODRIVER", "no-such-driver");
        start();
        qputenv("SDL_AUDIODRIVER", "dummy");
        QVERIFY(Boxes.empty() && !App.QuitPosted);
        QVERIFY2(App.SoundFailure.rfind("no sound device opened (", 0) == 0,
                 App.SoundFailure.c_str());
        QCOMPARE(App.VideoNote, App.SoundFailure);
        load_tone();
        step(3);
        QVERIFY(console_running() && !App.SoundPlaying);
        find_action(window, "75%")->trigger();
        QCOMPARE(App.SoundFailure, std::string());
        QCOMPARE(App.VideoNote, std::string("Volume 75%"));
        step();
        QVERIFY(App.SoundPlaying);
    }

    // Fullscreen in and out ten times under a window manager (tests/check-fullscreen):
    // always the whole screen, and the window back where it was.
    void fullscreenInAndOutUnderAWindowManager() {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("needs a display and a window manager: tests/check-fullscreen");
        start();
        QTest::qWait(500);
        command(Command::SizeX2);
        QTest::qWait(500);
        const QRect screen = window->screen()->geometry();
        auto geometry = [&] {
            const QRect f = window->frameGeometry();
            const QPoint a = window->centralWidget()->mapToGlobal(QPoint(0, 0));
            const QSize c = client(window);
            return QString::asprintf("frame %d,%d %dx%d area %d,%d %dx%d", f.x(), f.y(), f.width(),
                                     f.height(), a.x(), a.y(), c.width(), c.height())
                .toStdString();
        };
        std::vector<std::string> seen[2];
        for (int i = 0; i < 20; ++i) {
            command(Command::Fullscreen);
            // The geometry once it holds still (and in fullscreen covers the screen).
            QElapsedTimer waited;
            waited.start();
            std::string now = geometry(), before;
            do {
                QTest::qWait(150);
                before = now;
                now = geometry();
            } while ((now != before || (i % 2 == 0 && window->frameGeometry() != screen)) &&
                     waited.elapsed() < 5000);
            seen[i % 2].push_back(now);
            qDebug("%s", now.c_str());
        }
        for (int k = 0; k < 2; ++k)
            for (const std::string& g : seen[k]) QCOMPARE(g, seen[k][0]);
        const QString whole = QString::asprintf("%d,%d %dx%d", screen.x(), screen.y(),
                                                screen.width(), screen.height());
        QCOMPARE(seen[0][0], ("frame " + whole + " area " + whole).toStdString());
        QVERIFY(window->frameGeometry().top() >= screen.top());
        QCOMPARE(client(window), QSize(512, 480));
    }
};  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariable("QT_QPA_PLATFORM") != "xcb") qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("SDL_AUDIODRIVER", "dummy");
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
