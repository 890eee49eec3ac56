// Register sequences of the picture unit, written through the CPU's bus.
#include "ppu/ppu.h"
#include "tests/machine_fixture.h"

namespace {

using PpuRegs = PoweredMachine;
PpuRegisterRecord& R = PpuRegisters;

TEST_F(PpuRegs, StatusReportsVerticalBlankOnEveryReadAndResetsTheToggles) {
    MachineState.InVblank = 1;
    EXPECT_EQ(read(0x2002) & 0x80, 0x80);
    EXPECT_EQ(read(0x2002) & 0x80, 0x80);
    MachineState.InVblank = 0;
    EXPECT_EQ(read(0x2002) & 0x80, 0);

    write(0x2006, 0x21);
    read(0x2002);
    write(0x2006, 0x23);  // a high byte again
    write(0x2006, 0x45);
    EXPECT_EQ(R.VramAddress, 0x2345);

    write(0x2005, 0x10);
    read(0x2002);
    write(0x2005, 0x20);  // horizontal again
    EXPECT_EQ(R.ScrollX, 0x20u);
}

TEST_F(PpuRegs, AddressWriteInVerticalBlankSetsTheScroll) {
    MachineState.InVblank = 1;
    set_address(0x2000);
    EXPECT_EQ(R.VramAddress, 0x2000);
    EXPECT_EQ(R.ScrollX, 0u);
    EXPECT_EQ(R.ScrollY, 2);  // bits 12-14 are the fine row
    EXPECT_EQ(R.PpuControl & 3, 0);
    set_address(0x2400);
    EXPECT_EQ(R.PpuControl & 3, 1);

    set_address(0x23C5);
    EXPECT_EQ(R.ScrollX, 40u);
    EXPECT_EQ(R.ScrollY, 242);  // no limit in vertical blank
    EXPECT_EQ(R.PpuControl & 3, 0);
    EXPECT_EQ(R.MidFrameAddressWrite, 0);
}

TEST_F(PpuRegs, MidFrameAddressWriteSplitsTheScrollAndFreezesControl) {
    MachineState.Scanline = 100;
    write(0x2000, 0x10);
    set_address(0x0BC0);  // fine row 0, coarse row 30, page 2
    EXPECT_EQ(R.ScrollY, 140);
    EXPECT_EQ(R.MidFrameAddressWrite, 1);
    EXPECT_EQ(R.PpuControl, 0x12);

    write(0x2000, 0x84);  // NMI and increment change, PpuControl does not
    EXPECT_EQ(R.PpuControl, 0x12);
    EXPECT_EQ(MachineState.NmiEnabled, 0x80u);
    EXPECT_EQ(R.VramIncrement, 32);

    set_address(0x1BC0);  // fine row 1: 241 becomes -1
    EXPECT_EQ(R.ScrollY, -101);
}

TEST_F(PpuRegs, SecondScrollWriteCountsOnlyInVerticalBlank) {
    R.ScrollY = 7;
    write(0x2005, 0x00);
    write(0x2005, 0x50);
    EXPECT_EQ(R.ScrollY, 7);
    EXPECT_EQ(R.ScrollToggle, 0);
    MachineState.InVblank = 1;
    write(0x2005, 0x00);
    write(0x2005, 250);
    EXPECT_EQ(R.ScrollY, -6);
    write(0x2005, 0x00);
    write(0x2005, 239);
    EXPECT_EQ(R.ScrollY, 239);
}

TEST_F(PpuRegs, DataReadsStartWithOneDummyReadExceptInThePalette) {
    PpuMemory[0x2100] = 0x11;
    PpuMemory[0x2101] = 0x22;
    PpuMemory[0x2120] = 0x33;
    set_address(0x2100);
    EXPECT_EQ(read(0x2007), 0);
    EXPECT_EQ(read(0x2007), 0x11);
    EXPECT_EQ(read(0x2007), 0x22);

    write(0x2000, 0x04);  // increments of 32
    set_address(0x2100);
    read(0x2007);
    EXPECT_EQ(read(0x2007), 0x11);
    EXPECT_EQ(read(0x2007), 0x33);

    write(0x2000, 0x00);
    PpuMemory[0x3F01] = 0x2A;
    set_address(0x3F01);
    EXPECT_EQ(read(0x2007), 0x2A);
    EXPECT_EQ(R.VramAddress, 0x3F01);  // the first palette read does not advance
    EXPECT_EQ(read(0x2007), 0x2A);
    EXPECT_EQ(R.VramAddress, 0x3F02);
}

TEST_F(PpuRegs, IncrementIsOneBeforeTheFirstControlWrite) {
    set_address(0x2000);
    write(0x2007, 0xAA);
    write(0x2007, 0xBB);
    EXPECT_EQ(PpuMemory[0x2000], 0xAA);
    EXPECT_EQ(PpuMemory[0x2001], 0xBB);
}

TEST_F(PpuRegs, AddressIsReducedTo14BitsOnAccess) {
    set_address(0x6005);  // $2005 after reduction
    write(0x2007, 0x5A);
    EXPECT_EQ(PpuMemory[0x2005], 0x5A);
    EXPECT_EQ(R.VramAddress, 0x2006);
}

TEST_F(PpuRegs, PaletteWritesMirrorTheBackdropAndMarkItsColour) {
    set_address(0x3F00);
    write(0x2007, 0x0F);
    EXPECT_EQ(BackdropPixel, 0x000000u);
    set_address(0x3F05);
    write(0x2007, 0x0F);
    write(0x2007, 0x16);
    EXPECT_EQ(PpuMemory[0x3F05], 0x0F + 65);
    EXPECT_EQ(PpuMemory[0x3F06], 0x16);
    set_address(0x3F05);
    EXPECT_EQ(read(0x2007), 0x50);

    set_address(0x3F04);
    write(0x2007, 0x0F);                 // dropped
    EXPECT_EQ(PpuMemory[0x3F04], 0x0F);  // it holds the backdrop already
    set_address(0x3F08);
    write(0x2007, 0x30);  // dropped: stays the backdrop
    EXPECT_EQ(PpuMemory[0x3F08], 0x0F);

    set_address(0x3F10);
    write(0x2007, 0x21 | 0xC0);  // only six bits count
    for (int i : {0, 4, 8, 12}) EXPECT_EQ(BackgroundPalette[i], 0x21) << i;
    EXPECT_EQ(BackdropPixel, 0x3FBFFFu);
    EXPECT_EQ(MasterPalette[0x21 + 65], 0x3FBFFFu | BackdropMarker);
    set_address(0x3F10);
    EXPECT_EQ(read(0x2007), 0x40);

    // Marking is decided when the entry is written.
    EXPECT_EQ(PpuMemory[0x3F05], 0x50);
}

TEST_F(PpuRegs, MasterPaletteHasTheColoursTheKeyAndTheMarkedCopies) {
    EXPECT_EQ(MasterPalette[0x00], 0x7F7F7Fu);
    EXPECT_EQ(MasterPalette[0x16], 0xF83800u);
    EXPECT_EQ(MasterPalette[0x3D], 0xF8D8F8u);
    EXPECT_EQ(MasterPalette[64], SpriteKeyColour);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(MasterPalette[i + 65], MasterPalette[i] | BackdropMarker);
    EXPECT_EQ(AttributeByteIndex[0], 0);
    EXPECT_EQ(AttributeByteIndex[32 * 29 + 31], 7 * 8 + 7);
    EXPECT_EQ(AttributeShift[2], 2);
    EXPECT_EQ(AttributeShift[64], 4);
    EXPECT_EQ(AttributeShift[66], 6);
}

TEST_F(PpuRegs, NametableArrangements) {
    CartridgeImage.VerticalMirroring = 0;
    set_address(0x2400);
    write(0x2007, 0x41);
    set_address(0x2000);
    read(0x2007);
    EXPECT_EQ(read(0x2007), 0x41);
    set_address(0x2C10);
    write(0x2007, 0x42);
    EXPECT_EQ(NametablePageB[0x10], 0x42);
    set_address(0x2810);
    read(0x2007);
    EXPECT_EQ(read(0x2007), 0x42);

    CartridgeImage.VerticalMirroring = 1;
    set_address(0x2805);
    write(0x2007, 0x43);
    EXPECT_EQ(NametablePageA[5], 0x43);
    set_address(0x2C05);
    write(0x2007, 0x44);
    EXPECT_EQ(NametablePageB[5], 0x44);
}

TEST_F(PpuRegs, SpriteMemoryWritesAndDma) {
    write(0x2003, 0xFE);
    write(0x2004, 1);
    write(0x2004, 2);
    write(0x2004, 3);
    EXPECT_EQ(SpriteRam[0xFE], 1);
    EXPECT_EQ(SpriteRam[0xFF], 2);
    EXPECT_EQ(SpriteRam[0x00], 3);

    for (int i = 0; i < 256; ++i) CpuRam[0x200 + i] = uint8_t(i ^ 0x5A);
    write(0x4014, 0x0A);  // 10 AND 7 = 2
    EXPECT_EQ(SpriteRam[0], 0x5A);
    EXPECT_EQ(SpriteRam[255], 0xFF ^ 0x5A);
    EXPECT_EQ(R.OamAddress, 1);  // the copy leaves the address alone

    PrgWindow[0x7F00] = 0x77;
    write(0x4014, 0xFF);
    EXPECT_EQ(SpriteRam[0], 0x77);

    SaveRam[0x100] = 0x66;
    write(0x4014, 0x61);
    EXPECT_EQ(SpriteRam[0], 0x66);

    write(0x4014, 0x30);
    EXPECT_EQ(SpriteRam[0], 0);
}

}  // namespace
