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
    static int prg8(uint32_t offset) { return PrgWindow[offset]; }
    static int chr1k(uint32_t offset) { return PpuMemory[offset] & 0x7F; }
    // Five serial writes of the low five bits of v.
    static void mmc1(uint16_t address, uint8_t v) {
        for (int i = 0; i < 5; ++i) write(address, (v >> i) & 1);
    }
};

TEST_F(Mappers, NromMirrorsA16KbImageAndFillsA32KbOneInOrder) {
    ASSERT_TRUE(load_image(make_ines(1, 1, 0x01)));
    EXPECT_EQ(prg16(0), 0);
    EXPECT_EQ(prg16(1), 0);
    EXPECT_EQ(chr1k(0x1C00), 7);
    EXPECT_EQ(CartridgeImage.VerticalMirroring, 1u);
    ASSERT_TRUE(load_image(make_ines(2, 1, 0x00)));
    EXPECT_EQ(prg16(0), 0);
    EXPECT_EQ(prg16(1), 1);
    EXPECT_EQ(MachineState.CyclesPerLine, 113u);
}

TEST_F(Mappers, Mmc1SerialWritesResetAndPrgModes) {
    ASSERT_TRUE(load_image(make_ines(8, 4, 0x10)));
    EXPECT_EQ(prg16(0), 0);
    EXPECT_EQ(prg16(1), 7);
    EXPECT_EQ(MachineState.CyclesPerLine, 150u);
    EXPECT_EQ(Mmc1LargePrg, 0);

    write(0x8000, 0x80);  // reset: 16 KB mode switching $8000
    write(0xE000, 1);
    write(0xE000, 1);
    write(0xE000, 0x80);  // discards the two bits
    for (uint8_t bit : {0, 1, 0, 0, 0}) write(0xE000, bit);
    EXPECT_EQ(prg16(0), 2);
    EXPECT_EQ(prg16(1), 7);
    EXPECT_EQ(Mmc1Count, 0);

    mmc1(0x8000, 0x0C);  // switch $8000... bit 2 set: target $8000, 16 KB
    EXPECT_EQ(Mmc1PrgTarget, 0);
    mmc1(0x8000, 0x08);  // bit 2 clear: target $C000
    EXPECT_EQ(Mmc1PrgTarget, 0x4000);
    mmc1(0xE000, 5);
    EXPECT_EQ(prg16(1), 5);
    EXPECT_EQ(prg16(0), 2);  // the other half stays

    mmc1(0x8000, 0x00);  // 32 KB mode, vertical mirroring
    EXPECT_EQ(CartridgeImage.VerticalMirroring, 1u);
    mmc1(0xE000, 3);  // pair 1: banks 2 and 3
    EXPECT_EQ(prg16(0), 2);
    EXPECT_EQ(prg16(1), 3);
    mmc1(0x8000, 0x01);
    EXPECT_EQ(CartridgeImage.VerticalMirroring, 0u);
}

TEST_F(Mappers, Mmc1ChrBanksIn4And8KbUnits) {
    ASSERT_TRUE(load_image(make_ines(2, 4, 0x10)));
    mmc1(0x8000, 0x10);  // 4 KB CHR
    mmc1(0xA000, 3);
    mmc1(0xC000, 6);
    EXPECT_EQ(chr1k(0x0000), 12);
    EXPECT_EQ(chr1k(0x1000), 24);
    mmc1(0x8000, 0x00);  // 8 KB from an odd 4 KB boundary
    mmc1(0xA000, 3);
    EXPECT_EQ(chr1k(0x0000), 12);
    EXPECT_EQ(chr1k(0x1000), 16);
    mmc1(0xC000, 1);  // CHR bank 1 in 8 KB mode: no effect
    EXPECT_EQ(chr1k(0x1000), 16);
}

TEST_F(Mappers, Mmc1BankNumbersBeyondTheImageStayInside) {
    ASSERT_TRUE(load_image(make_ines(2, 1, 0x10)));
    write(0x8000, 0x80);
    mmc1(0xE000, 15);  // bank 15 of 2
    EXPECT_EQ(prg16(0), 1);
    mmc1(0x8000, 0x00);
    mmc1(0xE000, 14);  // pair 7 of a 32 KB image
    EXPECT_EQ(prg16(0), 0);
    EXPECT_EQ(prg16(1), 1);
    mmc1(0xA000, 31);  // 8 KB from 4 KB bank 31 of 2
    EXPECT_EQ(chr1k(0x0000), 4);
    EXPECT_EQ(chr1k(0x1000), 0);

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
    set_address(0x0000);
    mmc1(0xC000, 0);
    EXPECT_EQ(Mmc1PrgOuter, 0x10);
    mmc1(0xE000, 1);
    EXPECT_EQ(prg16(0), 17);
    set_address(0x1000);
    mmc1(0xC000, 0);
    EXPECT_EQ(Mmc1PrgOuter, 0);
    set_address(0x2000);
    mmc1(0xC000, 0);
    EXPECT_EQ(Mmc1PrgOuter, 0);
    ASSERT_TRUE(load_image(make_ines(16, 0, 0x10)));
    EXPECT_EQ(Mmc1LargePrg, 0);
}

TEST_F(Mappers, UxromSwitchesTheLowHalfAndIgnoresBanksPastTheImage) {
    ASSERT_TRUE(load_image(make_ines(4, 0, 0x20)));
    EXPECT_EQ(prg16(1), 3);
    write(0x8000, 2);
    EXPECT_EQ(prg16(0), 2);
    write(0xC000, 4);  // equal to PrgBanks: nothing
    EXPECT_EQ(prg16(0), 2);
    EXPECT_EQ(prg16(1), 3);
}

TEST_F(Mappers, CnromMasksBanksAndNeedsChrRom) {
    ASSERT_TRUE(load_image(make_ines(1, 4, 0x30)));
    write(0x8000, 5);
    EXPECT_EQ(chr1k(0), 8);
    write(0x8000, 3);
    EXPECT_EQ(chr1k(0), 24);
    ASSERT_TRUE(load_image(make_ines(1, 0, 0x30)));
    PpuMemory[0] = 0x11;
    write(0x8000, 1);
    EXPECT_EQ(PpuMemory[0], 0x11);
}

TEST_F(Mappers, Mmc3PrgModesAndBankData) {
    ASSERT_TRUE(load_image(make_ines(8, 8, 0x40)));  // 16 units of 8 KB
    EXPECT_EQ(prg8(0x0000), 0);
    EXPECT_EQ(prg8(0x4000), 14);
    EXPECT_EQ(prg8(0x6000), 15);
    EXPECT_EQ(Mmc3FixedLayout, 1);

    write(0x8002, 0x46);  // not a register
    write(0x9FFF, 0x46);
    EXPECT_EQ(prg8(0x0000), 0);

    write(0x8000, 0x40);  // mode 1: second-to-last bank to $8000
    EXPECT_EQ(prg8(0x0000), 14);
    PrgWindow[0] = 0xEE;
    write(0x8000, 0x40);  // already mode 1: no copy
    EXPECT_EQ(PrgWindow[0], 0xEE);
    write(0x8000, 0x46);
    write(0x8001, 5);  // R6 fills $C000 in mode 1
    EXPECT_EQ(prg8(0x4000), 5);
    write(0x8000, 0x07);  // mode 0: last 16 KB back to $C000
    EXPECT_EQ(prg8(0x4000), 14);
    EXPECT_EQ(prg8(0x6000), 15);
    write(0x8001, 0x13);  // R7: 19 AND 15 = 3 at $A000
    EXPECT_EQ(prg8(0x2000), 3);
    write(0x8000, 0x06);
    write(0x8001, 9);
    EXPECT_EQ(prg8(0x0000), 9);

    write(0xA000, 0);
    EXPECT_EQ(CartridgeImage.VerticalMirroring, 1u);
    write(0xA000, 1);
    EXPECT_EQ(CartridgeImage.VerticalMirroring, 0u);
}

TEST_F(Mappers, Mmc3ChrBanksAndInversion) {
    ASSERT_TRUE(load_image(make_ines(2, 8, 0x40)));  // 64 units of 1 KB
    write(0x8000, 0);
    write(0x8001, 7);  // 2 KB bank: low bit ignored
    EXPECT_EQ(chr1k(0x0000), 6);
    EXPECT_EQ(chr1k(0x0400), 7);
    write(0x8000, 5);
    write(0x8001, 0x41);  // 65 AND 63 = 1
    EXPECT_EQ(chr1k(0x1C00), 1);
    write(0x8000, 0x82);          // inverted: R2 fills $0000
    EXPECT_EQ(chr1k(0x1C00), 1);  // a change of inversion copies nothing
    write(0x8001, 40);
    EXPECT_EQ(chr1k(0x0000), 40);
    write(0x8000, 0x81);
    write(0x8001, 10);
    EXPECT_EQ(chr1k(0x1800), 10);
    EXPECT_EQ(chr1k(0x1C00), 11);

    ASSERT_TRUE(load_image(make_ines(2, 0, 0x40)));  // CHR RAM
    PpuMemory[0x400] = 0x22;
    write(0x8000, 3);
    write(0x8001, 1);
    EXPECT_EQ(PpuMemory[0x400], 0x22);
}

class Mmc3Irq : public Mappers {
protected:
    void SetUp() override {
        Mappers::SetUp();
        std::vector<uint8_t> image = make_ines(2, 1, 0x40);
        image[16 + 0x7FFE] = 0x00;  // IRQ vector $E000
        image[16 + 0x7FFF] = 0xE0;
        ASSERT_TRUE(load_image(image));
        cpu_reset();
        ncpu.rPC = 0x8000;
    }
    // Ticks a frame's visible lines; returns the lines whose tick took the IRQ.
    static std::vector<int> frame(uint8_t interrupt_disable) {
        std::vector<int> lines;
        mmc3_vblank_reload();
        for (int line = 0; line < 240; ++line) {
            ncpu.rF = uint8_t(0x22 | interrupt_disable);
            uint8_t s = ncpu.rS;
            mmc3_line_tick();
            if (ncpu.rS != s) {
                lines.push_back(line);
                ncpu.rS = s;
            }
        }
        return lines;
    }
};

TEST_F(Mmc3Irq, Latch10InterruptsEveryTenthLine) {
    write(0xC001, 10);
    write(0xE001, 0);
    std::vector<int> want;
    for (int l = 10; l < 240; l += 10) want.push_back(l);
    EXPECT_EQ(frame(0), want);
    EXPECT_EQ(ncpu.rPC, 0xE000);
    EXPECT_EQ(frame(0), want);  // the vertical blank reload starts over
}

TEST_F(Mmc3Irq, RequestsWhileMaskedAreLostButTheCounterReloads) {
    write(0xC001, 10);
    write(0xE001, 0);
    EXPECT_TRUE(frame(0x04).empty());
    EXPECT_EQ(Mmc3Counter, 0);  // without the reloads it would have run down to 26
}

TEST_F(Mmc3Irq, LatchZeroInterruptsOnceAndDisableStopsIt) {
    write(0xC001, 0);
    write(0xE001, 0);
    EXPECT_EQ(frame(0), std::vector<int>{0});
    write(0xE000, 0);
    EXPECT_TRUE(frame(0).empty());
}

TEST_F(Mmc3Irq, OnlyMapper4Counts) {
    ASSERT_TRUE(load_image(make_ines(2, 1, 0x00)));
    Mmc3Counter = 0;
    Mmc3IrqEnabled = 1;
    mmc3_line_tick();
    mmc3_vblank_reload();
    EXPECT_EQ(Mmc3Counter, 0);
}

}  // namespace
