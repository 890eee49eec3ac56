// Bank switching on small images built in the test: every 8 KB PRG unit is
// filled with its number, every 1 KB CHR unit with its number | $80.
#include "cpu/n6502.h"
#include "ppu/ppu.h"
#include "tests/machine_fixture.h"

namespace {

class Mappers : public PoweredMachine {
protected:
    // The 16 KB bank in a half of the PRG window (0: $8000, 1: $C000).
    static int prg16(int half) {
        uint8_t lo = PrgWindow[half * 0x4000], hi = PrgWindow[half * 0x4000 + 0x2000];
        return lo % 2 == 0 && hi == lo + 1 ? lo / 2 : -1;
    }
    static int chr1k(uint32_t offset) { return PpuMemory[offset] & 0x7F; }
    // Five serial writes of the low five bits of v.
    static void mmc1(uint16_t address, uint8_t v) {
        for (int i = 0; i < 5; ++i) write(address, (v >> i) & 1);
    }
};

// What the mapper cartridges do not reach: MMC1 bank numbers past the image, the large MMC1.
TEST_F(Mappers, BankNumbersBeyondTheImageStayInside) {
    ASSERT_TRUE(load_image(make_ines(2, 1, 0x10)));
    write(0x8000, 0x80);
    // {register, value, mode ($8000), expected prg16(0), prg16(1), chr1k(0), chr1k($1000)}
    const int cases[][7] = {{0xE000, 15, -1, 1, 1, 0, 4},     // bank 15 of 2
                            {0xE000, 14, 0x00, 0, 1, 0, 4},   // pair 7 of a 32 KB image
                            {0xA000, 31, 0x00, 0, 1, 4, 0}};  // 8 KB from 4 KB bank 31 of 2
    for (const auto& c : cases) {
        if (c[2] >= 0) mmc1(0x8000, uint8_t(c[2]));
        mmc1(uint16_t(c[0]), uint8_t(c[1]));
        EXPECT_EQ(prg16(0), c[3]) << c[1];
        EXPECT_EQ(prg16(1), c[4]) << c[1];
        EXPECT_EQ(chr1k(0x0000), c[5]) << c[1];
        EXPECT_EQ(chr1k(0x1000), c[6]) << c[1];
    }
    ASSERT_TRUE(load_image(make_ines(2, 0, 0x10)));  // CHR RAM
    PpuMemory[0x0000] = 0x5A;
    mmc1(0xA000, 1);
    EXPECT_EQ(PpuMemory[0x0000], 0x5A);
}

TEST_F(Mappers, Mmc1LargeImageSelectsTheOuterBankThroughTheChrRegister) {
    ASSERT_TRUE(load_image(make_ines(32, 0, 0x10)));
    EXPECT_EQ(Mmc1LargePrg, 1);
    EXPECT_EQ(prg16(1), 31);
    write(0x8000, 0x80);
    // The PPU address picks the outer bank; from $2000 up it keeps the last one.
    for (auto [address, outer] : {std::pair{0x1000, 0}, {0x0000, 0x10}, {0x2000, 0x10}}) {
        set_address(uint16_t(address));
        mmc1(0xC000, 0);
        EXPECT_EQ(Mmc1PrgOuter, outer) << address;
        if (outer) {
            mmc1(0xE000, 1);
            EXPECT_EQ(prg16(0), 17);
        }
    }
    ASSERT_TRUE(load_image(make_ines(16, 0, 0x10)));
    EXPECT_EQ(Mmc1LargePrg, 0);
}

}  // namespace
