// The background line renderer, the sprite strip and the compositing, on
// memory set up by the test.
#include <cstring>
#include <random>

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
        set_palette(0x3F00, {0x0F, 0x16, 0x27, 0x30, 0x0F, 0x11, 0x21, 0x31, 0x0F, 0x19, 0x29, 0x39,
                             0x0F, 0x14, 0x24, 0x34});
        set_palette(0x3F11, {0x05, 0x15, 0x25});
        set_palette(0x3F15, {0x0A, 0x1A, 0x2A});
    }
    void TearDown() override {
        unlock_frame_surfaces();
        PoweredMachine::TearDown();
    }
    // Writes palette bytes through $2006/$2007, keeping the scroll and control
    // that those address writes would change.
    static void set_palette(uint16_t at, std::initializer_list<uint8_t> colours) {
        PpuRegisterRecord saved = PpuRegisters;
        set_address(at);
        for (uint8_t c : colours) write(0x2007, c);
        PpuRegisters = saved;
    }
    static uint32_t* line(int y) { return FramePixels + y * FramePitch; }
    static void draw_line(int y) {
        MachineState.Scanline = y;
        RenderBackgroundLine();
    }
    // Fills pattern tables and both pages with random bytes.
    static void random_video_memory(uint32_t seed) {
        std::mt19937 rng(seed);
        for (uint32_t i = 0; i < 0x2800; ++i) PpuMemory[i] = uint8_t(rng());
    }
    // Pixel of the two-page plane: page p, position (px, py) inside the page.
    static uint32_t plane_pixel(uint32_t p, uint32_t px, uint32_t py) {
        const uint8_t* page = p ? NametablePageB : NametablePageA;
        uint32_t c = (py / 8) * 32 + px / 8;
        uint32_t tile = page[c];
        uint32_t attr = page[0x3C0 + (py / 32) * 8 + px / 32];
        uint32_t a = (attr >> (((py / 16) & 1) * 4 + ((px / 16) & 1) * 2)) & 3;
        const uint8_t* pat =
            PpuMemory + ((PpuRegisters.PpuControl & 0x10) ? 0x1000 : 0) + tile * 16;
        uint32_t bit = 7 - px % 8;
        uint32_t colour = ((pat[py % 8] >> bit) & 1) | (((pat[py % 8 + 8] >> bit) & 1) << 1);
        return MasterPalette[BackgroundPalette[a * 4 + colour]];
    }
    // Sets a solid tile: every pixel of tile t in table base has colour col.
    static void solid_tile(uint32_t base, uint32_t t, uint32_t col) {
        for (int r = 0; r < 8; ++r) {
            PpuMemory[base + t * 16 + r] = (col & 1) ? 0xFF : 0;
            PpuMemory[base + t * 16 + r + 8] = (col & 2) ? 0xFF : 0;
        }
    }
    static void sprite(int i, uint8_t y, uint8_t tile, uint8_t attr, uint8_t x) {
        SpriteRam[4 * i] = y;
        SpriteRam[4 * i + 1] = tile;
        SpriteRam[4 * i + 2] = attr;
        SpriteRam[4 * i + 3] = x;
        SpriteMemoryChanged();
    }
    // Runs the sprite work of a frame over the lines already drawn.
    static void sprites_for_frame() {
        BuildSpriteTables();
        for (int y = 0; y < 240; ++y) {
            MachineState.Scanline = y;
            PickSpritesForLine();
        }
        unlock_frame_surfaces();
        update_behind_key();
        CompositeSprites();
        lock_frame_surfaces();
    }
    static void draw_frame() {
        for (int y = 0; y < 240; ++y) draw_line(y);
        sprites_for_frame();
    }
};

// ------------------------------------------------------------------ scrolling

// Each line shows the two-page plane from its scroll: a crossing past x 255
// goes to the other page only in the vertical arrangement, one past row 29
// only in the horizontal one, and rows 30 and 31 (the attribute bytes) show
// when the scroll is negative.
TEST_F(Renderer, LinesFollowThePlaneInBothArrangements) {
    random_video_memory(1);
    const struct {
        uint32_t vertical, control;
        int32_t scroll_x, scroll_y, y;
        uint32_t page, row;  // of pixel 0
    } cases[] = {
        {1, 0x10, 0, 0, 17, 0, 17},   {1, 0x10, 13, 0, 17, 0, 17},  {1, 0x10, 255, 0, 17, 0, 17},
        {0, 0x10, 8, 0, 17, 0, 17},   {0, 0x10, 255, 0, 17, 0, 17}, {1, 0x01, 13, 0, 3, 1, 3},
        {0, 0x02, 13, 0, 3, 1, 3},    {0, 0x00, 0, 235, 5, 1, 0},   {1, 0x00, 0, 235, 5, 0, 0},
        {0, 0x00, 0, -16, 0, 0, 240}, {0, 0x00, 0, -16, 16, 0, 0},
    };
    for (const auto& c : cases) {
        CartridgeImage.VerticalMirroring = c.vertical;
        PpuRegisters.PpuControl = c.control;
        PpuRegisters.ScrollX = c.scroll_x;
        PpuRegisters.ScrollY = c.scroll_y;
        draw_line(c.y);
        for (uint32_t x = 0; x < 256; ++x) {
            const uint32_t px = c.scroll_x + x, page = c.page ^ (c.vertical && px >= 256);
            ASSERT_EQ(line(c.y)[x], plane_pixel(page, px & 255, c.row))
                << "case " << &c - cases << " x " << x;
        }
    }
    // Positions far outside the picture stay inside the memories.
    for (int32_t scroll_y : {-255, -240, -1, 241, 255, 300}) {
        PpuRegisters.ScrollY = scroll_y;
        for (int y = 0; y < 240; y += 7) draw_line(y);
    }
}

// ---------------------------------------------------------- mask and colours

TEST_F(Renderer, MaskBlanksTheLineAndTheEdges) {
    random_video_memory(6);
    PpuRegisters.PpuMask = 0x10;  // background off
    draw_line(8);
    for (int x = 0; x < 256; ++x) ASSERT_EQ(line(8)[x], 0u);
    PpuRegisters.PpuMask = 0x08;  // background on, edge columns off
    draw_line(9);
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(line(9)[x], 0u);
        EXPECT_EQ(line(9)[248 + x], 0u);
    }
    EXPECT_EQ(line(9)[8], plane_pixel(0, 8, 9));
    EXPECT_EQ(line(9)[247], plane_pixel(0, 247, 9));
}

TEST_F(Renderer, BackdropColourAndMarkedColours) {
    solid_tile(0, 1, 2);
    NametablePageA[1] = 1;
    set_palette(0x3F02, {0x0F});  // colour 2 of palette 0 = the backdrop colour: marked
    PpuRegisters.PpuControl = 0;
    draw_line(0);
    EXPECT_EQ(line(0)[0], BackdropPixel);
    EXPECT_EQ(line(0)[8], BackdropPixel | BackdropMarker);
}

// -------------------------------------------------------------- sprite strip
// (8x16 sprites with every flip from both tables: the TallSpriteFlips picture)

TEST_F(Renderer, SpritesDecodeOnTheirYLineWithFlips) {
    // Tile 5 of table $0000: row r has only pixel r's bit set in plane 0.
    for (int r = 0; r < 8; ++r) PpuMemory[5 * 16 + r] = uint8_t(0x80 >> r);
    sprite(2, 30, 5, 0x00, 0);
    sprite(3, 30, 5, 0x40, 0);  // horizontal flip
    sprite(4, 30, 5, 0x80, 0);  // vertical flip
    sprite(5, 240, 5, 0x00, 0);
    write(0x2003, 4 * 6);
    write(0x2004, 30);  // sprite 6's Y through $2004: now on line 30 too
    MachineState.Scanline = 29;
    PickSpritesForLine();
    EXPECT_EQ(SpritePixels[8 * 2], 0u);  // untouched strip (zero) before its line
    MachineState.Scanline = 30;
    PickSpritesForLine();
    const uint32_t c1 = MasterPalette[0x05], key = SpriteKeyColour;
    EXPECT_EQ(SpritePixels[8 * 2 + 0], c1);
    EXPECT_EQ(SpritePixels[8 * 2 + 1], key);
    EXPECT_EQ(SpritePixels[SpritePitch + 8 * 2 + 1], c1);
    EXPECT_EQ(SpritePixels[8 * 3 + 7], c1);  // flipped: column 7 shows bit 7
    EXPECT_EQ(SpritePixels[8 * 3 + 0], key);
    EXPECT_EQ(SpritePixels[7 * SpritePitch + 8 * 4 + 0], c1);  // row 7 shows pattern row 0
    EXPECT_EQ(SpritePixels[8 * 5], 0u);                        // Y 240: never decoded
    EXPECT_EQ(SpritePixels[8 * 6], key);                       // tile 0 decoded
    // Sprite DMA in mid-frame files the sprites again: sprite 2 now on line 50.
    std::memset(SpritePixels, 0, 64 * sizeof(uint32_t));
    CpuRam[0x208] = 50;
    CpuRam[0x209] = 5;
    write(0x2003, 0);
    write(0x4014, 0x02);
    MachineState.Scanline = 50;
    PickSpritesForLine();
    EXPECT_EQ(SpritePixels[8 * 2], c1);
}

// ------------------------------------------------------------- compositing
// (behind sprites over colours 0, 1 and a marked colour: the BehindSprites picture)

TEST_F(Renderer, LowerNumberedSpritesLieOnTopAndAllShow) {
    solid_tile(0x1000, 1, 1);
    solid_tile(0x1000, 2, 2);
    PpuRegisters.PpuControl = 0x08;
    for (int i = 0; i < 12; ++i) sprite(10 + i, 100, 1, 0, uint8_t(i * 20));  // twelve on one line
    sprite(3, 50, 1, 0x00, 100);
    sprite(7, 50, 2, 0x00, 104);
    draw_frame();
    EXPECT_EQ(line(51)[104], MasterPalette[0x05]);  // sprite 3 over sprite 7
    EXPECT_EQ(line(51)[110], MasterPalette[0x15]);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(line(101)[i * 20 + 3], MasterPalette[0x05]) << i;
}

// A behind sprite's box hides the front sprites of higher priority in it
// where the background is opaque, unless both are 8x8.
TEST_F(Renderer, BehindBoxCoversFrontSpritesInItOnlyWhenTall) {
    solid_tile(0, 1, 1);
    solid_tile(0, 4, 2);  // tall sprite tile 4: table $0000, tiles 4 and 5
    solid_tile(0, 5, 2);
    NametablePageA[6 * 32 + 10] = 1;  // opaque background at (80, 48)
    sprite(5, 47, 4, 0x20, 80);       // behind, its box over (80..87, 48..63)
    sprite(2, 47, 4, 0x01, 84);       // in front, lower number, overlapping that box
    PpuRegisters.PpuControl = 0x20;
    draw_frame();
    EXPECT_EQ(line(50)[86], MasterPalette[0x16]);  // covered by the box's opaque background
    EXPECT_EQ(line(50)[90], MasterPalette[0x1A]);  // outside the box: shown
    EXPECT_EQ(line(60)[85], MasterPalette[0x1A]);  // box over the backdrop: shown
    PpuRegisters.PpuControl = 0x00;
    draw_frame();
    EXPECT_EQ(line(50)[86], MasterPalette[0x1A]);
    EXPECT_EQ(line(50)[81], MasterPalette[0x16]);  // behind sprite hidden by background
}

TEST_F(Renderer, SpritesAtTheEdgesShowTheirVisiblePart) {
    solid_tile(0x1000, 1, 1);
    PpuRegisters.PpuControl = 0x08;
    sprite(0, 235, 1, 0x00, 252);
    sprite(1, 239, 1, 0x00, 10);  // Y 239: decoded, its box starts below the picture
    sprite(2, 100, 1, 0x20, 250);
    draw_frame();
    EXPECT_EQ(line(239)[255], MasterPalette[0x05]);
    EXPECT_EQ(line(236)[252], MasterPalette[0x05]);
    EXPECT_EQ(line(235)[252], BackdropPixel);
    EXPECT_EQ(line(101)[255], MasterPalette[0x05]);
    PpuRegisters.PpuControl = 0x28;
    sprites_for_frame();  // the tall order clips the same way
}

// ---------------------------------------------------------- sprite-0 check

TEST_F(Renderer, SpriteZeroMovedDuringTheFrameStaysInsideTheStrip) {
    solid_tile(0x1000, 1, 1);
    PpuRegisters.PpuControl = 0x08;
    sprite(0, 50, 1, 0x00, 0);
    BuildSpriteTables();
    SpriteRam[0] = 200;  // moved after the tables were built
    for (int y = 0; y < 240; ++y) draw_line(y);
    EXPECT_FALSE(PpuRegisters.PpuStatus & 0x40);
}

}  // namespace
