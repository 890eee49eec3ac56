// Register sequences of the picture unit, written through the CPU's bus.
#include <tuple>
#include <utility>

#include "ppu/ppu.h"
#include "tests/machine_fixture.h"

namespace {

using PpuRegs = PoweredMachine;
PpuRegisterRecord& Regs = PpuRegisters;

TEST_F(PpuRegs, StatusReadTakesTheVerticalBlankBitAndResetsTheToggles) {
    Regs.PpuStatus = 0xC0;
    EXPECT_EQ(read(0x2002), 0xC0);
    EXPECT_EQ(read(0x2002), 0x40);
    EXPECT_EQ(MachineState.InVblank, 0u);  // the machine's own notion stays

    write(0x2006, 0x21);
    read(0x2002);
    write(0x2006, 0x23);             // a high byte again
    EXPECT_EQ(Regs.VramAddress, 0);  // which alone does not move the address
    write(0x2006, 0x45);
    EXPECT_EQ(Regs.VramAddress, 0x2345);

    write(0x2005, 0x10);
    read(0x2002);
    write(0x2005, 0x20);  // horizontal again
    EXPECT_EQ(Regs.ScrollX, 0x20u);
    write(0x2006, 0x67);  // $2005 and $2006 share the toggle: a low byte
    EXPECT_EQ(Regs.VramAddress, 0x2367);
}

TEST_F(PpuRegs, AddressWriteInVerticalBlankSetsTheScroll) {
    MachineState.InVblank = 1;
    // Bits 12-14 are the fine row; no limit on the row in vertical blank.
    // {address, scroll x, scroll y, page}
    for (auto [address, x, y, page] :
         {std::tuple{0x2000, 0u, 2, 0}, {0x2400, 0u, 2, 1}, {0x23C5, 40u, 242, 0}}) {
        set_address(uint16_t(address));
        EXPECT_EQ(Regs.VramAddress, address);
        EXPECT_EQ(std::tuple(Regs.ScrollX, Regs.ScrollY, Regs.PpuControl & 3),
                  std::tuple(x, y, page))
            << address;
    }
    EXPECT_EQ(Regs.MidFrameAddressWrite, 0);
}

// $2000 and $2005 build the address that a lone second $2006 write completes:
// page, fine row and rows from them, the low byte from $2006.
TEST_F(PpuRegs, ScrollWritesBuildTheAddressOfTheSecondAddressWrite) {
    MachineState.InVblank = 1;
    write(0x2000, 0x02);
    write(0x2005, 0x38);
    write(0x2005, 0x5D);  // fine row 5, row 11
    write(0x2005, 0x38);  // a first write: the next $2006 write is a second one
    write(0x2006, 0x40);  // rows 8-10 of the low byte: row 10
    EXPECT_EQ(Regs.VramAddress, 0x5940);
    EXPECT_EQ(std::tuple(Regs.ScrollX, Regs.ScrollY, Regs.PpuControl & 3), std::tuple(0u, 85, 2));
}

TEST_F(PpuRegs, MidFrameAddressWriteSplitsTheScrollAndFreezesThePage) {
    MachineState.Scanline = 100;
    write(0x2001, 0x08);
    write(0x2000, 0x10);
    set_address(0x0BC0);  // fine row 0, coarse row 30, page 2
    EXPECT_EQ(std::tuple(Regs.ScrollY, Regs.MidFrameAddressWrite, Regs.PpuControl),
              std::tuple(140, 1, 0x12));
    write(0x2000, 0x85);  // everything changes but the page
    EXPECT_EQ(std::tuple(Regs.PpuControl, MachineState.NmiEnabled, Regs.VramIncrement),
              std::tuple(0x86, 0x80u, 32));

    set_address(0x1BC0);  // fine row 1: 241 becomes -1
    EXPECT_EQ(Regs.ScrollY, -101);
}

TEST_F(PpuRegs, AddressSetWithRenderingOffSplitsOnlyWhenRenderingComesBack) {
    Regs.ScrollY = 7;
    MachineState.Scanline = 100;
    write(0x2000, 0x10);
    set_address(0x2000);  // an upload's address: no split, no frozen control
    write(0x2007, 0x55);
    write(0x2000, 0x11);
    // The next frame starts from it (fine row 2).
    EXPECT_EQ(
        std::tuple(Regs.ScrollY, Regs.MidFrameAddressWrite, Regs.PpuControl, Regs.FrameScrollY),
        std::tuple(7, 0, 0x11, 2));

    set_address(0x0140);  // rows 80 on, then rendering again in line 104
    MachineState.Scanline = 104;
    write(0x2001, 0x18);
    EXPECT_EQ(Regs.ScrollY, 80 - 100);  // from the line of the address write
    EXPECT_EQ(Regs.MidFrameAddressWrite, 1);

    PpuStartFrame();
    EXPECT_EQ(Regs.ScrollY, 80);  // a split lasts for its frame
    write(0x2001, 0x00);
    set_address(0x0000);
    PpuStartFrame();  // rendering comes back in a later frame, in line 33
    MachineState.Scanline = 33;
    write(0x2001, 0x08);
    EXPECT_EQ(Regs.ScrollY, -33);
}

TEST_F(PpuRegs, SecondScrollWriteCountsOnlyInVerticalBlank) {
    Regs.ScrollY = 7;
    write(0x2005, 0x00);
    write(0x2005, 0x50);
    EXPECT_EQ(Regs.ScrollY, 7);
    EXPECT_EQ(Regs.ScrollToggle, 0);
    MachineState.InVblank = 1;
    // 240 is the first value taken as negative.
    for (auto [value, want] : {std::pair{250, -6}, {239, 239}, {240, -16}}) {
        write(0x2005, 0x00);
        write(0x2005, uint8_t(value));
        EXPECT_EQ(Regs.ScrollY, want) << value;
    }
}

// (Palette RAM, VRAM reads and the nametables' arrangements: the palette_ram
// and vram_access pictures and the MMC1 cartridge's mirroring check.)
// The address steps by 1 before the first control write.
TEST_F(PpuRegs, DataAccessIsBy14BitAddressesAndPatternWritesNeedChrRam) {
    set_address(0x6005);  // $2005 after reduction
    write(0x2007, 0xAA);
    write(0x2007, 0xBB);
    EXPECT_EQ(std::tuple(PpuMemory[0x2005], PpuMemory[0x2006], Regs.VramAddress),
              std::tuple(0xAA, 0xBB, 0x2007));
    for (uint32_t chr_banks : {1u, 0u}) {
        CartridgeImage.ChrBanks = chr_banks;
        PpuMemory[0x0010] = 0xFF;
        set_address(0x0010);
        write(0x2007, 0x00);  // dropped over CHR ROM; the address still moves on
        EXPECT_EQ(PpuMemory[0x0010], chr_banks ? 0xFF : 0x00);
        EXPECT_EQ(Regs.VramAddress, 0x0011);
    }
}

// A palette entry equal to the backdrop's colour is stored marked (+65), as
// the entry is written; $3F04/8/C stay the backdrop.
TEST_F(PpuRegs, PaletteWritesMirrorTheBackdropAndMarkItsColour) {
    set_address(0x3F00);
    write(0x2007, 0x0F);
    EXPECT_EQ(BackdropPixel, 0x000000u);
    set_address(0x3F05);
    write(0x2007, 0x0F);
    write(0x2007, 0x16);
    EXPECT_EQ(PpuMemory[0x3F05], 0x0F + 65);
    EXPECT_EQ(PpuMemory[0x3F06], 0x16);
    set_address(0x3F08);
    write(0x2007, 0x30);
    EXPECT_EQ(PpuMemory[0x3F08], 0x0F);
    set_address(0x3FF0);         // $3F10, through the repeats of $3F00-$3F1F
    write(0x2007, 0x21 | 0xC0);  // only six bits count
    for (int i : {0, 4, 8, 12}) EXPECT_EQ(BackgroundPalette[i], 0x21) << i;
    EXPECT_EQ(BackdropPixel, 0x3FBFFFu);
    EXPECT_EQ(PpuMemory[0x3F05], 0x50);
}

TEST_F(PpuRegs, SpriteDmaSources) {
    for (int i = 0; i < 256; ++i) CpuRam[0x200 + i] = uint8_t(i ^ 0x5A);
    PrgWindow[0x7F00] = 0x77;
    SaveRam[0x100] = 0x66;
    // RAM page $0A (10 AND 7 = 2), the cartridge's ROM and RAM; $3000 gives zeros.
    for (auto [page, first] : {std::pair{0x0A, 0x5A}, {0xFF, 0x77}, {0x61, 0x66}, {0x30, 0}}) {
        write(0x4014, uint8_t(page));
        EXPECT_EQ(SpriteRam[0], first) << page;
    }
    write(0x4014, 0x02);
    EXPECT_EQ(SpriteRam[255], 0xFF ^ 0x5A);
}

}  // namespace
