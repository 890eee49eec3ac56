// Sound register writes, the $4015 status and the reset.
#include "apu/apu.h"
#include "tests/machine_fixture.h"

namespace {

using ApuRegs = PoweredMachine;

TEST_F(ApuRegs, LengthLoadsOnlyWhileEnabled) {
    apu_reset();
    write(0x4002, 0x34);
    write(0x4003, 0x0D);  // disabled: the period, not the length
    EXPECT_EQ(Square1.Period, 0x534);
    EXPECT_EQ(Square1.Length, 0);
    write(0x4015, 0x01);
    EXPECT_EQ(read(0x4015) & 1, 0);  // enabling loads nothing

    write(0x4003, 0x08 | 0x02);  // length index 1
    EXPECT_EQ(Square1.Length, 254);
    EXPECT_EQ(read(0x4015) & 1, 1);
    write(0x4015, 0x00);
    EXPECT_EQ(Square1.Length, 0);
    EXPECT_EQ(read(0x4015) & 1, 0);
}

// Each channel that still sounds answers in its own bit of $4015.
TEST_F(ApuRegs, StatusNamesEachSoundingChannel) {
    // {enable, the register that loads its length, the bit read}
    const uint16_t channels[][3] = {{0x01, 0x4003, 0x01},
                                    {0x02, 0x4007, 0x02},
                                    {0x04, 0x400B, 0x04},
                                    {0x08, 0x400F, 0x08},
                                    {0x10, 0x0000, 0x10}};
    for (auto [enable, length, bit] : channels) {
        apu_reset();
        write(0x4015, uint8_t(enable));
        if (length) write(length, 0x08);
        EXPECT_EQ(read(0x4015) & 0x1F, bit) << enable;
    }
}

TEST_F(ApuRegs, NoisePeriodAndDeltaRateTables) {
    apu_reset();
    write(0x400E, 0x8F);
    EXPECT_EQ(Noise.ShortMode, 0x80);
    EXPECT_EQ(Noise.Period, 4068);
    write(0x4010, 0x0D);
    EXPECT_EQ(Dmc.Rate, 84);
}

TEST_F(ApuRegs, DeltaChannelStartsWhenIdleAndClearsItsInterrupt) {
    apu_reset();
    write(0x4012, 0);
    write(0x4013, 0);
    write(0x4015, 0x10);
    EXPECT_EQ(Dmc.ReadPointer, PrgWindow + 0x4000);
    EXPECT_EQ(Dmc.BytesRemaining, 1);
    EXPECT_EQ(read(0x4015) & 0x10, 0x10);
    write(0x4012, 0xFF);
    write(0x4013, 0xFF);
    write(0x4015, 0x10);  // still playing: no restart
    EXPECT_EQ(Dmc.BytesRemaining, 1);
    Dmc.BytesRemaining = 0;
    write(0x4015, 0x10);
    EXPECT_EQ(Dmc.ReadPointer, PrgWindow + 0x4000 + 0xFF * 64);
    EXPECT_EQ(Dmc.BytesRemaining, 0xFF * 16 + 1);

    Dmc.IrqFlag = 1;
    write(0x4010, 0x8F);
    EXPECT_EQ(Dmc.IrqFlag, 1);
    EXPECT_EQ(read(0x4015) & 0x80, 0x80);
    write(0x4010, 0x40);
    EXPECT_EQ(Dmc.IrqFlag, 0);
    Dmc.IrqFlag = 1;
    write(0x4015, 0x10);  // any $4015 write clears it
    EXPECT_EQ(Dmc.IrqFlag, 0);

    write(0x4011, 0xFF);
    EXPECT_EQ(Dmc.Level, 127);
}

}  // namespace
