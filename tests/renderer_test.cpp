// What the pictures and the demos do not show, on memory set up by the test.
#include <cstring>
#include <utility>

#include "cart/cartridge.h"
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
    // The backdrop $21, background colour 1 $16 and sprite colour 1 $30.
    static void set_colours() {
        MachineState.InVblank = 1;
        set_address(0x3F00);
        write(0x2007, 0x21);
        write(0x2007, 0x16);
        set_address(0x3F11);
        write(0x2007, 0x30);
        set_address(0x2000);
    }
    static void draw_lines() {
        for (MachineState.Scanline = 0; MachineState.Scanline < 240; ++MachineState.Scanline)
            RenderBackgroundLine();
    }
};

// Sprite memory changed during the frame: a Y written through $2004 is filed
// under its new line; sprite 0 moved after the frame started gets no hit. And
// lines without the background show the backdrop as it stands, or with
// rendering off the palette entry an address left there since before the line
// points at.
TEST_F(Renderer, SpriteMemoryWrittenDuringTheFrameAndLinesWithoutBackground) {
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
    set_address(0x3F00);
    write(0x2007, 0x21);  // the backdrop
    write(0x2007, 0x16);  // entry 1
    auto line = [](int32_t n) {
        MachineState.Scanline = n;
        RenderBackgroundLine();
        const uint32_t* L = FramePixels + n * FramePitch;
        for (int x = 1; x < 256; ++x) EXPECT_EQ(L[x], L[0]) << "line " << n;
        return L[0];
    };
    PpuRegisters.PpuMask = 0x10;  // background off, sprites on
    set_address(0x3F01);
    EXPECT_EQ(line(0), 0x3FBFFFu);
    PpuRegisters.PpuMask = 0x00;    // rendering off
    EXPECT_EQ(line(1), 0x3FBFFFu);  // the rendered line moved the address on
    set_address(0x3F21);            // entry 1 through its mirror $3F21
    EXPECT_EQ(line(2), 0x3FBFFFu);  // set in this line
    EXPECT_EQ(line(3), 0xF83800u);  // and left there
    write(0x2007, 0x16);            // an upload moves it
    EXPECT_EQ(line(4), 0x3FBFFFu);
    set_address(0x2000);
    EXPECT_EQ(line(5), 0x3FBFFFu);
    EXPECT_EQ(line(6), 0x3FBFFFu);  // outside the palette
}

// The left-edge clip: the background's eight left pixels show the backdrop
// (not the right eight), and sprites there are hidden.
TEST_F(Renderer, LeftEdgeClipShowsTheBackdropAndHidesSprites) {
    set_colours();
    const uint8_t sprite[4] = {9, 1, 0x00, 4};
    std::memcpy(SpriteRam, sprite, 4);
    BuildSpriteTables();
    PpuRegisters.PpuMask = 0x18;  // both clipped
    draw_lines();
    unlock_frame_surfaces();
    update_behind_key();
    CompositeSprites();
    lock_frame_surfaces();
    const uint32_t* L = FramePixels + 10 * FramePitch;
    for (int x = 0; x < 8; ++x) EXPECT_EQ(L[x], 0x3FBFFFu) << x;
    EXPECT_EQ(L[8], 0xFFFFFFu);  // the sprite's right half
    EXPECT_EQ(L[12], 0xF83800u);
    EXPECT_EQ(L[255], 0xF83800u);
}

// Sprite 0 hits where its opaque pixel meets the background's, but never in
// column 255.
TEST_F(Renderer, SpriteZeroHitsUpToColumn254) {
    PpuRegisters.ScrollX = 0;
    PpuRegisters.ScrollY = 0;
    PpuMemory[0x0020] = 0x01;  // tile 2: the top row's rightmost pixel alone
    for (uint8_t x : {248, 247}) {
        const uint8_t sprite0[4] = {9, 2, 0x00, x};
        std::memcpy(SpriteRam, sprite0, 4);
        PpuRegisters.PpuStatus = 0;
        BuildSpriteTables();
        draw_lines();
        EXPECT_EQ(PpuRegisters.PpuStatus & 0x40, x == 247 ? 0x40 : 0) << int(x);
    }
}

// A tall sprite behind the background is hidden wherever the background is
// opaque, down to the last row of its box.
TEST_F(Renderer, TallSpriteBehindTheBackgroundHidesToItsLastRow) {
    set_colours();
    std::memset(PpuMemory + 0x0011, 0, 7);     // tile 1: its top row alone opaque
    std::memset(PpuMemory + 0x0020, 0xFF, 8);  // tiles 2 and 3: the sprite, opaque
    std::memset(PpuMemory + 0x0030, 0xFF, 8);
    std::memset(NametablePageA, 0, 0x3C0);
    std::memset(NametablePageA + 64, 1, 32);      // line 16 opaque, lines 0-15 the backdrop
    const uint8_t sprite[4] = {0, 2, 0x20, 100};  // lines 1-16, behind the background
    std::memcpy(SpriteRam, sprite, 4);
    PpuRegisters.PpuControl = 0x20;
    PpuRegisters.ScrollX = 0;
    PpuRegisters.ScrollY = 0;
    BuildSpriteTables();
    draw_lines();
    unlock_frame_surfaces();
    update_behind_key();
    CompositeSprites();
    lock_frame_surfaces();
    EXPECT_EQ(FramePixels[10 * FramePitch + 100], 0xFFFFFFu);
    EXPECT_EQ(FramePixels[16 * FramePitch + 100], 0xF83800u);
}

// A sprite decoded again from the same tile finds its strip column as it
// stands, and from a changed palette entry, tint or pattern decodes anew.
TEST_F(Renderer, SpriteRowsFollowTheirPaletteTintAndPatterns) {
    const uint8_t sprite[4] = {29, 1, 0x00, 0};
    std::memcpy(SpriteRam + 4 * 6, sprite, 4);
    BuildSpriteTables();
    auto pixels_at_30 = [](uint8_t mask) {
        PpuRegisters.PpuMask = mask;
        MachineState.Scanline = 29;
        PickSpritesForLine();
        return std::pair{SpritePixels[8 * 6], SpritePixels[8 * 6 + 1]};
    };
    auto write_at = [this](uint32_t address, uint8_t value) {
        set_address(address);
        write(0x2007, value);
    };
    write_at(0x3F11, 0x30);
    EXPECT_EQ(pixels_at_30(0x1E).first, 0xFFFFFFu);
    write_at(0x3F11, 0x16);
    EXPECT_EQ(pixels_at_30(0x1E).first, 0xF83800u);
    write_at(0x0010, 0x7F);  // the tile's top row loses its left pixel
    EXPECT_EQ(pixels_at_30(0x1E), std::pair(SpriteKeyColour, 0xF83800u));
    EXPECT_EQ(pixels_at_30(0x1F).second, 0xBFBFBFu);  // greyscale
}

// A line of one tile drawn again from the same registers follows its rows
// (their attribute bytes, and the other page's row where the line wraps) and
// its palette.
TEST_F(Renderer, LinesOfOneTileFollowTheirRows) {
    MachineState.InVblank = 1;
    CartridgeImage.VerticalMirroring = 1;
    std::memset(NametablePageB, 1, 0x3C0);
    auto colour = [this](uint32_t address, uint8_t value) {
        const uint32_t x = PpuRegisters.ScrollX;
        set_address(address);
        write(0x2007, value);
        PpuRegisters.PpuControl = 0;  // the scroll as the address writes found it
        PpuRegisters.ScrollX = x;
        PpuRegisters.ScrollY = 0;
    };
    colour(0x3F00, 0x21);
    colour(0x3F01, 0x16);
    colour(0x3F05, 0x30);
    // Line 0 drawn often enough to be kept, then once after a change.
    auto after = [](auto change, uint32_t x) {
        MachineState.Scanline = 0;
        for (int frame = 0; frame < 64; ++frame) RenderBackgroundLine();
        change();
        RenderBackgroundLine();
        return FramePixels[x];
    };
    EXPECT_EQ(after([] {}, 100), 0xF83800u);
    EXPECT_EQ(after([] { std::memset(NametablePageA + AttributeOffset, 0x55, 8); }, 100),
              0xFFFFFFu);  // palette 1 in row 0
    EXPECT_EQ(after([&] { colour(0x3F05, 0x16); }, 100), 0xF83800u);
    std::memset(NametablePageB + AttributeOffset, 0x55, 8);
    PpuRegisters.ScrollX = 8;  // columns 1-31 of page A, then column 0 of page B
    EXPECT_EQ(after([] {}, 250), 0xF83800u);
    EXPECT_EQ(after([] { std::memset(NametablePageB, 2, 32); }, 250), 0x3FBFFFu);  // empty tile
}

}  // namespace
