// The background, one line at a time, straight into the FrameSurface.
#include <cstring>

#include "cart/cartridge.h"
#include "core/machine.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"

namespace {

struct LineSource {
    const uint8_t* pattern;  // pattern table of the background
    uint32_t fine_row;       // 0-7
};

// Decodes cell c of a page into 8 final pixels.
inline void decode_tile(const uint8_t* page, uint32_t c, const LineSource& src, uint32_t* out) {
    uint32_t n = page[c];
    uint32_t a = (page[AttributeOffset + AttributeByteIndex[c]] >> AttributeShift[c]) & 3;
    const uint8_t* row = src.pattern + n * 16 + src.fine_row;
    uint32_t lo = row[0], hi = row[8];
    const uint8_t* pal = BackgroundPalette + a * 4;
    const uint32_t px[4] = {MasterPalette[pal[0]], MasterPalette[pal[1]], MasterPalette[pal[2]],
                            MasterPalette[pal[3]]};
    // Two interleaved bytes: colours of pixels 7, 5, 3, 1 and of 6, 4, 2, 0.
    uint32_t odd = ((hi & 0x55) << 1) | (lo & 0x55);
    uint32_t even = ((lo >> 1) & 0x55) | (hi & 0xAA);
    out[0] = px[(even >> 6) & 3];
    out[1] = px[(odd >> 6) & 3];
    out[2] = px[(even >> 4) & 3];
    out[3] = px[(odd >> 4) & 3];
    out[4] = px[(even >> 2) & 3];
    out[5] = px[(odd >> 2) & 3];
    out[6] = px[even & 3];
    out[7] = px[odd & 3];
}

inline const uint8_t* page_of(uint32_t s) { return s ? NametablePageB : NametablePageA; }

}  // namespace

void RenderBackgroundLine() {
    PickSpritesForLine();
    const PpuRegisterRecord& R = PpuRegisters;
    uint32_t* L = FramePixels + MachineState.Scanline * FramePitch;
    if (!(R.PpuMask & 0x08)) {
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
    LineSource src{PpuMemory + ((R.PpuControl & 0x10) ? 0x1000 : 0), uint32_t(y) & 7};

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
