// The picture unit: registers at $2000-$2007, sprite DMA, its memory layout,
// palette and the tables of the background renderer.
#pragma once
#include <cstdint>

struct PpuRegisterRecord {
    uint8_t PpuControl;            // last $2000 value (bits 0-1 also set by $2006)
    uint8_t PpuMask;               // last $2001 value
    uint8_t PpuStatus;             // bit 7 vertical blank, 6 sprite-0 hit, 5 sprite overflow
    uint8_t OamAddress;            // SpriteRam index of the next $2004 write
    uint8_t VramIncrement;         // 1 or 32, added after each $2007 access
    uint16_t VramAddress;          // address used by $2007
    uint8_t AddressToggle;         // 0: the next $2005/$2006 write is the first of its pair
    uint8_t ScrollToggle;          // always equal to AddressToggle: the two share one toggle
    uint32_t ScrollX;              // 0-255
    int32_t ScrollY;               // added to the line number by the renderer; may be negative
    uint8_t MidFrameAddressWrite;  // a $2006 split happened outside vertical blank
    uint8_t ReadBuffer;            // what the next $2007 read below $3F00 returns
    uint8_t SplitPending;          // an address was set with rendering off in mid-frame
    int32_t SplitPosition;         // its picture row, should rendering come back on
    int32_t SplitLine;             // the line it was set in; -1: set in an earlier frame
    int32_t FrameScrollY;          // the ScrollY the next frame starts from
    uint16_t NextAddress;          // the address the second $2006 write completes
    uint8_t DataLatch;             // the last byte on the picture unit's data bus
    uint8_t LatchRefreshed;        // latch bits refreshed in this fading period
    uint8_t LatchFrames;           // frames of this fading period so far
    uint8_t AddressAtRest;         // 1: set by $2006 in this line, 2: before it; 0: moved since
};
extern PpuRegisterRecord PpuRegisters;

// Bits of $2000, $2001 and $2002.
constexpr uint8_t PpuControlPage = 0x03;
constexpr uint8_t PpuControlIncrement32 = 0x04;
constexpr uint8_t PpuControlSpriteTable = 0x08;
constexpr uint8_t PpuControlBackgroundTable = 0x10;
constexpr uint8_t PpuControlTallSprites = 0x20;
constexpr uint8_t PpuControlNmi = 0x80;
constexpr uint8_t PpuMaskBackgroundLeft = 0x02;
constexpr uint8_t PpuMaskSpritesLeft = 0x04;
constexpr uint8_t PpuMaskShowBackground = 0x08;
constexpr uint8_t PpuMaskShowSprites = 0x10;
constexpr uint8_t PpuMaskGreyscale = 0x01;
constexpr uint8_t PpuMaskEmphasis = 0xE0;  // red, green, blue: bits 5, 6, 7
constexpr uint8_t PpuMaskRendering = PpuMaskShowBackground | PpuMaskShowSprites;
constexpr uint8_t PpuStatusOverflow = 0x20;
constexpr uint8_t PpuStatusSpriteZeroHit = 0x40;
constexpr uint8_t PpuStatusVblank = 0x80;
constexpr uint8_t PpuStatusBits = 0xE0;  // the rest of a $2002 read is the data latch
// The data latch fades in periods of this many frames: a bit not refreshed in
// a period fades to 0 at its end (0.4 to 0.8 s after its last refresh).
constexpr uint8_t DataLatchFrames = 24;
// Bits of a sprite's attribute byte.
constexpr uint8_t SpritePaletteBits = 0x03;
constexpr uint8_t SpriteBehindBackground = 0x20;
constexpr uint8_t SpriteFlipX = 0x40;
constexpr uint8_t SpriteFlipY = 0x80;

// Offsets of the views into PpuMemory.
constexpr uint32_t NametablePageAOffset = 0x2000;
constexpr uint32_t NametablePageBOffset = 0x2400;
constexpr uint32_t AttributeOffset = 0x3C0;  // within a page
constexpr uint32_t BackgroundPaletteOffset = 0x3F00;
constexpr uint32_t SpritePaletteOffset = 0x3F10;

extern uint8_t* NametablePageA;
extern uint8_t* NametablePageB;
extern uint8_t* BackgroundPalette;
extern uint8_t* SpritePalette;

constexpr uint32_t SpriteKeyColour = 0x00111111;  // transparent sprite pixel
constexpr uint32_t BackdropMarker = 0x20000000;   // opaque pixel of the backdrop colour
constexpr uint32_t MarkedColourOffset = 65;       // palette byte of a marked colour

extern uint32_t MasterPalette[129];
extern uint32_t BackdropPixel;
// MasterPalette under each of the 16 tints of $2001 (greyscale and the three
// emphasis bits): tint 0 is MasterPalette itself. The sprite key colour stays,
// and marked colours keep their marker.
constexpr uint32_t PpuTints = 16;
extern uint32_t TintedPalettes[PpuTints][129];
// The tint a $2001 value selects.
inline uint32_t PpuTint(uint8_t mask) {
    return (mask & PpuMaskGreyscale) | ((mask & PpuMaskEmphasis) >> 4);
}
// The backdrop as each line of the frame was drawn with it (its tint, and its
// colour then): where sprites behind the background show.
extern uint32_t LineBackdrop[240];

void PpuPowerUp();
// The picture unit's part of a frame's start: the status bits of the last
// frame end, and the scroll is the one last set (a split lasts for its frame).
void PpuStartFrame();
uint8_t PpuReadRegister(uint32_t address);
void PpuWriteRegister(uint32_t address, uint8_t value);
uint8_t VramRead();
void VramWrite(uint8_t value);
void SpriteDma(uint8_t page);

// PpuMemory offset of a nametable address ($2000-$3EFF) under the current
// arrangement.
uint32_t NametableOffset(uint32_t address);

// ---- background renderer ----

// Draws line Scanline of the FrameSurface, with the sprite pick first and the
// sprite-0 check last.
void RenderBackgroundLine();
// The opaque background pattern pixels (not colour 0 of their palette) of
// pixels x to x + 7 (x 0-255) of the line drawn last: pixel x in bit 7.
// Pixels past the line read as not opaque or as its last tile's.
uint32_t BackgroundOpaqueRow(uint32_t x);
// The background keeps its palette's pixels from line to line, and knows what
// it left in lines of one tile; MasterPalette changes (power-up) drop both.
void ForgetBackgroundPalette();
// Drops what the background knows of the lines in the picture: after the
// pattern area was written behind the mappers' backs (a state load).
void ForgetBackgroundLines();
// Bumped whenever the bytes of a pattern table (0: $0000, 1: $1000) may have
// changed: a bank switch that copies, a CHR RAM write.
extern uint32_t PatternVersion[2];
// The 8-pixel blocks of each line that the sprite composite wrote since the
// background drew the line (bit k: pixels 8k to 8k + 7).
extern uint32_t SpriteCoveredBlocks[240];

// ---- sprite renderer ----

extern uint32_t SpriteState[64];  // 0 hidden, 1 behind the background, 2 in front
extern uint32_t SpriteX[64];
extern uint32_t SpriteTop[64];      // Y byte + 1
extern uint32_t SpriteHeight;       // 8 or 16
extern uint8_t SpritesOnLine[240];  // sprites the console finds on each line

// Also files every sprite under its Y byte for PickSpritesForLine.
void BuildSpriteTables();
// The sprite pick finds a line's sprites through a table of Y bytes kept by
// the writes to SpriteRam: $2004 writes (SpriteByteWritten with the index
// written) and sprite DMA (SpriteMemoryChanged). Any other code that writes
// SpriteRam between frame starts must call SpriteMemoryChanged afterwards.
void SpriteMemoryChanged();
void SpriteByteWritten(uint32_t index);
void PickSpritesForLine();
void DrawSprite8x8(uint32_t sprite);
void DrawSprite8x16(uint32_t sprite);
// Drops what the sprite strip's columns were decoded from (with the lines).
void ForgetSpriteRows();
void CheckSpriteZeroHit();
// The sprite evaluation of a rendered line: sets the overflow flag where the
// console finds more than eight sprites, and leaves OamAddress at 0.
void EvaluateSpritesForLine();
void CompositeSprites();
