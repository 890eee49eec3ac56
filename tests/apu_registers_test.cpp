// The console's tables, as the mix takes them from the writes. (What the CPU
// reads back, $4015 and the frame counter, is pinned by the apu_test
// cartridges.)
#include "apu/apu.h"
#include "tests/machine_fixture.h"

namespace {

using ApuRegs = PoweredMachine;

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
