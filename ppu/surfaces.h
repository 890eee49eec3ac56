// The three picture surfaces in plain memory and their lock for a frame (the
// sprites' keyed copies are in sprites.cpp). The headless runner
// and the desktop app share them; the desktop app only adds the window.
#pragma once
#include <cstdint>

struct VideoSurface {
    uint32_t* Pixels;
    int32_t Pitch;  // in pixels
    int32_t Width;
    int32_t Height;
    uint32_t SourceKey;  // pixels of this value are skipped by keyed copies from here
};

extern VideoSurface FrameSurface;  // 256 x 240: the picture
extern VideoSurface SpriteStrip;   // 512 x 16: sprite i in columns 8i to 8i + 7
extern VideoSurface BehindStrip;   // 512 x 16: background saved under behind sprites

// Valid between lock_frame_surfaces and unlock_frame_surfaces.
extern uint32_t* FramePixels;
extern int32_t FramePitch;
extern uint32_t* SpritePixels;
extern int32_t SpritePitch;

// The BackdropPixel value last applied as the BehindStrip's key.
extern uint32_t AppliedBackdrop;

// Sets the surfaces up with their sizes and keys (the strip keyed by
// SpriteKeyColour, the behind strip by 0). Idempotent.
void create_surfaces();
void lock_frame_surfaces();
void unlock_frame_surfaces();
// Re-keys the BehindStrip with BackdropPixel when it changed.
void update_behind_key();
