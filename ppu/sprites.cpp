// Sprites: latched at frame start, decoded once into the sprite strip on the
// line of their Y byte, and laid over the finished frame by keyed copies.
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstring>

#include "cart/cartridge.h"
#include "core/machine.h"
#include "ppu/pattern.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"

uint32_t SpriteState[64];
uint32_t SpriteX[64];
uint32_t SpriteTop[64];
uint32_t SpriteHeight;
uint8_t SpritesOnLine[240];

namespace {

// Each byte with its bits in reverse order, for horizontal flips.
constexpr struct ReversedBytes {
    uint8_t b[256];
    constexpr ReversedBytes() : b() {
        for (int v = 0; v < 256; ++v) {
            int r = 0;
            for (int k = 0; k < 8; ++k) r |= ((v >> k) & 1) << (7 - k);
            b[v] = uint8_t(r);
        }
    }
} kReversed;

// A sprite palette's four pixels in the form the row decode takes.
#if defined(__SSE2__)
using SpritePixelSet = PaletteVectors;
#else
using SpritePixelSet = const uint32_t*;
#endif

struct SpriteLook {
    uint32_t px[4];
    bool hflip, vflip;
    uint32_t tile;
    SpritePixelSet pixels() const {
#if defined(__SSE2__)
        return palette_vectors(px);
#else
        return px;
#endif
    }
};

// A sprite takes the tint of the line it is decoded on, its top line.
SpriteLook look_of(uint32_t i) {
    uint8_t attr = SpriteRam[4 * i + 2];
    const uint8_t* pal = SpritePalette + (attr & SpritePaletteBits) * 4;
    const uint32_t* colours = TintedPalettes[PpuTint(PpuRegisters.PpuMask)];
    return SpriteLook{{colours[pal[0]], colours[pal[1]], colours[pal[2]], colours[pal[3]]},
                      (attr & SpriteFlipX) != 0,
                      (attr & SpriteFlipY) != 0,
                      SpriteRam[4 * i + 1]};
}

// The sprites filed under each Y byte (bit i is sprite i), so that a line
// finds its sprites at once. Every change of SpriteRam passes through
// file_sprite or SpriteMemoryChanged; FiledY is the Y each sprite is filed under.
uint64_t SpritesByY[256];
uint8_t FiledY[64];

inline void file_sprite(uint32_t i, uint32_t y) {
    SpritesByY[FiledY[i]] &= ~(uint64_t(1) << i);
    SpritesByY[y] |= uint64_t(1) << i;
    FiledY[i] = uint8_t(y);
}

}  // namespace

void SpriteMemoryChanged() {
    // Every filed bit lies under its sprite's FiledY: clearing those entries
    // empties the table.
    for (uint32_t i = 0; i < 64; ++i) SpritesByY[FiledY[i]] = 0;
    for (uint32_t i = 0; i < 64; ++i) {
        const uint32_t y = SpriteRam[4 * i];
        SpritesByY[y] |= uint64_t(1) << i;
        FiledY[i] = uint8_t(y);
    }
}

void SpriteByteWritten(uint32_t index) {
    if ((index & 3) == 0) file_sprite(index >> 2, SpriteRam[index]);
}

void BuildSpriteTables() {
    SpriteMemoryChanged();
    for (uint32_t i = 0; i < 64; ++i) {
        uint8_t y = SpriteRam[4 * i];
        if (y >= 240) {
            SpriteState[i] = 0;
            continue;
        }
        SpriteState[i] = (SpriteRam[4 * i + 2] & SpriteBehindBackground) ? 1 : 2;
        SpriteX[i] = SpriteRam[4 * i + 3];
        SpriteTop[i] = y + 1u;
    }
    SpriteHeight = (PpuRegisters.PpuControl & PpuControlTallSprites) ? 16 : 8;
    SpriteTop[0] = SpriteRam[0] + 1u;
    // How many sprites the console finds on each line, for the overflow flag:
    // line n looks for the sprites whose rows n - Y fall inside them.
    std::memset(SpritesOnLine, 0, sizeof SpritesOnLine);
    for (uint32_t i = 0; i < 64; ++i) {
        const uint32_t y = SpriteRam[4 * i];
        const uint32_t end = std::min<uint32_t>(y + SpriteHeight, 240);
        for (uint32_t n = y; n < end; ++n) ++SpritesOnLine[n];
    }
}

void EvaluateSpritesForLine() {
    PpuRegisterRecord& regs = PpuRegisters;
    if (!(regs.PpuMask & PpuMaskRendering)) return;
    const int32_t line = MachineState.Scanline;
    if (line < 240 && SpritesOnLine[line] > 8) regs.PpuStatus |= PpuStatusOverflow;
    // The console's sprite fetches leave the sprite memory address at 0.
    regs.OamAddress = 0;
}

void PickSpritesForLine() {
    const int32_t line = MachineState.Scanline;
    if (line < 0 || line > 255) return;
    uint64_t found = SpritesByY[line];
    if (!found) return;
    const bool tall = (PpuRegisters.PpuControl & PpuControlTallSprites) != 0;
    while (found) {
        const uint32_t i = uint32_t(__builtin_ctzll(found));
        found &= found - 1;
        if (tall)
            DrawSprite8x16(i);
        else
            DrawSprite8x8(i);
    }
}

namespace {

#if defined(__SSE2__)
__attribute__((target("ssse3"))) void shuffle_rows(const uint8_t* lo, const uint8_t* hi,
                                                   uint32_t rows, const uint32_t* px,
                                                   uint32_t* strip) {
    const __m128i pal = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px));
    for (uint32_t r = 0; r < rows; ++r)
        store_row(shuffle_pattern_row(lo[r], hi[r], pal), strip + r * SpritePitch);
}
#endif

#if defined(__SSE2__)
// Whole rows of 8 pixels as one 32-byte vector, on CPUs that have them.
const bool kWideRows = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));

__attribute__((target("avx2"))) void copy_rows_wide(const uint32_t* from, uint32_t* to,
                                                    uint32_t rows, int32_t pitch) {
    for (uint32_t r = 0; r < rows; ++r, from += pitch, to += pitch)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
}
#endif

// What each strip column was decoded from: the pattern rows' place and
// count, the flips and palette bits, the tint, the palette's four bytes and
// the version of the pattern table. A sprite decoded again from the same
// finds its column as it stands: most sprites keep their slot and tile from
// one frame to the next. look 0: the column is not known.
struct StripSource {
    uint64_t look, colours;
    bool operator==(const StripSource&) const = default;
};
StripSource StripSources[64];

// The column that last took each source, by a hash of the source: a sprite
// that moved to another slot copies its column from there while that column
// still holds it (a handful of images fill most screens).
uint8_t ColumnOf[64];

inline uint32_t column_slot(const StripSource& s) {
    const uint64_t h = (s.look ^ (s.colours * 0x9E3779B97F4A7C15ull)) * 0xD6E8FEB86659FD93ull;
    return uint32_t(h >> 58);
}

StripSource source_of(uint32_t i, uint32_t place, uint32_t rows) {
    const uint32_t attr = SpriteRam[4 * i + 2];
    uint32_t palette;
    std::memcpy(&palette, SpritePalette + (attr & SpritePaletteBits) * 4, sizeof palette);
    return StripSource{1 | uint64_t(place) << 1 | uint64_t(rows) << 16 |
                           uint64_t(attr & (SpriteFlipX | SpriteFlipY | SpritePaletteBits)) << 24 |
                           uint64_t(PpuTint(PpuRegisters.PpuMask)) << 32,
                       palette | uint64_t(PatternVersion[place >> 12]) << 32};
}

// Whether sprite i's strip column holds its rows already, as it stands or
// copied from the column that holds the same source; otherwise the column is
// noted as holding it, for the decode that follows.
bool strip_holds(uint32_t i, uint32_t place, uint32_t rows) {
    if (!SimdDecodeOn) {
        StripSources[i] = StripSource{};
        return false;
    }
    const StripSource source = source_of(i, place, rows);
    StripSource& known = StripSources[i];
    if (known == source) return true;
    known = source;
    uint8_t& slot = ColumnOf[column_slot(source)];
    const uint32_t j = slot;
    slot = uint8_t(i);
    if (j == i || !(StripSources[j] == source)) return false;
    const uint32_t* from = SpritePixels + 8 * j;
    uint32_t* to = SpritePixels + 8 * i;
#if defined(__SSE2__)
    if (kWideRows) {
        copy_rows_wide(from, to, rows, SpritePitch);
        return true;
    }
#endif
    for (uint32_t r = 0; r < rows; ++r, from += SpritePitch, to += SpritePitch)
        std::memcpy(to, from, 8 * sizeof(uint32_t));
    return true;
}

// Decodes rows pattern rows (flipped as the sprite asks) into the sprite's
// strip column.
void draw_sprite(uint32_t i, const uint8_t* const* row, uint32_t rows) {
    const SpriteLook s = look_of(i);
    uint32_t* strip = SpritePixels + 8 * i;
    uint8_t lo[16], hi[16];
    for (uint32_t r = 0; r < rows; ++r) {
        const uint8_t* t = row[s.vflip ? rows - 1 - r : r];
        lo[r] = s.hflip ? kReversed.b[t[0]] : t[0];
        hi[r] = s.hflip ? kReversed.b[t[8]] : t[8];
    }
#if defined(__SSE2__)
    if (kShuffles && SimdDecodeOn) {
        shuffle_rows(lo, hi, rows, s.px, strip);
        return;
    }
#endif
    const SpritePixelSet px = s.pixels();
    for (uint32_t r = 0; r < rows; ++r)
        decode_pattern_row(lo[r], hi[r], px, strip + r * SpritePitch);
}

}  // namespace

void ForgetSpriteRows() { std::memset(StripSources, 0, sizeof StripSources); }

void DrawSprite8x8(uint32_t i) {
    const uint8_t* t = PpuMemory +
                       ((PpuRegisters.PpuControl & PpuControlSpriteTable) ? 0x1000 : 0) +
                       SpriteRam[4 * i + 1] * 16;
    if (!strip_holds(i, uint32_t(t - PpuMemory), 8)) {
        const uint8_t* const row[8] = {t, t + 1, t + 2, t + 3, t + 4, t + 5, t + 6, t + 7};
        draw_sprite(i, row, 8);
    }
    if (MapperWatchesTiles) mapper_latch_tile(uint32_t(t - PpuMemory) + 8);
}

void DrawSprite8x16(uint32_t i) {
    const uint32_t tile = SpriteRam[4 * i + 1];
    const uint8_t* top = PpuMemory + ((tile & 1) ? 0x1000 : 0) + (tile & 0xFE) * 16;
    const uint8_t* bottom = top + 16;
    if (!strip_holds(i, uint32_t(top - PpuMemory), 16)) {
        const uint8_t* const row[16] = {top,        top + 1,    top + 2,    top + 3,
                                        top + 4,    top + 5,    top + 6,    top + 7,
                                        bottom,     bottom + 1, bottom + 2, bottom + 3,
                                        bottom + 4, bottom + 5, bottom + 6, bottom + 7};
        draw_sprite(i, row, 16);
    }
    if (MapperWatchesTiles) {
        mapper_latch_tile(uint32_t(top - PpuMemory) + 8);
        mapper_latch_tile(uint32_t(bottom - PpuMemory) + 8);
    }
}

void CheckSpriteZeroHit() {
    const PpuRegisterRecord& regs = PpuRegisters;
    if ((regs.PpuMask & PpuMaskRendering) != PpuMaskRendering) return;
    if (regs.PpuStatus & PpuStatusSpriteZeroHit) return;
    const int32_t line = MachineState.Scanline;
    const int32_t top = int32_t(SpriteTop[0]);
    if (line < top || line >= top + int32_t(SpriteHeight)) return;
    int32_t r = line - SpriteRam[0] - 1;
    // Sprite 0 moved since the frame started and its row left the strip: no hit.
    if (r < 0 || r > 15) return;
    // A hit needs an opaque sprite pixel over an opaque background pixel,
    // never in column 255, nor in the left eight columns while either hides them.
    // Pixel k of the sprite's row in bit 7 - k, as the background's.
    const uint32_t* sprite = SpritePixels + r * SpritePitch;
    uint32_t opaque = 0;
    for (int32_t k = 0; k < 8; ++k) opaque |= uint32_t(sprite[k] != SpriteKeyColour) << (7 - k);
    const uint32_t left_shown = PpuMaskBackgroundLeft | PpuMaskSpritesLeft;
    const int32_t first = (regs.PpuMask & left_shown) == left_shown ? 0 : 8;
    const int32_t x = int32_t(SpriteX[0]);
    uint32_t shown = 0;
    for (int32_t k = 0; k < 8; ++k)
        if (x + k >= first && x + k <= 254) shown |= 0x80u >> k;
    if (opaque & shown & BackgroundOpaqueRow(uint32_t(x)))
        PpuRegisters.PpuStatus |= PpuStatusSpriteZeroHit;
}

namespace {

// The part of a sprite's box at (x, y) that is shown: w columns and h rows
// from column skip of its top row, at frame. The strips always hold the whole
// box. The left-edge clip ($2001 bit 2 clear) hides the picture's eight left
// columns.
struct Box {
    uint32_t* frame;
    int32_t w, h, skip;
    const uint32_t* backdrop;  // LineBackdrop of its top row
};

// Boxes wholly below the picture or in the clipped columns have no rows (h = 0)
// and no frame pointer.
inline Box box_at(uint32_t i, int32_t height, int32_t left) {
    const int32_t x = int32_t(SpriteX[i]), y = int32_t(SpriteTop[i]);
    const int32_t h = std::min(height, FrameSurface.Height - y);
    const int32_t skip = std::max(0, left - x);
    if (h <= 0 || skip >= 8) return Box{nullptr, 0, 0, 0, nullptr};
    return Box{FrameSurface.Pixels + y * FrameSurface.Pitch + x + skip,
               std::min(8, FrameSurface.Width - x) - skip, h, skip, LineBackdrop + y};
}

#if defined(__SSE2__)

__attribute__((target("avx2"))) void keyed_rows_wide(uint32_t* d, const uint32_t* s,
                                                     int32_t s_pitch, int32_t d_pitch, int32_t h,
                                                     const uint32_t* keys, int32_t step) {
    for (int32_t r = 0; r < h; ++r, s += s_pitch, d += d_pitch) {
        const __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
        const __m256i dv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d));
        const __m256i skip = _mm256_cmpeq_epi32(sv, _mm256_set1_epi32(int32_t(keys[r * step])));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), _mm256_blendv_epi8(sv, dv, skip));
    }
}

__attribute__((target("avx2"))) void behind_rows_wide(uint32_t* d, const uint32_t* s,
                                                      int32_t s_pitch, int32_t d_pitch, int32_t h,
                                                      uint32_t sprite_key,
                                                      const uint32_t* backdrop) {
    const __m256i sk = _mm256_set1_epi32(int32_t(sprite_key));
    for (int32_t r = 0; r < h; ++r, s += s_pitch, d += d_pitch) {
        const __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
        const __m256i dv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d));
        const __m256i show =
            _mm256_andnot_si256(_mm256_cmpeq_epi32(sv, sk),
                                _mm256_cmpeq_epi32(dv, _mm256_set1_epi32(int32_t(backdrop[r]))));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), _mm256_blendv_epi8(dv, sv, show));
    }
}

// Whether h rows of 8 pixels at f hold nothing but each row's backdrop.
__attribute__((target("avx2"))) bool backdrop_rows_wide(const uint32_t* f, int32_t pitch, int32_t h,
                                                        const uint32_t* backdrop) {
    __m256i same = _mm256_set1_epi32(-1);
    for (int32_t r = 0; r < h; ++r, f += pitch)
        same = _mm256_and_si256(
            same, _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(f)),
                                     _mm256_set1_epi32(int32_t(backdrop[r]))));
    return _mm256_movemask_epi8(same) == -1;
}
#endif

// Copies h rows of 8 pixels from s to d, skipping the pixels of s equal to
// the row's key: keys[r * step] (step 0: one key for all rows).
inline void keyed_rows(uint32_t* d, const uint32_t* s, int32_t s_pitch, int32_t w, int32_t h,
                       const uint32_t* keys, int32_t step) {
    const int32_t d_pitch = FrameSurface.Pitch;
#if defined(__SSE2__)
    if (w == 8 && kWideRows) {
        keyed_rows_wide(d, s, s_pitch, d_pitch, h, keys, step);
        return;
    }
    if (w == 8) {
        for (int32_t r = 0; r < h; ++r, s += s_pitch, d += d_pitch) {
            const __m128i k = _mm_set1_epi32(int32_t(keys[r * step]));
            for (int half = 0; half < 8; half += 4) {
                const __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + half));
                const __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + half));
                const __m128i skip = _mm_cmpeq_epi32(sv, k);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + half),
                                 _mm_or_si128(_mm_and_si128(skip, dv), _mm_andnot_si128(skip, sv)));
            }
        }
        return;
    }
#endif
    for (int32_t r = 0; r < h; ++r, s += s_pitch, d += d_pitch) {
        const uint32_t key = keys[r * step];
        for (int32_t k = 0; k < w; ++k) d[k] = s[k] == key ? d[k] : s[k];
    }
}

// A behind-background sprite in the 8x8 order: its opaque pixels show only
// where the frame holds the backdrop its line was drawn with (the saved
// background, keyed by the backdrop, goes back over the sprite).
inline void behind_rows(uint32_t* d, const uint32_t* s, int32_t w, int32_t h, uint32_t sprite_key,
                        const uint32_t* backdrop) {
    const int32_t d_pitch = FrameSurface.Pitch, s_pitch = SpriteStrip.Pitch;
#if defined(__SSE2__)
    if (w == 8 && kWideRows) {
        behind_rows_wide(d, s, s_pitch, d_pitch, h, sprite_key, backdrop);
        return;
    }
    if (w == 8) {
        const __m128i sk = _mm_set1_epi32(int32_t(sprite_key));
        for (int32_t r = 0; r < h; ++r, s += s_pitch, d += d_pitch) {
            const __m128i bk = _mm_set1_epi32(int32_t(backdrop[r]));
            for (int half = 0; half < 8; half += 4) {
                const __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + half));
                const __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + half));
                const __m128i show =
                    _mm_andnot_si128(_mm_cmpeq_epi32(sv, sk), _mm_cmpeq_epi32(dv, bk));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + half),
                                 _mm_or_si128(_mm_and_si128(show, sv), _mm_andnot_si128(show, dv)));
            }
        }
        return;
    }
#endif
    for (int32_t r = 0; r < h; ++r, s += s_pitch, d += d_pitch)
        for (int32_t k = 0; k < w; ++k)
            if (d[k] == backdrop[r] && s[k] != sprite_key) d[k] = s[k];
}

// Notes the blocks of the lines under a box that the composite writes.
inline void mark_covered(uint32_t i, const Box& b) {
    const uint32_t x = SpriteX[i] + uint32_t(b.skip), y = SpriteTop[i];
    const uint32_t first = x >> 3, last = (x + uint32_t(b.w) - 1) >> 3;
    const uint32_t blocks = ((2u << last) - 1) & ~((1u << first) - 1);
    for (int32_t r = 0; r < b.h; ++r) SpriteCoveredBlocks[y + uint32_t(r)] |= blocks;
}

}  // namespace

void CompositeSprites() {
    if (!(PpuRegisters.PpuMask & PpuMaskShowSprites)) return;
    const uint32_t sprite_key = SpriteStrip.SourceKey;
    const int32_t strip_pitch = SpriteStrip.Pitch, behind_pitch = BehindStrip.Pitch;
    const int32_t left = (PpuRegisters.PpuMask & PpuMaskSpritesLeft) ? 0 : 8;
    if (!(PpuRegisters.PpuControl & PpuControlTallSprites)) {
        for (int32_t i = 63; i >= 0; --i) {
            if (SpriteState[i] == 0) continue;
            const Box b = box_at(uint32_t(i), 8, left);
            if (b.h <= 0) continue;
            const uint32_t* s = SpriteStrip.Pixels + 8 * i + b.skip;
            mark_covered(uint32_t(i), b);
            if (SpriteState[i] == 1)
                behind_rows(b.frame, s, b.w, b.h, sprite_key, b.backdrop);
            else
                keyed_rows(b.frame, s, strip_pitch, b.w, b.h, &sprite_key, 0);
        }
        return;
    }
    // The background under every behind sprite is saved before any sprite is
    // drawn; put back over all sprites, it hides them wherever it is opaque.
    // A box of nothing but the backdrop puts nothing back: it is neither
    // saved nor put back.
    uint64_t restores = 0;
    for (int32_t i = 63; i >= 0; --i) {
        if (SpriteState[i] != 1) continue;
        const Box b = box_at(uint32_t(i), 16, left);
        if (b.h <= 0) continue;
        const int32_t pitch = FrameSurface.Pitch;
#if defined(__SSE2__)
        if (b.w == 8 && kWideRows) {
            if (backdrop_rows_wide(b.frame, pitch, b.h, b.backdrop)) continue;
        } else if (b.w == 8) {
            __m128i same = _mm_set1_epi32(-1);
            const uint32_t* f = b.frame;
            for (int32_t r = 0; r < b.h; ++r, f += pitch) {
                const __m128i key = _mm_set1_epi32(int32_t(b.backdrop[r]));
                const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f));
                const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f + 4));
                same = _mm_and_si128(
                    same, _mm_and_si128(_mm_cmpeq_epi32(lo, key), _mm_cmpeq_epi32(hi, key)));
            }
            if (_mm_movemask_epi8(same) == 0xFFFF) continue;
        }
#endif
        restores |= uint64_t(1) << i;
        uint32_t* saved = BehindStrip.Pixels + 8 * i;
        const uint32_t* f = b.frame;
        for (int32_t r = 0; r < b.h; ++r, f += pitch, saved += behind_pitch)
            std::memcpy(saved, f, size_t(b.w) * sizeof(uint32_t));
    }
    for (int32_t i = 63; i >= 0; --i) {
        if (SpriteState[i] == 0) continue;
        const Box b = box_at(uint32_t(i), 16, left);
        if (b.h <= 0) continue;
        mark_covered(uint32_t(i), b);
        keyed_rows(b.frame, SpriteStrip.Pixels + 8 * i + b.skip, strip_pitch, b.w, b.h, &sprite_key,
                   0);
    }
    for (int32_t i = 63; i >= 0; --i) {
        if (!((restores >> i) & 1)) continue;
        const Box b = box_at(uint32_t(i), 16, left);
        keyed_rows(b.frame, BehindStrip.Pixels + 8 * i, behind_pitch, b.w, b.h, b.backdrop, 1);
    }
}
