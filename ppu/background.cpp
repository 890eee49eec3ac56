// The background, one line at a time, straight into the FrameSurface.
#include <cstring>

#include "cart/cartridge.h"
#include "core/machine.h"
#include "ppu/pattern.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"

namespace {

// What every tile of one line shares: its pattern row, palettes and the
// attribute bytes of its tile row.
struct LineSource {
    const uint8_t* pattern;    // pattern table of the background, plus the fine row
    uint32_t attribute_shift;  // 0 or 4: the half of the attribute bytes of this row
#if defined(__SSE2__)
    PaletteVectors palettes[4];
#else
    uint32_t pixels[16];  // the four background palettes as final pixels
#endif
    uint8_t* opaque;           // the next tile's opaque pixels go here
    uint32_t last_key;         // tile number and palette of the last tile decoded
    const uint32_t* last_out;  // and where its pixels went
    uint8_t last_opaque;       // and its opaque pixels
};

inline void copy_tile(const uint32_t* from, uint32_t* to) {
#if defined(__SSE2__)
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 4), b);
#else
    std::memcpy(to, from, 8 * sizeof(uint32_t));
#endif
}

// Decodes column col of a page's tile row into 8 final pixels. The attribute
// byte of a column lies at col / 4 of the row's eight; bit 1 of the column
// picks the pair within the row's half. Runs of the same tile in the same
// palette (sky, walls, floors) copy the pixels of the last one.
inline void decode_tile(const uint8_t* tiles, const uint8_t* attributes, uint32_t col,
                        LineSource& src, uint32_t* out) {
    const uint32_t n = tiles[col];
    const uint32_t a = (attributes[col >> 2] >> (src.attribute_shift + (col & 2))) & 3;
    const uint32_t key = n | (a << 8);
    if (key == src.last_key) {
        copy_tile(src.last_out, out);
        *src.opaque++ = src.last_opaque;
        return;
    }
    const uint8_t* row = src.pattern + n * 16;
    const uint32_t lo = row[0], hi = row[8];
#if defined(__SSE2__)
    decode_pattern_row(lo, hi, src.palettes[a], out);
#else
    decode_pattern_row(lo, hi, src.pixels + a * 4, out);
#endif
    src.last_key = key;
    src.last_out = out;
    src.last_opaque = uint8_t(lo | hi);
    *src.opaque++ = src.last_opaque;
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
    const PpuRegisterRecord& regs = PpuRegisters;
    uint32_t* L = FramePixels + MachineState.Scanline * FramePitch;
    if (!(regs.PpuMask & PpuMaskShowBackground)) {
        std::memset(L, 0, 256 * sizeof(uint32_t));
        return;
    }
    const bool vertical = CartridgeImage.VerticalMirroring != 0;
    uint32_t s = vertical ? (regs.PpuControl & 1) : ((regs.PpuControl >> 1) & 1);  // the page bits
    uint32_t fx = regs.ScrollX & 7;
    uint32_t cx = (regs.ScrollX >> 3) & 31;

    // Positions past the picture: above it (a negative position) the console
    // shows rows 30 and 31 of the page and then its top rows; below row 29 the
    // next page starts (the other page in the horizontal arrangement). Any
    // position folds into rows 0-31 of a page.
    int32_t y = MachineState.Scanline + regs.ScrollY;
    if (y < 0) {
        y &= 0xFF;
    } else if (y > 239) {
        y = (y - 240) & 0xFF;
        if (!vertical) s ^= 1;
    }
    const uint32_t row = uint32_t(y) >> 3;
    LineSource src;
    src.pattern = PpuMemory + ((regs.PpuControl & PpuControlBackgroundTable) ? 0x1000 : 0) +
                  (uint32_t(y) & 7);
    src.attribute_shift = (row & 2) * 2;
    // The palette cannot change within a line: look its pixels up once.
    uint32_t pixels[16];
    for (int i = 0; i < 16; ++i) pixels[i] = MasterPalette[BackgroundPalette[i]];
#if defined(__SSE2__)
    for (int i = 0; i < 4; ++i) src.palettes[i] = palette_vectors(pixels + 4 * i);
#else
    std::memcpy(src.pixels, pixels, sizeof pixels);
#endif
    src.opaque = Opacity.tiles;
    src.last_key = ~0u;
    src.last_out = nullptr;
    src.last_opaque = 0;
    Opacity.fine_x = fx;

    // Tiles of the row, and its eight attribute bytes.
    const uint8_t* page = page_of(s);
    const uint8_t* tiles = page + row * 32;
    const uint8_t* attributes = page + AttributeOffset + (row >> 2) * 8;
    uint32_t* out = L;
    uint32_t tile[8];
    uint32_t col = cx;
    if (fx) {
        decode_tile(tiles, attributes, col, src, tile);
        for (uint32_t k = fx; k < 8; ++k) *out++ = tile[k];
        ++col;
    }
    for (; col < 32; ++col, out += 8) decode_tile(tiles, attributes, col, src, out);
    if (vertical) {
        page = page_of(s ^ 1);
        tiles = page + row * 32;
        attributes = page + AttributeOffset + (row >> 2) * 8;
    }
    for (col = 0; col < cx; ++col, out += 8) decode_tile(tiles, attributes, col, src, out);
    if (fx) {
        decode_tile(tiles, attributes, cx, src, tile);
        for (uint32_t k = 0; k < fx; ++k) *out++ = tile[k];
    }

    if (!(regs.PpuMask & PpuMaskBackgroundLeft)) {
        std::memset(L, 0, 8 * sizeof(uint32_t));
        std::memset(L + 248, 0, 8 * sizeof(uint32_t));
    }
    CheckSpriteZeroHit();
}
