// The background, one line at a time, straight into the FrameSurface.
#include <cstring>

#include "cart/cartridge.h"
#include "core/machine.h"
#include "ppu/pattern.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"

namespace {

struct LineSource {
    const uint8_t* pattern;    // pattern table of the background
    uint32_t fine_row;         // 0-7
    uint32_t pixels[16];       // the four background palettes as final pixels
    uint32_t last_key;         // tile number and palette of the last tile decoded
    const uint32_t* last_out;  // and where its pixels went
    uint32_t last_opaque;      // and its opaque pixels
    uint8_t* opaque;           // the next tile's opaque pixels go here
};

// Decodes cell c of a page into 8 final pixels. Runs of the same tile in the
// same palette (sky, walls, floors) copy the pixels of the last one.
inline void decode_tile(const uint8_t* page, uint32_t c, LineSource& src, uint32_t* out) {
    const uint32_t n = page[c];
    const uint32_t a = (page[AttributeOffset + AttributeByteIndex[c]] >> AttributeShift[c]) & 3;
    const uint32_t key = n | (a << 8);
    if (key == src.last_key) {
        if (out != src.last_out) std::memcpy(out, src.last_out, 8 * sizeof(uint32_t));
        *src.opaque++ = uint8_t(src.last_opaque);
        return;
    }
    const uint8_t* row = src.pattern + n * 16 + src.fine_row;
    decode_pattern_row(row[0], row[8], src.pixels + a * 4, out);
    src.last_key = key;
    src.last_out = out;
    src.last_opaque = row[0] | row[8];
    *src.opaque++ = uint8_t(src.last_opaque);
}

inline const uint8_t* page_of(uint32_t s) { return s ? NametablePageB : NametablePageA; }

// The opaque pixels of the line drawn last, a byte a tile (leftmost pixel in
// bit 7), starting FineX pixels left of the picture.
struct LineOpacity {
    uint8_t tiles[33];
    uint32_t fine_x;
} Opacity;

}  // namespace

bool BackgroundOpaqueAt(uint32_t x) {
    const uint32_t p = x + Opacity.fine_x;
    return (Opacity.tiles[p >> 3] >> (7 - (p & 7))) & 1;
}

void RenderBackgroundLine() {
    PickSpritesForLine();
    EvaluateSpritesForLine();
    const PpuRegisterRecord& R = PpuRegisters;
    uint32_t* L = FramePixels + MachineState.Scanline * FramePitch;
    if (!(R.PpuMask & PpuMaskShowBackground)) {
        std::memset(L, 0, 256 * sizeof(uint32_t));
        return;
    }
    const bool vertical = CartridgeImage.VerticalMirroring != 0;
    uint32_t s = vertical ? (R.PpuControl & 1) : ((R.PpuControl >> 1) & 1);
    uint32_t fx = R.ScrollX & 7;
    uint32_t cx = (R.ScrollX >> 3) & 31;

    // Positions past the picture: above it (a negative position) the console
    // shows rows 30 and 31 of the page and then its top rows; below row 29 the
    // next page starts (the other page in the horizontal arrangement). Any
    // position folds into rows 0-31 of a page.
    int32_t y = MachineState.Scanline + R.ScrollY;
    if (y < 0) {
        y &= 0xFF;
    } else if (y > 239) {
        y = (y - 240) & 0xFF;
        if (!vertical) s ^= 1;
    }
    uint32_t row = uint32_t(y) >> 3;
    LineSource src;
    src.pattern = PpuMemory + ((R.PpuControl & 0x10) ? 0x1000 : 0);
    src.fine_row = uint32_t(y) & 7;
    // The palette cannot change within a line: look its pixels up once.
    for (int i = 0; i < 16; ++i) src.pixels[i] = MasterPalette[BackgroundPalette[i]];
    src.last_key = ~0u;
    src.opaque = Opacity.tiles;
    Opacity.fine_x = fx;

    const uint8_t* page = page_of(s);
    uint32_t c = row * 32 + cx;
    uint32_t* out = L;
    uint32_t tile[8];
    uint32_t col = cx;
    if (fx) {
        decode_tile(page, c++, src, tile);
        for (uint32_t k = fx; k < 8; ++k) *out++ = tile[k];
        ++col;
    }
    for (; col < 32; ++col, out += 8) decode_tile(page, c++, src, out);
    if (vertical) page = page_of(s ^ 1);
    c = row * 32;
    for (col = 0; col < cx; ++col, out += 8) decode_tile(page, c++, src, out);
    if (fx) {
        decode_tile(page, c, src, tile);
        for (uint32_t k = 0; k < fx; ++k) *out++ = tile[k];
    }

    if (!(R.PpuMask & 0x02)) {
        std::memset(L, 0, 8 * sizeof(uint32_t));
        std::memset(L + 248, 0, 8 * sizeof(uint32_t));
    }
    CheckSpriteZeroHit();
}
