// Pattern rows to pixels, shared by the background and sprite renderers.
#pragma once
#include <cstdint>
#if defined(__SSE2__)
#include <tmmintrin.h>
#endif

// Writes the 8 pixels of one pattern row (bit planes lo and hi, leftmost
// pixel in bit 7) through the four pixel values of its palette. The bytes
// are split into two interleaved ones so that each pixel's colour comes out
// with one shift and one mask.
inline void decode_pattern_row(uint32_t lo, uint32_t hi, const uint32_t* px, uint32_t* out) {
    const uint32_t odd = ((hi & 0x55) << 1) | (lo & 0x55);   // pixels 7, 5, 3, 1
    const uint32_t even = ((lo >> 1) & 0x55) | (hi & 0xAA);  // pixels 6, 4, 2, 0
    out[0] = px[(even >> 6) & 3];
    out[1] = px[(odd >> 6) & 3];
    out[2] = px[(even >> 4) & 3];
    out[3] = px[(odd >> 4) & 3];
    out[4] = px[(even >> 2) & 3];
    out[5] = px[(odd >> 2) & 3];
    out[6] = px[even & 3];
    out[7] = px[odd & 3];
}

// Whether the background and the sprites may decode with byte shuffles and
// refill lines of one tile from what the frame before left there
// (console_set_simd); off, they decode a row at a time as written above.
extern bool SimdDecodeOn;

#if defined(__SSE2__)
// Each pattern byte as eight pixel masks: lane k is all ones when the byte's
// bit 7 - k is set (pixel k of the row is set in that plane).
struct PlaneMasks {
    alignas(16) uint32_t lanes[256][8];
    constexpr PlaneMasks() : lanes() {
        for (int b = 0; b < 256; ++b)
            for (int k = 0; k < 8; ++k) lanes[b][k] = ((b >> (7 - k)) & 1) ? ~0u : 0u;
    }
};
inline constexpr PlaneMasks kPlaneMasks{};

// A palette's four pixels c0-c3 as the vector decode takes them: pixel =
// c0 ^ (lo & (c0 ^ c1)) ^ (hi & (c0 ^ c2)) ^ (lo & hi & (c0 ^ c1 ^ c2 ^ c3)),
// which is c0, c1, c2 or c3 for the plane bits (lo, hi).
struct PaletteVectors {
    __m128i c0, d1, d2, d3;
};

inline PaletteVectors palette_vectors(const uint32_t* px) {
    const __m128i c0 = _mm_set1_epi32(int32_t(px[0])), c1 = _mm_set1_epi32(int32_t(px[1]));
    const __m128i c2 = _mm_set1_epi32(int32_t(px[2])), c3 = _mm_set1_epi32(int32_t(px[3]));
    const __m128i d1 = _mm_xor_si128(c0, c1), d2 = _mm_xor_si128(c0, c2);
    return PaletteVectors{c0, d1, d2, _mm_xor_si128(_mm_xor_si128(d1, c2), c3)};
}

// decode_pattern_row with the palette as vectors: four pixels at a time,
// with no look-up per pixel.
inline void decode_pattern_row(uint32_t lo, uint32_t hi, const PaletteVectors& p, uint32_t* out) {
    const __m128i* ml = reinterpret_cast<const __m128i*>(kPlaneMasks.lanes[lo]);
    const __m128i* mh = reinterpret_cast<const __m128i*>(kPlaneMasks.lanes[hi]);
    for (int half = 0; half < 2; ++half) {
        const __m128i l = _mm_load_si128(ml + half), h = _mm_load_si128(mh + half);
        __m128i r = _mm_xor_si128(p.c0, _mm_and_si128(l, p.d1));
        r = _mm_xor_si128(r, _mm_and_si128(h, p.d2));
        r = _mm_xor_si128(r, _mm_and_si128(_mm_and_si128(l, h), p.d3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * half), r);
    }
}

// The faster decode, on CPUs with byte shuffles (SSSE3, chosen at run time).
// A palette's four pixels fill one 16-byte vector; a pattern row's eight
// pixels pick their bytes from it with two shuffles, whose controls are the
// OR of one vector pair for the low plane byte and one for the high.
struct PlaneControls {
    alignas(16) uint8_t bytes[256][32];
    constexpr explicit PlaneControls(int plane) : bytes() {
        for (int v = 0; v < 256; ++v)
            for (int k = 0; k < 8; ++k)
                for (int b = 0; b < 4; ++b)
                    bytes[v][4 * k + b] =
                        uint8_t((((v >> (7 - k)) & 1) << (2 + plane)) + (plane ? 0 : b));
    }
};
inline constexpr PlaneControls kLowPlane{0}, kHighPlane{1};
inline const bool kShuffles = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));

// Pattern row lo, hi through the palette's pixels pal: pixels 0-3 and 4-7.
struct ShuffledRow {
    __m128i left, right;
};
__attribute__((target("ssse3"))) inline ShuffledRow shuffle_pattern_row(uint32_t lo, uint32_t hi,
                                                                        __m128i pal) {
    const __m128i* l = reinterpret_cast<const __m128i*>(kLowPlane.bytes[lo]);
    const __m128i* h = reinterpret_cast<const __m128i*>(kHighPlane.bytes[hi]);
    return ShuffledRow{
        _mm_shuffle_epi8(pal, _mm_or_si128(_mm_load_si128(l), _mm_load_si128(h))),
        _mm_shuffle_epi8(pal, _mm_or_si128(_mm_load_si128(l + 1), _mm_load_si128(h + 1)))};
}

inline void store_row(const ShuffledRow& row, uint32_t* out) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), row.left);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), row.right);
}
#endif
