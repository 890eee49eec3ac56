// The frame driver on small 6502 programs.
#include "core/frame.h"

#include <algorithm>
#include <array>

#include "core/console.h"
#include "cpu/n6502.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"
#include "tests/machine_fixture.h"

namespace {

class Frames : public PoweredMachine {
protected:
    void SetUp() override {
        PoweredMachine::SetUp();
        create_surfaces();
    }
    // Loads a program and resets into it.
    void boot(const std::vector<uint8_t>& code, uint16_t nmi = 0x8000) {
        ASSERT_TRUE(load_image(make_nrom(code, nmi)));
        cpu_reset();
        MachineState.Halted = 0;
    }
    static int32_t frame() {
        lock_frame_surfaces();
        int32_t r = run_frame();
        unlock_frame_surfaces();
        return r;
    }
};

// $8000: JMP $8000. $8010: NMI handler counting at $0010, then RTI.
const std::vector<uint8_t> kIdle = [] {
    std::vector<uint8_t> c(0x20, 0xEA);
    c[0] = 0x4C, c[1] = 0x00, c[2] = 0x80;
    c[0x10] = 0xE6, c[0x11] = 0x10, c[0x12] = 0x40;  // INC $10; RTI
    return c;
}();

TEST_F(Frames, HaltedMachineRunsNothing) {
    MachineState.Halted = 1;
    ncpu.rPC = 0x1234;
    EXPECT_EQ(run_frame(), 0);
    EXPECT_EQ(ncpu.rPC, 0x1234);
    EXPECT_EQ(ncpu.totalcycles, 0u);
}

TEST_F(Frames, EveryFrameGrantsTheConsolesFrame) {
    boot(kIdle, 0x8010);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(frame(), 0);
        // 262 lines of 341 picture dots, three dots a cycle: 29780 cycles.
        EXPECT_EQ(ncpu.totalcycles, uint32_t(i) * 29780);
        EXPECT_EQ(MachineState.Scanline, 240);
        EXPECT_EQ(MachineState.InVblank, 1u);
    }
    EXPECT_EQ(CpuRam[0x10], 0);  // NMI disabled: never taken
    write(0x2000, 0x80);
    frame();
    frame();
    EXPECT_EQ(CpuRam[0x10], 2);
}

TEST_F(Frames, StatusShowsNoVerticalBlankInTheVisibleLines) {
    boot({0xAD, 0x02, 0x20, 0x85, 0x20, 0x4C, 0x05, 0x80});  // LDA $2002; STA $20; spin
    PpuRegisters.PpuStatus = 0x80;                           // left from the last frame
    frame();
    EXPECT_EQ(CpuRam[0x20] & 0x80, 0);
}

// The vertical-blank bit comes before the NMI: a main loop polling $2002
// sees it every frame although the NMI handler's own read takes it away.
TEST_F(Frames, MainLoopPollingTheStatusSeesVerticalBlank) {
    std::vector<uint8_t> c(0x20, 0xEA);
    const uint8_t loop[] = {0x2C, 0x02, 0x20, 0x10, 0xFB,   // BIT $2002; BPL back
                            0xE6, 0x20, 0x4C, 0x00, 0x80};  // INC $20; JMP $8000
    std::copy(std::begin(loop), std::end(loop), c.begin());
    c[0x10] = 0x2C, c[0x11] = 0x02, c[0x12] = 0x20, c[0x13] = 0x40;  // BIT $2002; RTI
    boot(c, 0x8010);
    write(0x2000, 0x80);
    for (int i = 0; i < 5; ++i) frame();
    EXPECT_EQ(CpuRam[0x20], 5);
}

TEST_F(Frames, CpuFailureCountsOnlyInTheTrailingLines) {
    std::vector<uint8_t> c(0x400, 0xEA);
    c[0] = 0x4C, c[1] = 0x00, c[2] = 0x80;  // JMP $8000
    c[0x3FF] = 0x02;                        // NMI at $8010 runs NOPs into $83FF
    boot(c, 0x8010);
    ncpu.trapbadops = 0;
    EXPECT_EQ(frame(), 0);  // no NMI yet: the frame completes
    write(0x2000, 0x80);
    EXPECT_EQ(frame(), -1);
    // 2030 cycles of NOPs from the NMI: the stop in trailing line 258, none granted after.
    EXPECT_EQ(frame_cycle_of_line(241 + 18), 29511u);
    EXPECT_EQ(ncpu.totalcycles, 29780u + 29511);
    EXPECT_EQ(ncpu.rPC, 0x83FF);

    // An invalid opcode met during the visible lines does not end the frame.
    boot(std::vector<uint8_t>{0x02});
    ncpu.trapbadops = 0;
    EXPECT_EQ(frame(), -1);  // stuck: the first trailing line reports it
    EXPECT_EQ(ncpu.totalcycles, frame_cycle_of_line(240 + 2));
}

// (The line from which a sprite-0 hit is seen: the MidFrameSplit picture.)

// Whole frames through the console: eight sprites on a line set no overflow,
// nine do; sprites alone (background off) are shown.
TEST(Sprites, NineOnALineOverflowAndSpritesShowWithoutTheBackground) {
    for (int count : {8, 9}) {
        std::vector<uint8_t> c = {0xA9, 0x3F, 0x8D, 0x06, 0x20, 0xA9, 0x11, 0x8D, 0x06, 0x20,
                                  0xA9, 0x30, 0x8D, 0x07, 0x20,  // $3F11 = white
                                  0xA9, 0xFF, 0xA2, 0x00, 0x8D, 0x04, 0x20, 0xE8, 0xD0, 0xFA};
        for (int i = 0; i < count; ++i)  // at Y 50, tile 1, X 16 + 24 i
            for (uint8_t b : {uint8_t(50), uint8_t(1), uint8_t(0), uint8_t(16 + 24 * i)})
                c.insert(c.end(), {0xA9, b, 0x8D, 0x04, 0x20});
        c.insert(c.end(), {0xA9, 0x14, 0x8D, 0x01, 0x20,    // sprites only
                           0xA9, 0x80, 0x8D, 0x00, 0x20});  // NMI on
        const uint16_t spin = uint16_t(0x8000 + c.size());
        c.insert(c.end(), {0x4C, uint8_t(spin), uint8_t(spin >> 8)});
        const uint16_t nmi = uint16_t(0x8000 + c.size());
        c.insert(c.end(), {0xAD, 0x02, 0x20, 0x85, 0x10, 0x40});  // LDA $2002; STA $10; RTI
        std::vector<uint8_t> image = make_nrom(c, nmi);
        std::fill_n(image.begin() + 16 + 32768 + 16, 8, 0xFF);  // tile 1: colour 1
        reset_machine_globals();
        console_power_up();
        ASSERT_EQ(console_load_cartridge_image(image.data(), image.size()), nullptr);
        for (int f = 0; f < 3; ++f) console_run_frame();
        EXPECT_EQ(console_system_ram()[0x10] & 0x20, count > 8 ? 0x20 : 0) << count;
        const uint32_t* row = console_picture() + 55 * console_picture_pitch();
        EXPECT_EQ(row[16 + 3] & 0xFFFFFF, 0xFFFFFFu);
        console_shut_down();
    }
}

}  // namespace
