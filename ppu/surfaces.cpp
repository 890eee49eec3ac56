#include "ppu/surfaces.h"

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
