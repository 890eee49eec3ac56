// The frame mix: tones, levels and stops as the console makes them, heard
// through register writes. (What the CPU reads back, $4015 and the frame
// counter, is pinned by the apu_test cartridges.)
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>
#include <utility>
#include <vector>

#include "apu/apu.h"
#include "core/frame.h"
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
    // Frames of the mix, in 8-bit steps.
    static std::vector<int> frames(int count) {
        std::vector<int> v;
        for (int f = 0; f < count; ++f) {
            int32_t mix[SamplesPerFrame];
            apu_mix(mix);
            for (int32_t m : mix) v.push_back((m + 128) >> 8);
        }
        return v;
    }
    // The CPU at a cycle of a line budget (113 2/3 cycles a line).
    static void at(uint32_t line, int32_t cycle) {
        MachineState.CyclesPerLine = 113;
        MachineState.FrameLine = line;
        ncpu.cycles = int32_t(budget(line)) - cycle;
    }
    static uint32_t budget(uint32_t line) {
        return frame_cycle_of_line(line + 1) - frame_cycle_of_line(line);
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
    // Divider period 3: a step every 4 quarter frames, so 15 sequences of
    // the frame counter (29830 cycles each, 15.03 frames of 29780) from full
    // volume to silence.
    writes({{0x4015, 0x01}, {0x4000, 0x83}, {0x4002, 0xFD}, {0x4003, 0x08}});
    for (int f = 1; f <= 15; ++f) ASSERT_GT(peak_to_peak(frames(1)), 0) << f;
    const std::vector<int> last = frames(1);
    for (size_t i = 100; i < last.size(); ++i) ASSERT_EQ(last[i], 0) << i;
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

TEST_F(Mix, WritesAreHeardFromTheirLineAndCycle) {
    // A write at cycle c of line N is heard from sample (its cycle in the
    // frame) x 735 / 29780, within one: a note start ($4003) and a raw level
    // ($4011).
    for (auto [line, cycle] : {std::pair{10, 0}, {131, 0}, {131, 100}, {250, 50}}) {
        for (auto [address, value] : {std::pair{0x4003, 0x01}, {0x4011, 0x7F}}) {
            apu_reset();
            at(0, 0);
            writes({{0x4015, 0x01}, {0x4000, 0xBF}, {0x4002, 0xFD}});
            at(uint32_t(line), cycle);
            write(uint16_t(address), uint8_t(value));
            int32_t mix[SamplesPerFrame];
            apu_mix(mix);
            const double heard = double(frame_cycle_of_line(uint32_t(line)) + uint32_t(cycle)) *
                                 SamplesPerFrame / 29780;
            const int32_t first = int32_t(
                std::find_if(mix, mix + SamplesPerFrame, [](int32_t m) { return m != 0; }) - mix);
            EXPECT_NEAR(first, heard, 1.0) << line << ":" << cycle << " $" << std::hex << address;
        }
    }
}

TEST_F(Mix, NoisePeriodAndDeltaRateTables) {
    write(0x400E, 0x8F);
    write(0x4010, 0x0D);
    frames(1);
    EXPECT_EQ(std::tuple(Noise.ShortMode, Noise.Period, Dmc.Rate), std::tuple(0x80, 4068, 84));
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

TEST_F(Mix, DeltaSampleEndsOnItsLine) {
    // 17 bytes at 432 cycles a byte, from line 20: the first is taken at
    // once, the last 15 to 16 bytes on (6480-6912 cycles, lines 77-80).
    // $4015 bit 4 clears on the line it ends in, and there the interrupt is
    // taken, if it is enabled; with it off the end raises nothing.
    for (uint8_t control : {0x0F, 0x8F}) {
        apu_reset();
        ncpu.rF = 0x22;
        ncpu.rS = 0xFF;
        at(20, 0);
        writes({{0x4010, control}, {0x4013, 0x01}, {0x4015, 0x10}});
        uint32_t ended = 0, interrupted = 0;
        for (uint32_t line = 20; line < 100 && !ended; ++line) {
            at(line, int32_t(budget(line)));  // the budget used up
            apu_end_line(int32_t(budget(line)), !(ncpu.rF & 0x04));
            if (ncpu.rS != 0xFF && !interrupted) interrupted = line;
            at(line + 1, 0);
            if (!(read(0x4015) & ApuStatusDmc)) ended = line;
        }
        EXPECT_GE(ended, 77u);
        EXPECT_LE(ended, 80u);
        const bool enabled = control & 0x80;
        EXPECT_EQ(interrupted, enabled ? ended : 0u);
        EXPECT_EQ(read(0x4015) & ApuStatusDmcIrq, enabled ? ApuStatusDmcIrq : 0);
    }
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
    write(0x4015, 0x00);
    frames(1);  // the byte in hand plays out
    EXPECT_EQ(Dmc.BytesRemaining, 0);
    EXPECT_EQ(peak_to_peak(frames(1)), 0);
}

TEST_F(Mix, SixteenBitFloorOfSilenceAndOfAHeldNote) {
    // A held level (delta 127, then silence) decays through the high-pass to
    // exactly 0 and 0x80; a held pulse comes out within one 16-bit step of
    // the same filter worked in doubles: a floor under -90 dBFS.
    int32_t mix[SamplesPerFrame];
    int16_t out16[SamplesPerFrame];
    uint8_t out8[SamplesPerFrame];
    write(0x4011, 0x7F);
    for (int f = 0; f < 120; ++f) {
        apu_mix(mix);
        apu_output_stage(mix, out16, out8);
    }
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        ASSERT_EQ(out16[i], 0) << i;
        ASSERT_EQ(out8[i], 0x80) << i;
    }
    writes({{0x4015, 0x01}, {0x4000, 0xB1}, {0x4002, 0xFD}, {0x4003, 0x01}});  // volume 1
    double in = mix[SamplesPerFrame - 1], out = 0, error = 0;
    for (int f = 0; f < 30; ++f) {
        apu_mix(mix);
        apu_output_stage(mix, out16, out8);
        for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
            out = mix[i] - in + out * (65190.0 / 65536);
            in = mix[i];
            ASSERT_NEAR(out16[i], out, 1.0) << f << ":" << i;
            error += (out16[i] - out) * (out16[i] - out);
        }
    }
    EXPECT_LT(20 * std::log10(std::sqrt(error / (30 * SamplesPerFrame)) / 32768), -90);
}

}  // namespace
