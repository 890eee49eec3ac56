// The frame mix: tones, levels and stops as the console makes them, heard
// through register writes.
#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "apu/apu.h"
#include "cpu/n6502.h"
#include "tests/machine_fixture.h"

namespace {

class Mix : public PoweredMachine {
protected:
    void SetUp() override {
        PoweredMachine::SetUp();
        apu_reset();  // no cartridge: power-up leaves the channels to this
    }
    // Register writes in order: address, value.
    static void writes(std::initializer_list<std::pair<uint16_t, uint8_t>> list) {
        for (auto [address, value] : list) write(address, value);
    }
    // Frames of output, in steps above the centre 0x80.
    static std::vector<int> frames(int count) {
        std::vector<int> v;
        for (int f = 0; f < count; ++f) {
            uint8_t block[SamplesPerFrame];
            apu_mix(block);
            for (uint8_t b : block) v.push_back(b - 0x80);
        }
        return v;
    }
    static int peak_to_peak(const std::vector<int>& s) {
        const auto [lo, hi] = std::minmax_element(s.begin(), s.end());
        return *hi - *lo;
    }
};

TEST_F(Mix, TriangleTakesALowPeriodByteAtOnce) {
    // Held (sounds until stopped), period $140; then $180 with no $400B write.
    writes({{0x4015, 0x04}, {0x4008, 0xFF}, {0x400B, 0x01}, {0x400A, 0x40}});
    frames(1);
    write(0x400A, 0x80);  // 32 x 385 cycles
    const std::vector<int> s = frames(4);
    std::vector<size_t> lows;  // where each stretch at the bottom of the wave starts
    for (size_t i = 1; i < s.size(); ++i)
        if (s[i] == 0 && s[i - 1] != 0) lows.push_back(i);
    ASSERT_GE(lows.size(), 8u);
    const double period = double(lows.back() - lows.front()) / double(lows.size() - 1);
    EXPECT_NEAR(period, 32 * 385 * 44100 / 1789772.5, 0.5);  // 303.6 samples
}

TEST_F(Mix, LevelsFollowTheConsoleMixing) {
    // A pulse at volume 15 (duty 2, held): 95.88 / (8128 / 15 + 100) of the full 127 steps.
    writes({{0x4015, 0x01}, {0x4000, 0xBF}, {0x4002, 0xFD}, {0x4003, 0x01}});
    frames(1);
    EXPECT_EQ(peak_to_peak(frames(2)), 19);
    // The triangle alone: 159.79 / (8227 / 15 + 100) of 127, 1.65 times the pulse.
    writes({{0x4015, 0x04}, {0x4008, 0xFF}, {0x400A, 0xFD}, {0x400B, 0x01}});
    frames(1);
    EXPECT_EQ(peak_to_peak(frames(2)), 31);
}

TEST_F(Mix, StopsHoldTheLevel) {
    // Five quarter frames, then the triangle stops mid-wave; one delta byte:
    // eight bits, then that channel idles.
    writes({{0x4015, 0x14}, {0x4008, 0x05}, {0x400A, 0x30}, {0x400B, 0x00}});
    writes({{0x4011, 0x40}, {0x4010, 0x0F}, {0x4013, 0x00}});
    std::vector<int> s = frames(3);
    EXPECT_EQ(Triangle.LinearCounter, 0);
    EXPECT_EQ(apu_status() & 0x14, 0x04);
    write(0x4015, 0x00);
    const std::vector<int> after = frames(2);
    s.insert(s.end(), after.begin(), after.end());
    for (size_t i = 1; i < s.size(); ++i) ASSERT_LE(std::abs(s[i] - s[i - 1]), 3) << i;
    EXPECT_NE(s.back(), 0);  // still at the held levels
}

TEST_F(Mix, EnvelopeStepsAtTheQuarterFrames) {
    // Divider period 3: a step every 4 quarter frames, so 15 frames from full
    // volume to silence.
    writes({{0x4015, 0x01}, {0x4000, 0x83}, {0x4002, 0xFD}, {0x4003, 0x08}});
    for (int f = 1; f <= 15; ++f) ASSERT_GT(peak_to_peak(frames(1)), 0) << f;
    for (int s : frames(1)) ASSERT_EQ(s, 0);
}

TEST_F(Mix, LengthEntryFourLastsTwentyFrames) {
    writes({{0x4015, 0x01}, {0x4000, 0x9F}, {0x4002, 0xFD}, {0x4003, 0x20}});
    frames(19);
    EXPECT_EQ(apu_status() & 1, 1);
    EXPECT_GT(peak_to_peak(frames(1)), 0);
    EXPECT_EQ(apu_status() & 1, 0);
}

TEST_F(Mix, PulseMutesBelowPeriodEightAndPastTheSweepLimit) {
    // $400: the sweep with shift 0 would reach $800.
    writes({{0x4015, 0x01}, {0x4000, 0xBF}, {0x4002, 0x00}, {0x4003, 0x04}});
    EXPECT_EQ(peak_to_peak(frames(1)), 0);
    write(0x4001, 0x08);  // falling sweep, not enabled: sounds
    EXPECT_GT(peak_to_peak(frames(1)), 0);
    writes({{0x4002, 0x07}, {0x4003, 0x00}});
    EXPECT_EQ(peak_to_peak(frames(2)), 0);
}

// ------------------------------------------------------------------ delta

TEST_F(Mix, LevelWritesAreHeardFromTheirLine) {
    // Raw $4011 writes (speech, drums) set the 7-bit level where they were made;
    // of two in one line the later stands.
    for (auto [line, level] : {std::pair{10, 0xFF}, {131, 0x08}, {131, 0x04}}) {
        MachineState.FrameLine = line;
        write(0x4011, uint8_t(level));
    }
    const std::vector<int> s = frames(1);
    const uint32_t at10 = 10 * SamplesPerFrame / FrameLines,
                   at131 = 131 * SamplesPerFrame / FrameLines;
    EXPECT_EQ(s[at10 - 1], 0);  // silence is centred
    EXPECT_EQ(s[at10], 73);     // 159.79 / (22638 / 127 + 100) of 127: 72.9
    EXPECT_EQ(s[at131 - 1], 73);
    EXPECT_EQ(s[at131], 4);                   // 3.5
    for (int v : frames(1)) ASSERT_EQ(v, 4);  // idle: the level holds
}

TEST_F(Mix, DeltaBitsPlayLowBitFirst) {
    PrgWindow[0x4000] = 0x01;  // up, then seven times down; the slowest rate, one byte
    writes({{0x4011, 0x40}, {0x4010, 0x00}, {0x4013, 0x00}, {0x4015, 0x10}});
    const std::vector<int> s = frames(1);
    std::vector<int> moves;
    for (size_t i = 1; i < s.size(); ++i)
        if (s[i] != s[i - 1]) moves.push_back(s[i] > s[i - 1] ? 1 : -1);
    ASSERT_GE(moves.size(), 2u);
    EXPECT_EQ(moves.front(), 1);
    EXPECT_EQ(std::count(moves.begin(), moves.end(), 1), 1);
    EXPECT_EQ(Dmc.Level, 0x40 + 2 - 7 * 2);
}

TEST_F(Mix, DeltaInterruptIsSeenInTheNextFrame) {
    writes({{0x4010, 0x0F}, {0x4013, 0x00}, {0x4015, 0x10}});  // IRQ off: the end raises nothing
    frames(1);
    EXPECT_EQ(Dmc.IrqFlag, 0);
    EXPECT_EQ(apu_status() & 0x90, 0);
    writes({{0x4010, 0x8F}, {0x4013, 0x00}, {0x4015, 0x10}});  // IRQ enabled, fastest rate
    ncpu.rF = 0x22;
    ncpu.rS = 0xFF;
    frames(1);
    EXPECT_EQ(Dmc.IrqFlag, 1);
    EXPECT_EQ(ncpu.rS, 0xFC);  // taken once: I is set from then on
    EXPECT_EQ(apu_status() & 0x80, 0x80);
}

TEST_F(Mix, LoopingSampleRestartsAndWrapsPastFFFFUntilItsBitIsCleared) {
    // Loop, fastest rate, from $FFC0, 65 bytes: runs past $FFFF.
    writes({{0x4010, 0x4F}, {0x4012, 0xFF}, {0x4013, 0x04}, {0x4015, 0x10}});
    for (int f = 0; f < 20; ++f) {
        frames(1);
        ASSERT_GE(Dmc.ReadPointer, PrgWindow);
        ASSERT_LT(Dmc.ReadPointer, PrgWindow + PrgWindowSize);
    }
    EXPECT_GT(Dmc.BytesRemaining, 0);
    EXPECT_EQ(apu_status() & 0x10, 0x10);
    write(0x4015, 0x00);
    EXPECT_EQ(Dmc.BytesRemaining, 0);
    frames(1);  // the byte in hand plays out
    EXPECT_EQ(apu_status() & 0x10, 0);
    EXPECT_EQ(peak_to_peak(frames(1)), 0);
}

}  // namespace
