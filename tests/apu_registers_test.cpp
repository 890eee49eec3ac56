// Sound register writes, the $4015 status and the reset.
#include "apu/apu.h"
#include "tests/machine_fixture.h"

namespace {

using ApuRegs = PoweredMachine;

TEST_F(ApuRegs, LengthAndTimerLoadOnlyWhileEnabled) {
    apu_reset();
    write(0x4002, 0x34);
    write(0x4003, 0x0D);  // disabled: only PeriodHigh
    EXPECT_EQ(Square1.PeriodHigh, 5);
    EXPECT_EQ(Square1.LengthSamples, 0);
    EXPECT_EQ(Square1.Timer, 0);
    write(0x4015, 0x01);
    EXPECT_EQ(read(0x4015) & 1, 0);  // enabling loads nothing

    write(0x4003, 0x08 | 0x02);  // length index 1
    EXPECT_EQ(Square1.LengthSamples, 127 * 735);
    EXPECT_EQ(Square1.Timer, 0x234 + 1);
    EXPECT_EQ(read(0x4015) & 1, 1);
    write(0x4002, 0x10);
    EXPECT_EQ(Square1.Timer, 0x210 + 1);

    write(0x4015, 0x00);
    EXPECT_EQ(Square1.LengthSamples, 0);
    EXPECT_EQ(read(0x4015) & 1, 0);
}

TEST_F(ApuRegs, SquareControlAndSweepFields) {
    apu_reset();
    write(0x4004, 0xB7);
    EXPECT_EQ(Square2.Duty, 2);
    EXPECT_EQ(Square2.LengthHalt, 0x20);
    EXPECT_EQ(Square2.ConstantVolume, 0x10);
    EXPECT_EQ(Square2.Volume, 7);
    write(0x4005, 0xDB);
    EXPECT_EQ(Square2.SweepEnable, 0x80);
    EXPECT_EQ(Square2.SweepPeriod, 5);
    EXPECT_EQ(Square2.SweepNegate, 8);
    EXPECT_EQ(Square2.SweepShift, 3);
}

TEST_F(ApuRegs, TriangleLoadsAndItsLinearCounterHold) {
    apu_reset();
    write(0x4015, 0x04);
    write(0x400A, 0xFF);
    EXPECT_EQ(Triangle.Timer, 0);  // the low byte waits for $400B
    write(0x4008, 0x81);
    EXPECT_EQ(Triangle.LinearSamples, (1 * 735) >> 2);
    write(0x400B, 0x01);
    EXPECT_EQ(Triangle.Timer, 512);
    EXPECT_EQ(Triangle.ReloadDelay, 3);
    EXPECT_EQ(Triangle.LengthSamples, 5 * 735);  // index 0
    Triangle.Counting = 1;
    write(0x4008, 0x7F);
    EXPECT_EQ(Triangle.LinearSamples, (1 * 735) >> 2);
    EXPECT_EQ(Triangle.LinearReload, 0x7F);

    write(0x4015, 0x00);
    EXPECT_EQ(Triangle.LinearSamples, 0);
    EXPECT_EQ(Triangle.Counting, 0u);
    EXPECT_EQ(Triangle.ReloadDelay, 0);
}

TEST_F(ApuRegs, NoiseRegisters) {
    apu_reset();
    write(0x400E, 0x8A);
    EXPECT_EQ(Noise.ShortMode, 0x80);
    EXPECT_EQ(Noise.Period, 380);
    write(0x400F, 0x18);
    EXPECT_EQ(Noise.LengthSamples, 0);
    write(0x4015, 0x08);
    Noise.EnvelopeCounter = 9;
    write(0x400F, 0x18);
    EXPECT_EQ(Noise.LengthSamples, 1 * 735);  // index 3
    EXPECT_EQ(Noise.EnvelopeCounter, 0);
    EXPECT_EQ(read(0x4015) & 0x08, 0x08);
}

TEST_F(ApuRegs, DeltaChannelStartsOnceAndClearsItsInterrupt) {
    apu_reset();
    write(0x4012, 0);
    write(0x4013, 0);
    write(0x4015, 0x10);
    EXPECT_EQ(Dmc.ReadPointer, PrgWindow + 0x4000);
    EXPECT_EQ(Dmc.BytesRemaining, 1);
    EXPECT_EQ(Dmc.BitsRemaining, 8);
    EXPECT_EQ(read(0x4015) & 0x10, 0x10);
    Dmc.BytesRemaining = 0;
    write(0x4015, 0x10);  // already enabled: no restart
    EXPECT_EQ(Dmc.BytesRemaining, 0);

    write(0x4012, 0xFF);
    write(0x4013, 0xFF);
    dmc_start();
    EXPECT_EQ(Dmc.ReadPointer, PrgWindow + 0x4000 + 0xFF * 64);
    EXPECT_EQ(Dmc.BytesRemaining, 0xFF * 16 + 1);

    Dmc.IrqFlag = 1;
    write(0x4010, 0x8F);
    EXPECT_EQ(Dmc.IrqFlag, 1);
    EXPECT_EQ(Dmc.Rate, 54);
    EXPECT_EQ(read(0x4015) & 0x80, 0x80);
    write(0x4010, 0x40);
    EXPECT_EQ(Dmc.IrqFlag, 0);
    EXPECT_EQ(Dmc.Loop, 0x40);

    Dmc.IrqFlag = 1;
    write(0x4015, 0x00);  // any $4015 write clears it; the bytes stay
    EXPECT_EQ(Dmc.IrqFlag, 0);
    EXPECT_EQ(Dmc.BytesRemaining, 0xFF * 16 + 1);
    EXPECT_EQ(read(0x4015) & 0x10, 0);

    write(0x4011, 0x7F);
    EXPECT_EQ(Dmc.Level, 127);
}

TEST_F(ApuRegs, ResetZeroesTheChannelsAndBuildsTheNoiseSequence) {
    Square2.Timer = 5;
    Dmc.Enabled = 1;
    apu_reset();
    EXPECT_EQ(Square2.Timer, 0);
    EXPECT_EQ(Dmc.Enabled, 0);
    EXPECT_EQ(Dmc.ReadPointer, nullptr);
    const uint8_t want[] = {8, 4, 2, 1, 0, 128, 64};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(NoiseSequence[i], want[i]) << i;
}

}  // namespace
