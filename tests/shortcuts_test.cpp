// The CPU's shortcuts against running every instruction: which loops are
// waits, that a charged budget ends where running it would, which main loops
// are steady, and which device accesses a steady loop may repeat.
#include "cpu/shortcuts.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "apu/apu.h"
#include "core/console.h"
#include "core/machine.h"
#include "core/state.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"
#include "tests/machine_fixture.h"

namespace {

// A loop body placed at $8000 and closed by a backward branch or JMP.
struct Shape {
    const char* what;
    std::vector<uint8_t> code;  // from $8000, the closing branch included
    uint8_t x, y;
    LoopKind kind;
    int32_t cost;  // one iteration without the branch back
    bool reads_status;
    int32_t want = -1;  // the iteration's cost as measured (-1: not known)
    bool reads_sound = false;
};

TEST(Shortcuts, LoopShapesAcceptedAndRefusedAsWaits) {
    const Shape shapes[] = {
        {"LDA $10; BEQ", {0xA5, 0x10, 0xF0, 0xFC}, 0, 0, ReadsOnly, 3, false},
        {"LDA $2002; BPL", {0xAD, 0x02, 0x20, 0x10, 0xFB}, 0, 0, ReadsOnly, 4, true},
        {"LDA $6000; CMP #1; BNE",
         {0xAD, 0x00, 0x60, 0xC9, 0x01, 0xD0, 0xF9},
         0,
         0,
         ReadsOnly,
         6,
         false},
        {"LDA $0300,X; BEQ", {0xBD, 0x00, 0x03, 0xF0, 0xFB}, 4, 0, ReadsOnly, 4, false},
        {"LDA $10; BNE +2; NOP; BEQ",
         {0xA5, 0x10, 0xD0, 0x02, 0xEA, 0xEA, 0xF0, 0xF8},
         0,
         0,
         ReadsOnly,
         9,
         false},
        // Along the path the forward branches take, past what it skips.
        {"LDA $10; BEQ +3; JSR; LDA $11; BEQ",
         {0xA5, 0x10, 0xF0, 0x03, 0x20, 0x00, 0x90, 0xA5, 0x11, 0xF0, 0xF5},
         0,
         0,
         ReadsOnly,
         9,
         false,
         9},
        {"LDA $10; BEQ +2; NOP; NOP; BEQ, taken",
         {0xA5, 0x10, 0xF0, 0x02, 0xEA, 0xEA, 0xF0, 0xF8},
         0,
         0,
         ReadsOnly,
         6,
         false,
         6},
        {"LDA $01; CMP #0; BNE +3; JMP",
         {0xA5, 0x01, 0xC9, 0x00, 0xD0, 0x03, 0x4C, 0x00, 0x80},
         0,
         0,
         ReadsOnly,
         7,
         false},
        {"LDA $10; 20 NOPs; BEQ",
         {0xA5, 0x10, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA,
          0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xF0, 0xE8},
         0,
         0,
         ReadsOnly,
         43,
         false},
        {"LDA #$10; AND $4015; BNE",
         {0xA9, 0x10, 0x2D, 0x15, 0x40, 0xD0, 0xF9},
         0,
         0,
         ReadsOnly,
         6,
         false,
         -1,
         true},
        {"DEX; BNE", {0xCA, 0xD0, 0xFD}, 9, 0, CountX, 2, false},
        {"NOP; INY; BNE", {0xEA, 0xC8, 0xD0, 0xFC}, 0, 9, CountY, 4, false},
        {"LDA $10; DEY; BNE", {0xA5, 0x10, 0x88, 0xD0, 0xFB}, 0, 9, CountY, 5, false},
        // Refused: writes, device reads, the counter used, backward or
        // unset-flag branches inside, unknown instructions.
        {"INC $10; BNE", {0xE6, 0x10, 0xD0, 0xFC}, 0, 0, NotALoop, 0, false},
        {"STA $10; BEQ", {0x85, 0x10, 0xF0, 0xFC}, 0, 0, NotALoop, 0, false},
        {"LDA $4016; BEQ", {0xAD, 0x16, 0x40, 0xF0, 0xFB}, 0, 0, NotALoop, 0, false},
        {"LDA $2007; BEQ", {0xAD, 0x07, 0x20, 0xF0, 0xFB}, 0, 0, NotALoop, 0, false},
        {"LDA $1FF0,X; BEQ ($2002+X)", {0xBD, 0xF0, 0x1F, 0xF0, 0xFB}, 0x17, 0, NotALoop, 0, false},
        {"LDX $10; DEX; BNE", {0xA6, 0x10, 0xCA, 0xD0, 0xFB}, 0, 0, NotALoop, 0, false},
        {"TAY; DEY; BNE", {0xA8, 0x88, 0xD0, 0xFC}, 0, 0, NotALoop, 0, false},
        {"LDA $10; BEQ -2 inside; BNE",
         {0xA5, 0x10, 0xF0, 0xFE, 0xD0, 0xFA},
         0,
         0,
         NotALoop,
         0,
         false},
        {"BEQ +0 before any load; LDA; BNE",
         {0xF0, 0x00, 0xA5, 0x10, 0xD0, 0xFA},
         0,
         0,
         NotALoop,
         0,
         false},
        {"DEX; BEQ +1 (on the counter); BNE",
         {0xEA, 0xF0, 0x01, 0xCA, 0xD0, 0xF9},
         9,
         0,
         NotALoop,
         0,
         false},
        {"PHA; PLA; BNE", {0x48, 0x68, 0xD0, 0xFC}, 0, 0, NotALoop, 0, false},
    };
    std::vector<uint8_t> memory(0x10000, 0);
    for (const Shape& s : shapes) {
        std::copy(s.code.begin(), s.code.end(), memory.begin() + 0x8000);
        const size_t n = s.code.size();
        const bool jump = n >= 3 && s.code[n - 3] == 0x4C && s.code[n - 1] == 0x80;
        const uint32_t branch = 0x8000 + uint32_t(n) - (jump ? 3 : 2);
        const LoopShape k = loop_shape(memory.data(), 0x8000, branch, s.x, s.y, s.want);
        EXPECT_EQ(k.kind, s.kind) << s.what;
        if (k.kind == NotALoop || s.kind == NotALoop) continue;
        EXPECT_EQ(k.cost, s.cost) << s.what;
        EXPECT_EQ(k.reads_status, s.reads_status) << s.what;
        EXPECT_EQ(k.reads_sound, s.reads_sound) << s.what;
    }
}

// A run that charges a wait ends exactly where running it would: registers,
// flags, place and the budget's overshoot. Each loop runs budgets of several
// sizes, with the shortcuts and without.
class ShortcutRuns : public PoweredMachine {
protected:
    void SetUp() override {
        PoweredMachine::SetUp();
        create_surfaces();
    }
    // Loads a program at $8000 and lets the machine run.
    static bool boot(const std::vector<uint8_t>& code) {
        MachineState.Halted = load_image(make_nrom(code)) ? 0 : 1;
        return !MachineState.Halted;
    }
};

TEST_F(ShortcutRuns, ChargedWaitsEndAsRunningThem) {
    struct Loop {
        const char* what;
        std::vector<uint8_t> code;
        uint8_t a, x, y;
    };
    const Loop loops[] = {
        {"LDA $10; BEQ", {0xA5, 0x10, 0xF0, 0xFC}, 0, 0, 0},
        {"LDA $6000; CMP #1; BNE", {0xAD, 0x00, 0x60, 0xC9, 0x01, 0xD0, 0xF9}, 0, 0, 0},
        {"DEX; BNE", {0xCA, 0xD0, 0xFD}, 0, 250, 0},
        {"DEX; BNE from 0", {0xCA, 0xD0, 0xFD}, 0, 0, 0},
        {"NOP; INY; BNE", {0xEA, 0xC8, 0xD0, 0xFC}, 0, 0, 3},
        {"LDA $10; DEY; BNE", {0xA5, 0x10, 0x88, 0xD0, 0xFB}, 0, 0, 200},
        {"LDA $0300,X; BEQ", {0xBD, 0x00, 0x03, 0xF0, 0xFB}, 0, 1, 0},
        {"LDA $10; BNE +2; NOP; BEQ", {0xA5, 0x10, 0xD0, 0x02, 0xEA, 0xEA, 0xF0, 0xF8}, 0, 0, 0},
        {"LDA $10; BEQ +2; NOP; NOP; BEQ",
         {0xA5, 0x10, 0xF0, 0x02, 0xEA, 0xEA, 0xF0, 0xF8},
         0,
         0,
         0},
        {"LDA $10; BEQ +3; JSR; LDA $11; BEQ",
         {0xA5, 0x10, 0xF0, 0x03, 0x20, 0x00, 0x90, 0xA5, 0x11, 0xF0, 0xF5},
         0,
         0,
         0},
        {"LDA $01; CMP #0; BNE +3; JMP",
         {0xA5, 0x01, 0xC9, 0x00, 0xD0, 0x03, 0x4C, 0x00, 0x80},
         0,
         0,
         0},
        {"LDA $10; 20 NOPs; BEQ",
         {0xA5, 0x10, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA,
          0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xEA, 0xF0, 0xE8},
         0,
         0,
         0},
    };
    for (const Loop& l : loops) {
        std::vector<uint8_t> code = l.code;
        code.insert(code.end(), {0x4C, uint8_t(code.size()), 0x80});  // the way out: JMP to itself
        ASSERT_TRUE(boot(code));
        for (int32_t budget : {7, 113, 341, 1000, 29781}) {
            std::array<int32_t, 8> ends[2];
            for (bool on : {true, false}) {
                ShortcutsOn = on;
                shortcuts_forget();
                ncpu.rPC = 0x8000, ncpu.rA = l.a, ncpu.rX = l.x, ncpu.rY = l.y, ncpu.rF = 0x24;
                ncpu.cycles = budget;
                ASSERT_EQ(n6502_execute(), 0);
                ends[on] = {ncpu.rA,  ncpu.rX,     ncpu.rY,   ncpu.rF,
                            ncpu.rPC, ncpu.cycles, ncpu.zero, ncpu.sign};
            }
            ShortcutsOn = true;
            EXPECT_EQ(ends[1], ends[0]) << l.what << ", budget " << budget;
        }
    }
}

// A main loop closed by a backward JMP is steady only when an iteration
// leaves RAM, registers and every device it touches as it found them; a
// steady loop's budgets are charged and settled where running them ends.
TEST_F(ShortcutRuns, MainLoopsTouchingRamOrADeviceAreNeverSteady) {
    struct Main {
        const char* what;
        std::vector<uint8_t> body;  // at $8000, then JMP $8000
        bool steady;
    };
    const Main mains[] = {
        {"reads the pad",
         {0xA9, 0x01, 0x8D, 0x16, 0x40, 0xA9, 0x00, 0x8D, 0x16, 0x40, 0xAD, 0x16, 0x40, 0x29, 0x01,
          0x85, 0x20},
         true},
        {"stores what RAM holds", {0xA5, 0x10, 0x85, 0x10, 0xEA}, true},
        {"waits on RAM (an idle wait, not steady)", {0xA5, 0x10, 0xF0, 0x01, 0xEA}, false},
        {"counts in RAM", {0xE6, 0x10, 0xA9, 0x00}, false},
        {"adds to RAM", {0xA5, 0x10, 0x18, 0x69, 0x01, 0x85, 0x10, 0xA9, 0x00}, false},
        {"flips a RAM byte", {0xA5, 0x10, 0x49, 0xFF, 0x85, 0x10, 0xA2, 0x00, 0xA9, 0x00}, false},
        {"reads the status", {0xAD, 0x02, 0x20, 0xA9, 0x00}, false},
        {"reads the sound status", {0xAD, 0x15, 0x40, 0xA9, 0x00}, false},
        {"writes the picture address", {0xA9, 0x20, 0x8D, 0x06, 0x20, 0xA9, 0x00}, false},
        {"reads picture memory", {0xAD, 0x07, 0x20, 0xA9, 0x00}, false},
    };
    for (const Main& m : mains) {
        std::vector<uint8_t> code = m.body;
        code.insert(code.end(), {0x4C, 0x00, 0x80});
        ASSERT_TRUE(boot(code));
        std::vector<uint8_t> start(state_size()), ends[2];
        std::vector<int32_t> overshoots[2];  // each budget's, as the sound clock sees it
        bool replayed = false;
        MachineState.JoypadBits = 0x5A;
        ASSERT_EQ(save_state(start.data(), start.size()), nullptr);
        for (bool on : {true, false}) {
            console_set_shortcuts(on);
            const char* why = load_state(start.data(), start.size());
            ASSERT_EQ(why, nullptr) << why;
            for (int budget = 0; budget < 3000; ++budget) {
                ASSERT_EQ(n6502_run_budget(budget % 7 == 6 ? 341 : 113), 0);
                overshoots[on].push_back(ncpu.cycles);
                replayed |= Shortcuts.Steady.phase == Replaying;
                if (budget % 262 == 261) n6502_settle();
            }
            n6502_settle();
            ends[on].resize(state_size());
            ASSERT_EQ(save_state(ends[on].data(), ends[on].size()), nullptr);
        }
        console_set_shortcuts(true);
        EXPECT_EQ(replayed, m.steady) << m.what;
        EXPECT_TRUE(ends[1] == ends[0]) << m.what;
        EXPECT_TRUE(overshoots[1] == overshoots[0]) << m.what;
    }
}

// A wait on $4015 is charged only while the sound clock leaves what it reads
// as it is: the frames end as running every instruction ends them.
TEST_F(ShortcutRuns, SoundWaitsEndWhereRunningThemEnds) {
    struct Wait {
        const char* what;
        std::vector<uint8_t> code;  // at $8000: starts a sound, waits for its end, again
    };
    const Wait waits[] = {
        {"a delta sample of 17 bytes",
         {0xA9, 0x0F, 0x8D, 0x10, 0x40, 0xA9, 0x01, 0x8D, 0x13, 0x40, 0xA9, 0x10, 0x8D, 0x15,
          0x40, 0xA9, 0x10, 0x2D, 0x15, 0x40, 0xD0, 0xF9, 0xE6, 0x10, 0x4C, 0x00, 0x80}},
        {"a pulse's length counter, counted down in X (kept at $11)",
         {0xA9, 0x01, 0x8D, 0x15, 0x40, 0xA9, 0x00, 0x8D, 0x03, 0x40, 0xA2, 0x00,
          0xA9, 0x01, 0x2D, 0x15, 0x40, 0xF0, 0x03, 0xCA, 0xD0, 0xF6, 0x86, 0x11,
          0xA9, 0x01, 0x2D, 0x15, 0x40, 0xD0, 0xEB, 0xE6, 0x10, 0x4C, 0x00, 0x80}},
    };
    for (const Wait& w : waits) {
        ASSERT_TRUE(boot(w.code));
        std::vector<uint8_t> start(state_size());
        ASSERT_EQ(save_state(start.data(), start.size()), nullptr);
        std::vector<std::vector<uint8_t>> frames[2];
        for (bool on : {true, false}) {
            console_set_shortcuts(on);
            ASSERT_EQ(load_state(start.data(), start.size()), nullptr);
            for (int frame = 0; frame < 40; ++frame) {
                console_run_frame();
                frames[on].emplace_back(state_size());
                ASSERT_EQ(save_state(frames[on].back().data(), state_size()), nullptr);
            }
        }
        console_set_shortcuts(true);
        EXPECT_GT(CpuRam[0x10], 3) << w.what;  // the waits ended
        for (size_t f = 0; f < frames[0].size(); ++f)
            EXPECT_TRUE(frames[1][f] == frames[0][f]) << w.what << ", frame " << f;
    }
}

// A state loaded while budgets are charged to a wait loop, with the same
// registers but RAM that ends the wait: the loop is left, not charged on.
TEST_F(ShortcutRuns, ALoadedStateForgetsTheLoopCharged) {
    ASSERT_TRUE(boot({0xA5, 0x10, 0xF0, 0xFC, 0x4C, 0x04, 0x80}));  // LDA $10; BEQ; JMP *
    cpu_reset();
    ASSERT_EQ(n6502_run_budget(113), 0);
    ASSERT_TRUE(Shortcuts.Idle.active);
    std::vector<uint8_t> state(state_size());
    CpuRam[0x10] = 1;
    ASSERT_EQ(save_state(state.data(), state.size()), nullptr);
    CpuRam[0x10] = 0;
    ASSERT_EQ(load_state(state.data(), state.size()), nullptr);
    ASSERT_EQ(n6502_run_budget(113), 0);
    n6502_settle();
    EXPECT_EQ(ncpu.rPC, 0x8004);
}

// Whether a device access is repeatable (a steady loop may repeat it) against
// what bus_read and bus_write do: a repeatable access changes nothing of the
// machine's state that bus_device_state does not show. The accesses are made
// with every flag they could clear set (vertical blank, the frame interrupt).
TEST_F(ShortcutRuns, RepeatableAccessesChangeOnlyTheDeviceState) {
    ASSERT_TRUE(boot({0x4C, 0x00, 0x80}));
    const uint32_t addresses[] = {0x2000, 0x2001, 0x2002, 0x2003, 0x2004, 0x2005, 0x2006,
                                  0x2007, 0x3FFA, 0x4000, 0x4003, 0x4008, 0x400C, 0x4010,
                                  0x4011, 0x4014, 0x4015, 0x4016, 0x4017, 0x4018, 0x4020,
                                  0x5000, 0x5FFF, 0x6000, 0x7FFF, 0x8000, 0xFFFF};
    std::vector<uint8_t> before(state_size()), after(state_size());
    uint32_t repeatable = 0;
    for (uint32_t a : addresses) {
        for (bool write : {false, true}) {
            for (uint8_t value : {0x00, 0x01, 0xFF}) {
                cpu_reset();
                MachineState.JoypadBits = 0xA5, MachineState.JoypadShift = 3;
                PpuRegisters.PpuStatus = 0xE0;
                bus_write(0x3F, 0x2006), bus_write(0x10, 0x2006);
                SoundClock.FrameIrq = 1;
                ASSERT_EQ(save_state(before.data(), before.size()), nullptr);
                const uint64_t device = bus_device_state();
                if (write)
                    bus_write(value, a);
                else
                    bus_read(a);
                ASSERT_EQ(save_state(after.data(), after.size()), nullptr);
                if (!bus_repeatable(a, write)) continue;
                ++repeatable;
                EXPECT_TRUE(before == after || bus_device_state() != device)
                    << std::hex << a << (write ? " written" : " read");
            }
        }
    }
    EXPECT_EQ(repeatable, 3u * (4 + 1));  // reads: $4016, $4017, $6000, $7FFF; writes: $4016
}

}  // namespace
