// Pattern rows to pixels, shared by the background and sprite renderers.
#pragma once
#include <cstdint>

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
