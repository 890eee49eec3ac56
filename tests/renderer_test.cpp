// What the pictures and the demos do not show: a negative vertical scroll,
// the background switched off, sprite order, sprites at the bottom edge,
// sprite Y written through $2004 and sprite 0 moved during the frame.
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
        BackgroundPalette[1] = 0x16;
        SpritePalette[1] = 0x05;
        SpritePalette[2] = 0x15;
        BackdropPixel = MasterPalette[BackgroundPalette[0]];
        PpuRegisters.PpuControl = 0x08;            // sprites from $1000
        std::memset(PpuMemory + 0x0010, 0xFF, 8);  // tile 1 of both tables: colour 1
        std::memset(PpuMemory + 0x1010, 0xFF, 8);
        std::memset(PpuMemory + 0x1028, 0xFF, 8);  // tile 2 of $1000: colour 2
    }
    void TearDown() override {
        unlock_frame_surfaces();
        PoweredMachine::TearDown();
    }
    static uint32_t* line(int y) { return FramePixels + y * FramePitch; }
    static void draw_line(int y) {
        MachineState.Scanline = y;
        RenderBackgroundLine();
    }
    static void sprite(int i, uint8_t y, uint8_t tile, uint8_t attr, uint8_t x) {
        const uint8_t bytes[4] = {y, tile, attr, x};
        std::memcpy(SpriteRam + 4 * i, bytes, 4);
        SpriteMemoryChanged();
    }
    static void draw_frame() {
        BuildSpriteTables();
        for (int y = 0; y < 240; ++y) draw_line(y);  // picks each line's sprites too
        unlock_frame_surfaces();
        update_behind_key();
        CompositeSprites();
        lock_frame_surfaces();
    }
};

// Above the page (a negative scroll) lie its rows 30 and 31, the attribute bytes.
TEST_F(Renderer, NegativeScrollShowsTheAttributeRowsAndTheMaskBlanks) {
    std::memset(NametablePageA + 0x3C0, 1, 64);
    PpuRegisters.ScrollY = -16;
    draw_line(0);
    EXPECT_EQ(line(0)[0], MasterPalette[0x16]);
    draw_line(16);
    EXPECT_EQ(line(16)[0], BackdropPixel);
    PpuRegisters.PpuMask = 0x10;  // background off
    draw_line(0);
    for (int x = 0; x < 256; ++x) ASSERT_EQ(line(0)[x], 0u);
}

TEST_F(Renderer, LowerNumberedSpritesLieOnTopAndEdgesClip) {
    sprite(3, 50, 1, 0x00, 100);
    sprite(7, 50, 2, 0x00, 104);
    sprite(0, 235, 1, 0x00, 252);
    sprite(1, 239, 1, 0x00, 10);  // decoded, its box below the picture
    draw_frame();
    EXPECT_EQ(line(51)[104], MasterPalette[0x05]);  // sprite 3 over sprite 7
    EXPECT_EQ(line(51)[110], MasterPalette[0x15]);
    EXPECT_EQ(line(239)[255], MasterPalette[0x05]);
    EXPECT_EQ(line(235)[252], BackdropPixel);
    PpuRegisters.PpuControl = 0x28;
    draw_frame();  // the tall order clips the same way
}

TEST_F(Renderer, SpriteYThroughTheDataPortIsFiled) {
    write(0x2003, 4 * 6);
    write(0x2004, 30);
    MachineState.Scanline = 30;
    PickSpritesForLine();
    EXPECT_EQ(SpritePixels[8 * 6], SpriteKeyColour);  // tile 0 decoded
}

TEST_F(Renderer, SpriteZeroMovedDuringTheFrameStaysInsideTheStrip) {
    std::memset(NametablePageA, 1, 0x3C0);  // opaque background everywhere
    sprite(0, 50, 1, 0x00, 0);
    BuildSpriteTables();
    SpriteRam[0] = 200;  // moved after the tables were built
    for (int y = 0; y < 240; ++y) draw_line(y);
    EXPECT_FALSE(PpuRegisters.PpuStatus & 0x40);
}

}  // namespace
