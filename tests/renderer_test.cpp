// What the pictures and the demos do not show, on memory set up by the test.
#include <cstring>

#include "ppu/ppu.h"
#include "ppu/surfaces.h"
#include "tests/machine_fixture.h"

namespace {

class Renderer : public PoweredMachine {
protected:
    void SetUp() override {
        PoweredMachine::SetUp();
        create_surfaces();
        std::memset(SpriteStrip.Pixels, 0, 512 * 16 * sizeof(uint32_t));
        lock_frame_surfaces();
        PpuRegisters.PpuMask = 0x1E;
        std::memset(PpuMemory + 0x0010, 0xFF, 8);  // tile 1, background and sprites: colour 1
        std::memset(NametablePageA, 1, 0x3C0);     // opaque background everywhere
    }
    void TearDown() override {
        unlock_frame_surfaces();
        PoweredMachine::TearDown();
    }
    static void draw_lines() {
        for (MachineState.Scanline = 0; MachineState.Scanline < 240; ++MachineState.Scanline)
            RenderBackgroundLine();
    }
};

// Sprite memory changed during the frame: a Y written through $2004 is filed
// under its new line; sprite 0 moved after the frame started gets no hit. And
// the background switched off blanks its lines.
TEST_F(Renderer, SpriteMemoryWrittenDuringTheFrameAndBackgroundOff) {
    write(0x2003, 4 * 6);
    write(0x2004, 30);
    MachineState.Scanline = 30;
    PickSpritesForLine();
    EXPECT_EQ(SpritePixels[8 * 6], SpriteKeyColour);  // tile 0 decoded
    const uint8_t sprite0[4] = {50, 1, 0x00, 0};
    std::memcpy(SpriteRam, sprite0, 4);
    BuildSpriteTables();
    SpriteRam[0] = 200;  // moved after the tables were built
    draw_lines();
    EXPECT_FALSE(PpuRegisters.PpuStatus & 0x40);
    PpuRegisters.PpuMask = 0x10;  // background off, over the lines just drawn
    draw_lines();
    for (int x = 0; x < 256; ++x) ASSERT_EQ(FramePixels[x], 0u);
}

}  // namespace
