// The console's tables, as the mix takes them from the writes. (What the CPU
// reads back, $4015 and the frame counter, is pinned by the apu_test
// cartridges.)
#include "apu/apu.h"
#include "tests/machine_fixture.h"

namespace {

using ApuRegs = PoweredMachine;

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
        write(0x4013, 0x01);  // a sample of 17 bytes, should the delta channel start
        write(0x4015, uint8_t(enable));
        if (length) write(length, 0x08);
        EXPECT_EQ(read(0x4015) & 0x1F, bit) << enable;
    }
}

TEST_F(ApuRegs, NoisePeriodAndDeltaRateTables) {
    apu_reset();
    write(0x400E, 0x8F);
    write(0x4010, 0x0D);
    int32_t mix[SamplesPerFrame];
    apu_mix(mix);
    EXPECT_EQ(Noise.ShortMode, 0x80);
    EXPECT_EQ(Noise.Period, 4068);
    EXPECT_EQ(Dmc.Rate, 84);
}

}  // namespace
