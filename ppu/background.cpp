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
    uint8_t past;  // always 0: the byte after the last tile, for BackgroundOpaqueRow
    uint32_t fine_x;
} Opacity;

// The four background palettes as pixels, kept from line to line: the
// palette and the tint seldom change, and MasterPalette only at power-up.
struct LinePalette {
    uint8_t bytes[16];  // the palette bytes the pixels were looked up for
    uint32_t tint;      // and the tint
    bool valid;
    uint32_t version;  // counts the lookups: the same version, the same pixels
    alignas(16) uint32_t pixels[16];
} Palette;

inline bool same_palette_bytes() {
#if defined(__SSE2__)
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Palette.bytes));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(BackgroundPalette));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(a, b)) == 0xFFFF;
#else
    return std::memcmp(Palette.bytes, BackgroundPalette, 16) == 0;
#endif
}

const uint32_t* line_palette(uint32_t tint) {
    if (!Palette.valid || Palette.tint != tint || !same_palette_bytes()) {
        std::memcpy(Palette.bytes, BackgroundPalette, 16);
        const uint32_t* colours = TintedPalettes[tint];
        for (int i = 0; i < 16; ++i) Palette.pixels[i] = colours[BackgroundPalette[i]];
        Palette.tint = tint;
        Palette.valid = true;
        ++Palette.version;
    }
    return Palette.pixels;
}

#define UNLIKELY(x) __builtin_expect(!!(x), 0)

// Whether the line may set the sprite-0 hit (the flag is clear and sprite 0
// covers the line): CheckSpriteZeroHit looks no further when not.
inline bool SpriteZeroOnLine() {
    const uint32_t from_top = uint32_t(MachineState.Scanline) - SpriteTop[0];
    return from_top < SpriteHeight && !(PpuRegisters.PpuStatus & PpuStatusSpriteZeroHit);
}

// Where a line's tiles come from.
struct LinePlace {
    const uint8_t* page;       // the page of the leftmost tile
    const uint8_t* next;       // the page the line runs on into
    uint32_t row;              // tile row, 0-31
    uint32_t cx, fx;           // leftmost column and its first pixel
    const uint8_t* pattern;    // the background pattern table plus the fine row
    uint32_t attribute_shift;  // 0 or 4: the half of the attribute bytes of this row
};

void draw_plain(const LinePlace& p, const uint32_t* pixels, uint32_t* L) {
    LineSource src;
    src.pattern = p.pattern;
    src.attribute_shift = p.attribute_shift;
#if defined(__SSE2__)
    for (int i = 0; i < 4; ++i) src.palettes[i] = palette_vectors(pixels + 4 * i);
#else
    std::memcpy(src.pixels, pixels, sizeof src.pixels);
#endif
    src.opaque = Opacity.tiles;
    src.last_key = ~0u;
    src.last_out = nullptr;
    src.last_opaque = 0;
    const uint32_t cx = p.cx, fx = p.fx, row = p.row;
    const uint8_t* tiles = p.page + row * 32;
    const uint8_t* attributes = p.page + AttributeOffset + (row >> 2) * 8;
    uint32_t* out = L;
    uint32_t tile[8];
    uint32_t col = cx;
    if (fx) {
        decode_tile(tiles, attributes, col, src, tile);
        for (uint32_t k = fx; k < 8; ++k) *out++ = tile[k];
        ++col;
    }
    for (; col < 32; ++col, out += 8) decode_tile(tiles, attributes, col, src, out);
    tiles = p.next + row * 32;
    attributes = p.next + AttributeOffset + (row >> 2) * 8;
    for (col = 0; col < cx; ++col, out += 8) decode_tile(tiles, attributes, col, src, out);
    if (fx) {
        decode_tile(tiles, attributes, cx, src, tile);
        for (uint32_t k = 0; k < fx; ++k) *out++ = tile[k];
    }
}

// The line tile by tile for a mapper that switches patterns where tiles $FD
// and $FE are fetched (MMC2, MMC4): the tiles after one of them come from
// the patterns it switched in.
void draw_latched(const LinePlace& p, const uint32_t* pixels, uint32_t* L) {
    const uint32_t fine = uint32_t(p.pattern - PpuMemory);  // table and fine row
    uint32_t tile[8];
    uint8_t* opaque = Opacity.tiles;
    uint32_t* out = L;
    // 33 tiles (32 without a fine scroll), through the two pages.
    const uint32_t count = p.fx ? 33 : 32;
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t col = (p.cx + k) & 31;
        const uint8_t* page = p.cx + k < 32 ? p.page : p.next;
        const uint32_t n = page[p.row * 32 + col];
        const uint32_t a = (page[AttributeOffset + (p.row >> 2) * 8 + (col >> 2)] >>
                            (p.attribute_shift + (col & 2))) &
                           3;
        const uint8_t* row = p.pattern + n * 16;
        decode_pattern_row(row[0], row[8], pixels + a * 4, tile);
        *opaque++ = uint8_t(row[0] | row[8]);
        const uint32_t from = k == 0 ? p.fx : 0;
        const uint32_t to = k == 32 ? p.fx : 8;
        for (uint32_t x = from; x < to; ++x) *out++ = tile[x];
        if (n == 0xFD || n == 0xFE) mapper_latch_tile((fine & 0x1000) + n * 16 + 8 + (fine & 7));
    }
}

#if defined(__SSE2__)
// The faster decode, on CPUs with byte shuffles (see pattern.h).

// The 32 columns of a page's tile row as keys: tile number in the low byte,
// palette in the high one. An attribute byte n (shifted to the row's half)
// gives its four columns the palettes n & 3, n & 3, n >> 2 & 3, n >> 2 & 3.
struct PageKeys {
    __m128i k[4];
};

PageKeys page_keys(const uint8_t* page, const LinePlace& p) {
    const __m128i three = _mm_set1_epi8(3);
    __m128i n = _mm_loadl_epi64(
        reinterpret_cast<const __m128i*>(page + AttributeOffset + (p.row >> 2) * 8));
    n = _mm_srl_epi16(n, _mm_cvtsi32_si128(int(p.attribute_shift)));
    const __m128i left = _mm_and_si128(n, three);
    const __m128i right = _mm_and_si128(_mm_srli_epi16(n, 2), three);
    const __m128i pairs_l = _mm_unpacklo_epi8(left, left),
                  pairs_r = _mm_unpacklo_epi8(right, right);
    const __m128i p0 = _mm_unpacklo_epi16(pairs_l, pairs_r),
                  p1 = _mm_unpackhi_epi16(pairs_l, pairs_r);
    const __m128i* tiles = reinterpret_cast<const __m128i*>(page + p.row * 32);
    const __m128i t0 = _mm_loadu_si128(tiles), t1 = _mm_loadu_si128(tiles + 1);
    return PageKeys{{_mm_unpacklo_epi8(t0, p0), _mm_unpackhi_epi8(t0, p0),
                     _mm_unpacklo_epi8(t1, p1), _mm_unpackhi_epi8(t1, p1)}};
}

inline void store_keys(const PageKeys& k, uint16_t* keys) {
    for (int i = 0; i < 4; ++i) _mm_store_si128(reinterpret_cast<__m128i*>(keys) + i, k.k[i]);
}

// Tiles [from, to) of the keys, eight pixels and one opaque byte each; a tile
// with the key of the one before it repeats its pixels.
__attribute__((target("ssse3"))) void shuffle_tiles(const uint16_t* keys, uint32_t from,
                                                    uint32_t to, const uint8_t* pattern,
                                                    const uint32_t* pixels, uint32_t* out,
                                                    uint8_t* opaque) {
    const __m128i* palettes = reinterpret_cast<const __m128i*>(pixels);
    uint32_t last = ~0u, last_opaque = 0;
    ShuffledRow pixels_of_last{_mm_setzero_si128(), _mm_setzero_si128()};
    for (uint32_t i = from; i < to; ++i, out += 8) {
        const uint32_t key = keys[i];
        if (key != last) {
            last = key;
            const uint8_t* row = pattern + size_t(key & 0xFF) * 16;
            last_opaque = row[0] | row[8];
            pixels_of_last =
                shuffle_pattern_row(row[0], row[8], _mm_load_si128(palettes + (key >> 8)));
        }
        store_row(pixels_of_last, out);
        *opaque++ = uint8_t(last_opaque);
    }
}

// Whether all of a page's keys are key.
inline bool all_keys(const PageKeys& k, uint32_t key) {
    const __m128i v = _mm_set1_epi16(int16_t(key));
    const __m128i a = _mm_and_si128(_mm_cmpeq_epi16(k.k[0], v), _mm_cmpeq_epi16(k.k[1], v));
    const __m128i b = _mm_and_si128(_mm_cmpeq_epi16(k.k[2], v), _mm_cmpeq_epi16(k.k[3], v));
    return _mm_movemask_epi8(_mm_and_si128(a, b)) == 0xFFFF;
}

// What a line of several tiles left in the picture: its tiles' keys, where
// its patterns, palette and scroll came from, and its opaque pixels. A line
// drawn again from the same is left as it stands but for the blocks sprites
// covered since (SpriteCoveredBlocks). A line that changed is not compared
// again for a while (longer the more often it changed): a scrolling screen
// changes every frame and would pay for the comparison for nothing.
struct DrawnLine {
    alignas(16) uint16_t keys[64];  // the two pages' keys (the second only if the line wraps)
    uint32_t place;                 // pattern table and fine row, cx, fx, clipping
    uint32_t patterns;              // PatternVersion of its pattern table
    uint32_t palette;               // Palette.version
    uint8_t opaque[33];
    uint8_t misses;  // comparisons it failed in a row
    bool valid;
};
DrawnLine Drawn[240];
uint8_t DrawnWait[240];  // frames each line is drawn without a comparison, plus one

// A kept line drawn otherwise: it counts as changed, and is kept again after
// 1, 2, 4 ... 32 frames.
inline void drop_drawn(uint32_t line) {
    DrawnLine& d = Drawn[line];
    if (!d.valid) return;
    d.valid = false;
    DrawnWait[line] = uint8_t(1u << d.misses);
    if (d.misses < 5) ++d.misses;
}

// Writes the 8-pixel blocks of line L that the bits of blocks name with the
// pixels a (the left four) and b.
inline void write_blocks(uint32_t* L, uint32_t blocks, __m128i a, __m128i b) {
    for (; blocks; blocks &= blocks - 1) {
        uint32_t* block = L + 8 * uint32_t(__builtin_ctz(blocks));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 4), b);
    }
}

// What a line of one tile left in the picture: that tile's pixels throughout
// (the left eight the backdrop when clipped), except the 8-pixel blocks
// that sprites were laid on since (SpriteCoveredBlocks).
struct BlankLine {
    __m128i a, b;  // the pixels of every block
    bool clipped;
    bool valid;
};
BlankLine Blank[240];

// What a line of one tile was drawn from, so that the next frame finds it
// unchanged before it works out the line's place: the registers, the
// palette's lookups, the pattern table's version, and the tile
// rows it read (the tile throughout, one attribute nibble in every byte).
struct alignas(64) OneTileLine {
    uint64_t nibbles;
    const uint8_t* tiles[2];  // the row in its page and, wrapping onto the other, in that one
    uint32_t registers;       // $2001, $2000, the X scroll and the arrangement
    int32_t scroll_y;
    uint32_t palette;   // Palette.version
    uint32_t patterns;  // PatternVersion of its table
    uint8_t table;      // 0 or 1
    uint8_t row;        // of its page
    uint8_t attribute_shift;
    uint8_t tile;
    uint8_t fine_x;
    uint8_t opaque;  // the tile row's opaque pixels
    bool valid;
    // A line found changed is not noted again for 1, 2, 4 ... 32 frames
    // (longer the more often it changed): a scrolling line would pay for
    // the notes for nothing.
    uint8_t misses;  // times in a row it was found changed
    uint8_t wait;    // frames left before it is noted again
};
OneTileLine OneTile[240];

inline uint32_t line_registers() {
    const PpuRegisterRecord& regs = PpuRegisters;
    return regs.PpuMask | uint32_t(regs.PpuControl) << 8 | regs.ScrollX << 16 |
           CartridgeImage.VerticalMirroring << 24;
}

// Whether a page's tile row (row) holds tile n throughout, in the palette
// whose attribute nibble nibbles repeats.
inline bool row_of_one_tile(const uint8_t* tiles, uint32_t row, uint32_t shift, uint32_t n,
                            uint64_t nibbles) {
    const uint8_t* attributes = tiles - row * 32 + AttributeOffset + (row >> 2) * 8;
    const __m128i v = _mm_set1_epi8(char(n));
    const __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tiles)), v);
    const __m128i b =
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tiles + 16)), v);
    uint64_t bytes;
    std::memcpy(&bytes, attributes, sizeof bytes);
    return _mm_movemask_epi8(_mm_and_si128(a, b)) == 0xFFFF &&
           ((bytes >> shift) & 0x0F0F0F0F0F0F0F0Full) == nibbles;
}

// Notes where a line of one tile (key) came from: the page's row and, when
// the line wraps onto another page, that one's.
void note_one_tile(OneTileLine& one, const LinePlace& p, uint32_t key, bool second) {
    if (one.wait) {
        --one.wait;
        return;
    }
    one.tiles[0] = p.page + p.row * 32;
    one.tiles[1] = second ? p.next + p.row * 32 : nullptr;
    one.row = uint8_t(p.row);
    one.attribute_shift = uint8_t(p.attribute_shift);
    one.nibbles = ((key >> 8) * 5) * 0x0101010101010101ull;
    one.tile = uint8_t(key);
    one.fine_x = uint8_t(p.fx);
    const uint8_t* row = p.pattern + size_t(key & 0xFF) * 16;
    one.opaque = uint8_t(row[0] | row[8]);
    one.registers = line_registers();
    one.scroll_y = PpuRegisters.ScrollY;
    one.palette = Palette.version;
    one.table = (PpuRegisters.PpuControl & PpuControlBackgroundTable) ? 1 : 0;
    one.patterns = PatternVersion[one.table];
    one.valid = true;
}

// A line of one tile throughout (a blank row, most often): the tile is
// decoded once and its pixels, turned by fx, repeated. When the line holds
// them already from the frame before, only the blocks sprites covered are
// written again.
__attribute__((target("ssse3"))) void fill_tiles(uint32_t key, uint32_t fx, const uint8_t* pattern,
                                                 const uint32_t* pixels, uint32_t* L, uint32_t line,
                                                 bool clipped) {
    const uint8_t* row = pattern + size_t(key & 0xFF) * 16;
    const uint32_t lo = row[0], hi = row[8];
    alignas(16) uint32_t twice[16];
    const ShuffledRow tile = shuffle_pattern_row(
        lo, hi, _mm_load_si128(reinterpret_cast<const __m128i*>(pixels) + (key >> 8)));
    store_row(tile, twice);
    store_row(tile, twice + 8);
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(twice + fx));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(twice + fx + 4));
    BlankLine& last = Blank[line];
    const __m128i same = _mm_and_si128(_mm_cmpeq_epi32(last.a, a), _mm_cmpeq_epi32(last.b, b));
    if (last.valid && last.clipped == clipped && _mm_movemask_epi8(same) == 0xFFFF) {
        write_blocks(L, SpriteCoveredBlocks[line], a, b);
    } else {
#pragma GCC unroll 32
        for (uint32_t x = 0; x < 256; x += 8) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(L + x), a);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(L + x + 4), b);
        }
        last = BlankLine{a, b, clipped, true};
        drop_drawn(line);
    }
    std::memset(Opacity.tiles, int(lo | hi), sizeof Opacity.tiles);
}

// A line of one colour (a line without the background): when the line holds
// it already from the frame before, only the blocks sprites covered are
// written again.
__attribute__((noinline)) void fill_colour(uint32_t pixel, uint32_t* L, uint32_t line) {
    const __m128i a = _mm_set1_epi32(int32_t(pixel));
    BlankLine& last = Blank[line];
    const __m128i same = _mm_and_si128(_mm_cmpeq_epi32(last.a, a), _mm_cmpeq_epi32(last.b, a));
    if (last.valid && !last.clipped && _mm_movemask_epi8(same) == 0xFFFF) {
        write_blocks(L, SpriteCoveredBlocks[line], a, a);
        return;
    }
#pragma GCC unroll 32
    for (uint32_t x = 0; x < 256; x += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(L + x), a);
    last = BlankLine{a, a, false, true};
    drop_drawn(line);
}

inline bool same_keys(const PageKeys& k, const uint16_t* keys) {
    const __m128i* old = reinterpret_cast<const __m128i*>(keys);
    const __m128i a = _mm_and_si128(_mm_cmpeq_epi16(k.k[0], _mm_load_si128(old)),
                                    _mm_cmpeq_epi16(k.k[1], _mm_load_si128(old + 1)));
    const __m128i b = _mm_and_si128(_mm_cmpeq_epi16(k.k[2], _mm_load_si128(old + 2)),
                                    _mm_cmpeq_epi16(k.k[3], _mm_load_si128(old + 3)));
    return _mm_movemask_epi8(_mm_and_si128(a, b)) == 0xFFFF;
}

// Writes the background of the covered blocks of a line again from its keys.
__attribute__((noinline)) void restore_blocks(const DrawnLine& d, const LinePlace& p,
                                              const uint32_t* pixels, uint32_t* L,
                                              uint32_t blocks) {
    alignas(16) uint32_t tiles[8 * 34];
    const uint32_t extra = p.fx ? 1 : 0;
    while (blocks) {
        const uint32_t from = uint32_t(__builtin_ctz(blocks));
        const uint32_t to = from + uint32_t(__builtin_ctzll(~(uint64_t(blocks) >> from)));
        // The opaque pixels go where the line's own go after this.
        shuffle_tiles(d.keys, p.cx + from, p.cx + to + extra, p.pattern, pixels, tiles + 8 * from,
                      Opacity.tiles);
        std::memcpy(L + 8 * from, tiles + 8 * from + p.fx, 32 * (to - from));
        blocks = to < 32 ? blocks & ~((1u << to) - 1) : 0;
    }
}

// The line as whole tiles from fx pixels left of the picture: the pixels
// written past either end of the line are put back.
__attribute__((always_inline)) inline void draw_keys(const uint16_t* keys, const LinePlace& p,
                                                     const uint32_t* pixels, uint32_t* L) {
    const uint32_t count = p.fx ? 33 : 32;
    if (!p.fx) {
        shuffle_tiles(keys, p.cx, p.cx + count, p.pattern, pixels, L, Opacity.tiles);
        return;
    }
    uint32_t before[8], after[8];
    std::memcpy(before, L - 8, sizeof before);
    std::memcpy(after, L + 256, sizeof after);
    shuffle_tiles(keys, p.cx, p.cx + count, p.pattern, pixels, L - p.fx, Opacity.tiles);
    std::memcpy(L - 8, before, sizeof before);
    std::memcpy(L + 256, after, sizeof after);
}

__attribute__((always_inline)) inline void draw_unkept(const PageKeys& first, const PageKeys& next,
                                                       bool wraps, const LinePlace& p,
                                                       const uint32_t* pixels, uint32_t* L) {
    alignas(16) uint16_t keys[64];
    store_keys(first, keys);
    if (wraps) store_keys(next, keys + 32);
    draw_keys(keys, p, pixels, L);
}

// A line compared with what it left in the picture the frame before, and
// drawn and kept if it differs.
__attribute__((noinline)) void draw_kept(const PageKeys& first, const PageKeys& second, bool wraps,
                                         const LinePlace p, const uint32_t* pixels, uint32_t* L,
                                         uint32_t line, bool clipped) {
    DrawnLine& d = Drawn[line];
    const uint32_t table = uint32_t(p.pattern - PpuMemory);
    const uint32_t place = table | (p.cx << 16) | (p.fx << 21) | (uint32_t(clipped) << 24);
    const uint32_t patterns = PatternVersion[table >> 12];
    if (d.valid) {
        if (d.place == place && d.patterns == patterns && d.palette == Palette.version &&
            same_keys(first, d.keys) && (!wraps || same_keys(second, d.keys + 32))) {
            d.misses = 0;
            if (SpriteCoveredBlocks[line])
                restore_blocks(d, p, pixels, L, SpriteCoveredBlocks[line]);
            std::memcpy(Opacity.tiles, d.opaque, sizeof d.opaque);
            return;
        }
        drop_drawn(line);
        draw_unkept(first, second, wraps, p, pixels, L);
        return;
    }
    d.valid = true;
    DrawnWait[line] = 0;
    store_keys(first, d.keys);
    if (wraps) store_keys(second, d.keys + 32);
    d.place = place;
    d.patterns = patterns;
    d.palette = Palette.version;
    draw_keys(d.keys, p, pixels, L);
    std::memcpy(d.opaque, Opacity.tiles, sizeof d.opaque);
}

__attribute__((always_inline)) inline void draw_shuffled(const LinePlace& p, const uint32_t* pixels,
                                                         uint32_t* L, uint32_t line, bool clipped) {
    const PageKeys first = page_keys(p.page, p);
    const uint32_t key = uint16_t(_mm_cvtsi128_si32(first.k[0]));
    const bool wraps = p.cx != 0 || p.fx != 0;
    PageKeys second;
    const PageKeys* next = &first;
    if (all_keys(first, key)) {
        if (!wraps || p.next == p.page) {
            fill_tiles(key, p.fx, p.pattern, pixels, L, line, clipped);
            note_one_tile(OneTile[line], p, key, false);
            return;
        }
        second = page_keys(p.next, p);
        next = &second;
        if (all_keys(second, key)) {
            fill_tiles(key, p.fx, p.pattern, pixels, L, line, clipped);
            note_one_tile(OneTile[line], p, key, true);
            return;
        }
    } else if (wraps && p.next != p.page) {
        second = page_keys(p.next, p);
        next = &second;
    }
    Blank[line].valid = false;
    if (DrawnWait[line] > 1) {
        // Changed of late: neither compared nor kept this frame.
        --DrawnWait[line];
        draw_unkept(first, *next, wraps, p, pixels, L);
        return;
    }
    draw_kept(first, *next, wraps, p, pixels, L, line, clipped);
}
#endif

}  // namespace

uint32_t BackgroundOpaqueRow(uint32_t x) {
    const uint32_t p = x + Opacity.fine_x;
    const uint32_t two = uint32_t(Opacity.tiles[p >> 3]) << 8 | Opacity.tiles[(p >> 3) + 1];
    return (two << (p & 7)) >> 8 & 0xFF;
}

uint32_t SpriteCoveredBlocks[240];

uint32_t PatternVersion[2];

bool SimdDecodeOn = true;

void ForgetBackgroundLines() {
    ForgetSpriteRows();
#if defined(__SSE2__)
    for (BlankLine& b : Blank) b.valid = false;
    for (OneTileLine& o : OneTile) o = OneTileLine{};
    for (DrawnLine& d : Drawn) d.valid = false;
    std::memset(DrawnWait, 0, sizeof DrawnWait);
#endif
}

void ForgetBackgroundPalette() {
    Palette.valid = false;
    ForgetBackgroundLines();
}

// What a line without the background shows: the backdrop as it stands; with
// rendering off and the $2007 address left in the palette, that entry
// instead. Only an address that has stayed put since before the line counts:
// one that $2007 accesses move (an upload, most often made while the console
// shows no picture) or that a rendered line moved on (the console's
// rendering runs it through the nametables) shows the backdrop.
__attribute__((noinline)) uint32_t blank_line_pixel(uint32_t tint, uint32_t backdrop) {
    PpuRegisterRecord& regs = PpuRegisters;
    if (regs.PpuMask & PpuMaskRendering) {
        regs.AddressAtRest = 0;
        return backdrop;
    }
    const bool at_rest = regs.AddressAtRest == 2;
    if (regs.AddressAtRest) regs.AddressAtRest = 2;
    uint32_t a = regs.VramAddress & 0x3FFF;
    if (!at_rest || a < 0x3F00) return backdrop;
    if ((a & 0x13) == 0x10) a &= 0x0F;  // $3F10, $3F14, $3F18, $3F1C
    return TintedPalettes[tint][BackgroundPalette[a & 0x1F]];
}

namespace {
#if defined(__SSE2__)
// A line of one tile drawn from the same as in the frame before: only the
// blocks sprites covered since are written again.
bool same_one_tile_line(OneTileLine& one, uint32_t line) {
    // A line is noted only where it was drawn by fill_tiles, which leaves its
    // pixels in Blank; changes of the mapper or of SimdDecodeOn forget both.
    const BlankLine& blank = Blank[line];
    if (one.registers != line_registers() || one.scroll_y != PpuRegisters.ScrollY ||
        one.patterns != PatternVersion[one.table])
        return false;
    const uint8_t mask = PpuRegisters.PpuMask;
    const uint32_t tint = UNLIKELY(mask & (PpuMaskGreyscale | PpuMaskEmphasis)) ? PpuTint(mask) : 0;
    line_palette(tint);  // the palette's bytes (the backdrop's among them) as noted
    if (one.palette != Palette.version ||
        !row_of_one_tile(one.tiles[0], one.row, one.attribute_shift, one.tile, one.nibbles) ||
        (one.tiles[1] &&
         !row_of_one_tile(one.tiles[1], one.row, one.attribute_shift, one.tile, one.nibbles)))
        return false;
    one.misses = 0;
    const uint32_t backdrop =
        tint ? TintedPalettes[tint][BackgroundPalette[0]] : uint32_t(BackdropPixel);
    LineBackdrop[line] = backdrop;
    uint32_t* L = FramePixels + line * FramePitch;
    PpuRegisters.AddressAtRest = 0;          // rendering moves the address on
    const __m128i a = blank.a, b = blank.b;  // held in registers over the stores
    write_blocks(L, SpriteCoveredBlocks[line], a, b);
    SpriteCoveredBlocks[line] = 0;
    if (blank.clipped)
        for (uint32_t x = 0; x < 8; ++x) L[x] = backdrop;
    Opacity.fine_x = one.fine_x;
    const __m128i opaque = _mm_set1_epi8(char(one.opaque));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Opacity.tiles), opaque);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(Opacity.tiles + 16), opaque);
    Opacity.tiles[32] = one.opaque;
    if (SpriteZeroOnLine()) CheckSpriteZeroHit();
    return true;
}

// A line of one tile kept from the frame before, if it still stands: one
// found changed is not noted again for a while.
inline bool kept_one_tile_line(uint32_t line) {
    OneTileLine& one = OneTile[line];
    if (!one.valid) return false;
    if (same_one_tile_line(one, line)) return true;
    one.valid = false;
    one.wait = uint8_t(1u << one.misses);
    if (one.misses < 5) ++one.misses;
    return false;
}
#endif

__attribute__((always_inline)) inline void draw_line(uint32_t line) {
    const PpuRegisterRecord& regs = PpuRegisters;
    uint32_t* L = FramePixels + line * FramePitch;
    // Greyscale and emphasis: the line's colours come from the tint's palette.
    uint32_t tint = 0, backdrop = BackdropPixel;
    if (UNLIKELY(regs.PpuMask & (PpuMaskGreyscale | PpuMaskEmphasis))) {
        tint = PpuTint(regs.PpuMask);
        backdrop = TintedPalettes[tint][BackgroundPalette[0]];
    }
    LineBackdrop[line] = backdrop;
    if (!(regs.PpuMask & PpuMaskShowBackground)) {
        const uint32_t pixel = blank_line_pixel(tint, backdrop);
#if defined(__SSE2__)
        if (SimdDecodeOn) {
            fill_colour(pixel, L, line);
            SpriteCoveredBlocks[line] = 0;
            return;
        }
        drop_drawn(line);
#endif
        for (uint32_t x = 0; x < 256; ++x) L[x] = pixel;
        SpriteCoveredBlocks[line] = 0;
        return;
    }
    if (regs.AddressAtRest) PpuRegisters.AddressAtRest = 0;  // rendering moves the address on
    const uint32_t arrangement = CartridgeImage.VerticalMirroring;
    const bool vertical = arrangement != 0;
    uint32_t s = vertical ? (regs.PpuControl & 1) : ((regs.PpuControl >> 1) & 1);  // the page bits

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
    LinePlace p;
    p.page = page_of(s);
    p.next = vertical ? page_of(s ^ 1) : p.page;
    // One page for all four: the page bits choose nothing.
    if (arrangement >= MirrorSingleLow) p.page = p.next = page_of(arrangement & 1);
    p.row = uint32_t(y) >> 3;
    p.cx = (regs.ScrollX >> 3) & 31;
    p.fx = regs.ScrollX & 7;
    p.pattern = PpuMemory + ((regs.PpuControl & PpuControlBackgroundTable) ? 0x1000 : 0) +
                (uint32_t(y) & 7);
    p.attribute_shift = (p.row & 2) * 2;
    Opacity.fine_x = p.fx;
    // The palette cannot change within a line.
    const uint32_t* pixels = line_palette(tint);
    const bool clipped = !(regs.PpuMask & PpuMaskBackgroundLeft);
#if defined(__SSE2__)
    if (MapperWatchesTiles) {
        Blank[line].valid = false;
        drop_drawn(line);
        draw_latched(p, pixels, L);
    } else if (kShuffles && SimdDecodeOn) {
        draw_shuffled(p, pixels, L, line, clipped);
    } else {
        Blank[line].valid = false;
        drop_drawn(line);
        draw_plain(p, pixels, L);
    }
#else
    if (MapperWatchesTiles)
        draw_latched(p, pixels, L);
    else
        draw_plain(p, pixels, L);
#endif
    SpriteCoveredBlocks[line] = 0;

    // The left-edge clip shows the backdrop there, which sprites take as no
    // background.
    if (clipped)
        for (uint32_t x = 0; x < 8; ++x) L[x] = backdrop;
    if (SpriteZeroOnLine()) CheckSpriteZeroHit();
}
}  // namespace

void RenderBackgroundLine() {
    PickSpritesForLine();
    EvaluateSpritesForLine();
    const uint32_t line = uint32_t(MachineState.Scanline);
#if defined(__SSE2__)
    if (kept_one_tile_line(line)) return;
#endif
    draw_line(line);
}
