// The bus map, the joypad port, power-up and reset. (Save RAM and PRG writes: the battery
// and mapper cartridges; the picture unit's data latch: the ppu_open_bus cartridge.)
#include <cstring>
#include <string>

#include "apu/apu.h"
#include "cpu/n6502.h"
#include "ppu/ppu.h"
#include "tests/machine_fixture.h"

namespace {

using Bus = PoweredMachine;
using Power = PoweredMachine;

TEST_F(Bus, PictureRegistersRepeatEveryEightBytes) {
    write(0x2008, 0x80);
    write(0x3FF9, 0x1E);
    EXPECT_EQ(PpuRegisters.PpuControl, 0x80);
    EXPECT_EQ(PpuRegisters.PpuMask, 0x1E);
}

TEST_F(Bus, SoundAreaAnswersOnlyStatusAndJoypad) {
    for (uint32_t a = 0x4000; a < 0x6000; ++a) {
        if (a == 0x4015 || a == 0x4016) continue;
        ASSERT_EQ(read(a), 0) << std::hex << a;
    }
    EXPECT_EQ(read(0x4015), 0);
}

// Two pads on one strobe: each port shifts out its own eight buttons, reads of
// one never move the other, and the ninth read starts over.
TEST_F(Bus, TwoPadsShiftOutEightButtonsEachOnOneStrobe) {
    MachineState.JoypadBits = 0xA5;   // A, Select, Down, Right
    MachineState.Joypad2Bits = 0x3A;  // B, Start, Up, Down
    write(0x4016, 1);
    write(0x4016, 0);
    std::string got;
    for (uint32_t port : {0x4016, 0x4017, 0x4017, 0x4016, 0x4017, 0x4017, 0x4017, 0x4017, 0x4016,
                          0x4016, 0x4017, 0x4017, 0x4017, 0x4016, 0x4016, 0x4016, 0x4016, 0x4016})
        got += char('0' + read(port));
    EXPECT_EQ(got, "101001111000001011");
    // Only a write of bit 0 clear after one with it set starts over, both pads at once.
    const uint32_t shift = MachineState.JoypadShift;
    write(0x4016, 1);
    write(0x4016, 2);
    write(0x4017, 0);
    EXPECT_EQ(MachineState.JoypadShift, shift);
    EXPECT_EQ(MachineState.Joypad2Shift, 1u);
    write(0x4016, 0);
    EXPECT_EQ(MachineState.JoypadShift + MachineState.Joypad2Shift, 0u);
}

TEST_F(Power, EmptyNameComesUpHaltedWithClearedMemories) {
    EXPECT_EQ(MachineState.Halted, 1);
    for (uint32_t i = 0; i < CpuRamSize; ++i) ASSERT_EQ(CpuRam[i], 0);
    for (uint32_t i = 0; i < SaveRamSize; ++i) ASSERT_EQ(SaveRam[i], 0);
    EXPECT_EQ(ncpu.rS, 0);  // not reset
    EXPECT_EQ(SpritePalette[0], 0x40);
}

// (The memories' surviving a reset: the reset cartridge, QelRun.ResetRequest.)
TEST_F(Power, ResetTakesTheVectorAndKeepsEverythingElse) {
    std::vector<uint8_t> image = make_ines(1, 1, 0x00);
    image[16 + 0x3FFC] = 0x34;  // reset vector of the only bank
    image[16 + 0x3FFD] = 0x92;
    CpuRam[0x10] = 0x77;
    ncpu.rA = 9;
    Square1.Enabled = 1;
    ASSERT_TRUE(load_image(image));
    cpu_reset();
    EXPECT_EQ(ncpu.rPC, 0x9234);
    EXPECT_EQ(ncpu.rS, 0xFF);
    EXPECT_EQ(ncpu.rF, 0x26);
    EXPECT_EQ(ncpu.rA, 0);
    EXPECT_EQ(Square1.Enabled, 0);
    EXPECT_EQ(CpuRam[0x10], 0x77);
}

}  // namespace
