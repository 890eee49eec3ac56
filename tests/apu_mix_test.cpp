// The frame mix: each generator on channel records set up by the test.
#include <cstring>
#include <vector>

#include "apu/apu.h"
#include "cpu/n6502.h"
#include "tests/machine_fixture.h"

namespace {

class Mix : public PoweredMachine {
protected:
    void SetUp() override {
        PoweredMachine::SetUp();
        apu_reset();
    }
    // One frame of output, as signed values around the centre.
    std::vector<int> frame() {
        uint8_t block[SamplesPerFrame];
        apu_mix(block);
        std::vector<int> v(SamplesPerFrame);
        for (uint32_t i = 0; i < SamplesPerFrame; ++i) v[i] = int8_t(block[i] ^ 0x80);
        return v;
    }
    static SquareChannel sounding_square() {
        SquareChannel s{};
        s.Enabled = 1;
        s.ConstantVolume = 0x10;
        s.Volume = 15;
        s.Duty = 2;
        s.Timer = 254;
        s.LengthSamples = 100000;
        return s;
    }
};

// --------------------------------------------------------------------- pulse

TEST_F(Mix, SilenceIsCentred) {
    uint8_t block[SamplesPerFrame];
    std::memset(block, 0, sizeof block);
    apu_mix(block);
    for (uint8_t b : block) ASSERT_EQ(b, 0x80);
}

TEST_F(Mix, PulseAlternatesInRunsOfEightDutySteps) {
    Square1 = sounding_square();
    std::vector<int> s = frame();
    int runs = 0, length = 0;
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        ASSERT_TRUE(s[i] == 15 || s[i] == -15) << i;
        if (i > 0 && s[i] != s[i - 1]) {
            if (runs > 0) {
                EXPECT_NEAR(length, 8 * 254 / 40.584412, 1.0);
            }
            ++runs;
            length = 0;
        }
        ++length;
    }
    EXPECT_GE(runs, 13);
}

TEST_F(Mix, PulseMuteRules) {
    Square2 = sounding_square();
    Square2.Timer = 1024;  // above the limit of shift 0, sweep disabled
    for (int s : frame()) ASSERT_EQ(s, 0);
    Square2.SweepNegate = 8;  // the limit does not apply to a falling sweep
    bool sounded = false;
    for (int s : frame()) sounded |= s != 0;
    EXPECT_TRUE(sounded);

    Square2 = sounding_square();
    Square2.Timer = 3;
    Square2.DutyPhase = 17.0f;
    for (int s : frame()) ASSERT_EQ(s, 0);
    EXPECT_EQ(Square2.DutyPhase, 0.0f);
}

TEST_F(Mix, LengthOfOneFrameSoundsForAllButTheLastSample) {
    Square1 = sounding_square();
    Square1.LengthSamples = 735;
    std::vector<int> s = frame();
    for (uint32_t i = 0; i < 734; ++i) ASSERT_NE(s[i], 0) << i;
    EXPECT_EQ(s[734], 0);
    EXPECT_EQ(Square1.LengthSamples, 0);
    EXPECT_EQ(apu_status() & 1, 0);
}

TEST_F(Mix, EnvelopeStepsAndLoops) {
    Square1 = sounding_square();
    Square1.ConstantVolume = 0;
    Square1.Volume = 0;  // one step every 245 samples
    Square1.Duty = 3;    // mostly positive
    std::vector<int> levels;
    for (int f = 0; f < 6; ++f)
        for (int s : frame()) levels.push_back(s < 0 ? -s : s);
    EXPECT_EQ(levels[0], 14);  // the divider fires on the first sample
    EXPECT_EQ(levels[244], 14);
    EXPECT_EQ(levels[245], 13);
    EXPECT_EQ(levels[245 * 15 - 1], 0);
    EXPECT_EQ(levels[245 * 20], 0);  // no loop: stays silent at 15

    Square1 = sounding_square();
    Square1.ConstantVolume = 0;
    Square1.Volume = 0;
    Square1.LengthHalt = 0x20;  // loops from 15 back to full volume
    Square1.EnvelopeCounter = 14;
    std::vector<int> s = frame();
    EXPECT_EQ(std::abs(s[0]), 0);
    EXPECT_EQ(std::abs(s[245]), 15);
}

TEST_F(Mix, SweepMovesThePeriod) {
    Square1 = sounding_square();
    Square1.SweepEnable = 0x80;
    Square1.SweepShift = 1;
    Square1.SweepPeriod = 0;  // every 367.5 samples
    Square1.Timer = 400;
    frame();
    EXPECT_EQ(Square1.Timer, 400 + 200 + 300);
    Square1.SweepNegate = 8;
    Square1.Timer = 400;
    Square1.SweepPhase = 0;
    frame();
    EXPECT_EQ(Square1.Timer, 400 - 200 - 100);
}

// ------------------------------------------------------------------ triangle

TEST_F(Mix, TriangleCountersStartAfterThreeSamples) {
    write(0x4015, 0x04);
    write(0x4008, 0x7F);  // Control clear, reload 127
    write(0x400A, 0x40);
    write(0x400B, 0x08);  // length index 1: 127 frames
    int32_t linear = Triangle.LinearSamples, length = Triangle.LengthSamples;
    frame();
    EXPECT_EQ(Triangle.Counting, 1u);
    EXPECT_EQ(Triangle.LinearSamples, linear - (735 - 3));
    EXPECT_EQ(Triangle.LengthSamples, length - (735 - 3));
}

TEST_F(Mix, TriangleControlHoldsTheCounters) {
    write(0x4015, 0x04);
    write(0x4008, 0xFF);  // Control set
    write(0x400A, 0x40);
    write(0x400B, 0x08);
    int32_t linear = Triangle.LinearSamples, length = Triangle.LengthSamples;
    std::vector<int> s = frame();
    EXPECT_EQ(Triangle.LinearSamples, linear);
    EXPECT_EQ(Triangle.LengthSamples, length);
    int lo = 0, hi = 0;
    for (int v : s) lo = std::min(lo, v), hi = std::max(hi, v);
    EXPECT_EQ(lo, -16);
    EXPECT_EQ(hi, 16);
}

// --------------------------------------------------------------------- noise

TEST_F(Mix, NoiseShortModeCyclesNinetyThreeEntries) {
    write(0x4015, 0x08);
    write(0x400C, 0x3F);  // halt, constant volume 15
    write(0x400E, 0x80);  // short mode, period 4
    write(0x400F, 0x08);
    int32_t highest = 0;
    for (int f = 0; f < 3; ++f) {
        frame();
        highest = std::max(highest, Noise.Position);
    }
    EXPECT_LT(highest, 93);
    Noise.Position = 5000;  // from long mode: runs on to the end, then short
    for (int f = 0; f < 10; ++f) frame();
    EXPECT_LT(Noise.Position, 93);
}

TEST_F(Mix, NoiseWithoutAPeriodIsSilentAndEnds) {
    write(0x4015, 0x08);
    write(0x400C, 0x1F);
    write(0x400F, 0x08);  // length loaded, $400E never written
    ASSERT_EQ(Noise.Period, 0);
    for (int s : frame()) ASSERT_EQ(s, 0);
}

TEST_F(Mix, NoiseSampleIsTheSmallerOfEntryAndVolume) {
    Noise.Enabled = 1;
    Noise.ConstantVolume = 0x10;
    Noise.Volume = 10;
    Noise.LengthHalt = 0x20;
    Noise.LengthSamples = 1;
    Noise.Period = 4;
    Noise.Phase = 1e9f;
    Noise.Position = 3;  // entry 1
    EXPECT_EQ(frame()[0], 1);
    Noise.Position = 5;  // entry 128
    EXPECT_EQ(frame()[0], -10);
    Noise.Position = 6;  // entry 64
    EXPECT_EQ(frame()[0], 10);
}

// ----------------------------------------------------------------------- DMC

TEST_F(Mix, LevelWritesAreHeardFromTheirLineAndIdleIsSilent) {
    // Raw $4011 writes (speech, drums) change the level where they were made.
    MachineState.FrameLine = 10;
    write(0x4011, 0x10);
    MachineState.FrameLine = 131;
    write(0x4011, 0x08);
    MachineState.FrameLine = 131;
    write(0x4011, 0x04);  // the same line: the later write stands
    std::vector<int> s = frame();
    const uint32_t at10 = 10 * SamplesPerFrame / FrameLines,
                   at131 = 131 * SamplesPerFrame / FrameLines;
    EXPECT_EQ(s[at10 - 1], 0);
    EXPECT_EQ(s[at10], 16);
    EXPECT_EQ(s[at131 - 1], 16);
    EXPECT_EQ(s[at131], 4);
    EXPECT_EQ(s[SamplesPerFrame - 1], 4);
    for (int v : frame()) ASSERT_EQ(v, 0);  // idle and no writes: silent
    Dmc.BytesRemaining = 1;                 // running: the level is heard, clamped
    Dmc.BitsRemaining = 8;
    Dmc.ReadPointer = PrgWindow;
    Dmc.Rate = 428;
    Dmc.Phase = 1e9f;
    write(0x4011, 0x40);
    apu_begin_frame();  // a frame started after the write
    EXPECT_EQ(frame()[0], 31);
    EXPECT_EQ(Dmc.Level, 31);
}

TEST_F(Mix, DeltaBitsComeHighBitFirstThenLowToHigh) {
    PrgWindow[0x4000] = 0x81;  // bit 7, then bits 0..6 = 1,0,0,0,0,0,0
    write(0x4010, 0x0F);       // fastest rate, no loop
    write(0x4011, 0x00);
    write(0x4012, 0x00);
    write(0x4013, 0x01);    // 17 bytes
    Dmc.SampleByte = 0x00;  // the seven bits before the first fetch: all 0
    write(0x4015, 0x10);
    std::vector<int> levels;
    for (int v : frame())
        if (levels.empty() || levels.back() != v) levels.push_back(v);
    // 7 old bits down, fetched bit 7 up, bit 0 up, bits 1-6 down, next byte's bit 7 down.
    const std::vector<int> want = {-1, -2, -3, -4, -5, -6,  -7,  -6,
                                   -5, -6, -7, -8, -9, -10, -11, -12};
    ASSERT_GE(levels.size(), want.size());
    EXPECT_EQ(std::vector<int>(levels.begin(), levels.begin() + long(want.size())), want);
}

TEST_F(Mix, SampleEndsAfterItsLastFetchedBit) {
    PrgWindow[0x4000] = 0x80;
    write(0x4010, 0x0F);
    write(0x4013, 0x00);  // one byte: only its bit 7 plays
    write(0x4015, 0x10);
    std::vector<int> s = frame();
    EXPECT_EQ(s[734], -6);
    EXPECT_EQ(Dmc.BytesRemaining, 0);
    EXPECT_EQ(apu_status() & 0x10, 0);
}

TEST_F(Mix, DeltaInterruptIsSeenInTheNextFrame) {
    write(0x4010, 0x8F);  // IRQ enabled, fastest rate
    write(0x4013, 0x00);
    write(0x4015, 0x10);
    ncpu.rF = 0x22;
    ncpu.rS = 0xFF;
    frame();
    EXPECT_EQ(Dmc.IrqFlag, 1);
    EXPECT_EQ(ncpu.rS, 0xFC);  // taken once: I is set from then on
    EXPECT_EQ(apu_status() & 0x80, 0x80);
}

TEST_F(Mix, LoopingSampleRestartsAndWrapsPastFFFF) {
    write(0x4010, 0x4F);  // loop, fastest rate
    write(0x4012, 0xFF);  // $FFC0
    write(0x4013, 0x04);  // 65 bytes: runs past $FFFF
    write(0x4015, 0x10);
    for (int f = 0; f < 20; ++f) {
        frame();
        ASSERT_GE(Dmc.ReadPointer, PrgWindow);
        ASSERT_LT(Dmc.ReadPointer, PrgWindow + PrgWindowSize);
    }
    EXPECT_GT(Dmc.BytesRemaining, 0);
}

TEST_F(Mix, DeltaChannelWithoutARateStillEnds) {
    Dmc.BytesRemaining = 3;
    Dmc.BitsRemaining = 24;
    Dmc.ReadPointer = PrgWindow;
    Dmc.Rate = 0;
    frame();
    EXPECT_EQ(Dmc.BytesRemaining, 0);
}

// ----------------------------------------------------------------------- mix

TEST_F(Mix, ChannelsAddUp) {
    Square1 = sounding_square();
    Square1.Timer = 2000;
    Square1.SweepNegate = 8;
    Square2 = Square1;
    Triangle.Enabled = 1;
    Triangle.Control = 0x80;
    Triangle.LinearSamples = 100;
    Triangle.Timer = 2000;
    Triangle.Phase = 1000.0f;
    Triangle.Level = 16;
    Noise.Enabled = 1;
    Noise.ConstantVolume = 0x10;
    Noise.Volume = 15;
    Noise.LengthHalt = 0x20;
    Noise.LengthSamples = 1;
    Noise.Period = 4;
    Noise.Phase = 1000.0f;
    Noise.Position = 6;  // entry 64
    Dmc.BytesRemaining = 1;
    Dmc.BitsRemaining = 8;
    Dmc.ReadPointer = PrgWindow;
    Dmc.Rate = 428;
    Dmc.Phase = 1000.0f;
    Dmc.Level = 31;
    uint8_t block[SamplesPerFrame];
    apu_mix(block);
    EXPECT_EQ(block[0], 220);
}

}  // namespace
