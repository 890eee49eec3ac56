#include "ppu/surfaces.h"

#include <cstring>

#include "ppu/ppu.h"

namespace {
// Eight pixels either side of the picture: a line drawn from whole tiles may
// run into them before its ends are put back.
uint32_t FrameMemory[8 + 256 * 240 + 8];
uint32_t SpriteStripMemory[512 * 16];
uint32_t BehindStripMemory[512 * 16];
}  // namespace

VideoSurface FrameSurface;
VideoSurface SpriteStrip;
VideoSurface BehindStrip;

uint32_t* FramePixels;
int32_t FramePitch;
uint32_t* SpritePixels;
int32_t SpritePitch;
uint32_t AppliedBackdrop;

void create_surfaces() {
    FrameSurface = VideoSurface{FrameMemory + 8, 256, 256, 240, 0};
    SpriteStrip = VideoSurface{SpriteStripMemory, 512, 512, 16, SpriteKeyColour};
    BehindStrip = VideoSurface{BehindStripMemory, 512, 512, 16, 0};
    AppliedBackdrop = 0;
}

void lock_frame_surfaces() {
    SpritePixels = SpriteStrip.Pixels;
    SpritePitch = SpriteStrip.Pitch;
    FramePixels = FrameSurface.Pixels;
    FramePitch = FrameSurface.Pitch;
}

void unlock_frame_surfaces() {
    FramePixels = nullptr;
    SpritePixels = nullptr;
}

void update_behind_key() {
    if (BackdropPixel != AppliedBackdrop) {
        AppliedBackdrop = BackdropPixel;
        BehindStrip.SourceKey = BackdropPixel;
    }
}

void surface_copy(VideoSurface& dst, int32_t x, int32_t y, const VideoSurface& src, int32_t left,
                  int32_t top, int32_t right, int32_t bottom, bool keyed) {
    // Clip the source to its surface, then the destination to its own.
    if (left < 0) x -= left, left = 0;
    if (top < 0) y -= top, top = 0;
    if (right > src.Width) right = src.Width;
    if (bottom > src.Height) bottom = src.Height;
    if (x < 0) left -= x, x = 0;
    if (y < 0) top -= y, y = 0;
    if (right - left > dst.Width - x) right = left + (dst.Width - x);
    if (bottom - top > dst.Height - y) bottom = top + (dst.Height - y);
    int32_t w = right - left, h = bottom - top;
    if (w <= 0 || h <= 0) return;
    const uint32_t key = src.SourceKey;
    const uint32_t* s = src.Pixels + top * src.Pitch + left;
    uint32_t* d = dst.Pixels + y * dst.Pitch + x;
    if (!keyed) {
        for (int32_t r = 0; r < h; ++r, s += src.Pitch, d += dst.Pitch)
            std::memcpy(d, s, size_t(w) * sizeof(uint32_t));
        return;
    }
    if (w == 8) {
        // A whole sprite row: a fixed count the compiler unrolls and blends.
        for (int32_t r = 0; r < h; ++r, s += src.Pitch, d += dst.Pitch)
            for (int32_t k = 0; k < 8; ++k) d[k] = s[k] == key ? d[k] : s[k];
        return;
    }
    for (int32_t r = 0; r < h; ++r, s += src.Pitch, d += dst.Pitch)
        for (int32_t k = 0; k < w; ++k) d[k] = s[k] == key ? d[k] : s[k];
}
