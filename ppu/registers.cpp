#include <cstring>

#include "cart/cartridge.h"
#include "core/machine.h"
#include "ppu/ppu.h"

PpuRegisterRecord PpuRegisters;

uint8_t* NametablePageA;
uint8_t* NametablePageB;
uint8_t* BackgroundPalette;
uint8_t* SpritePalette;

uint32_t MasterPalette[129];
uint32_t BackdropPixel;
uint32_t TintedPalettes[PpuTints][129];
uint32_t LineBackdrop[240];

namespace {

// The 64 colours. $20 and $30 are one white: the console puts out the same
// signal for both.
const uint32_t kColours[64] = {
    0x7F7F7F, 0x0000FF, 0x0000BF, 0x472BBF, 0x970087, 0xAB0023, 0xAB1300, 0x8B1700,
    0x533000, 0x007800, 0x006B00, 0x005B00, 0x004358, 0x000000, 0x000000, 0x000000,
    0xBFBFBF, 0x0078F8, 0x0058F8, 0x6B47FF, 0xDB00CD, 0xE7005B, 0xF83800, 0xE75F13,
    0xAF7F00, 0x00B800, 0x00AB00, 0x00AB47, 0x008B8B, 0x000000, 0x000000, 0x000000,
    0xFFFFFF, 0x3FBFFF, 0x6B88FF, 0x9878F8, 0xF878F8, 0xF85898, 0xF87858, 0xFFA347,
    0xF8B800, 0xB8F818, 0x5BDB57, 0x58F898, 0x00EBDB, 0x787878, 0x000000, 0x000000,
    0xFFFFFF, 0xA7E7FF, 0xB8B8F8, 0xD8B8F8, 0xF8B8F8, 0xFBA7C3, 0xF0D0B0, 0xFFE3AB,
    0xFBDB7B, 0xD8F878, 0xB8F8B8, 0xB8F8D8, 0x00FFFF, 0xF8D8F8, 0x000000, 0x000000,
};

// A colour under emphasis: each emphasis bit darkens the two other channels
// (red, green, blue for bits 5, 6, 7) to three quarters.
uint32_t emphasised(uint32_t rgb, uint32_t tint) {
    uint32_t out = 0;
    for (uint32_t c = 0; c < 3; ++c) {  // blue, green, red
        uint32_t v = (rgb >> (8 * c)) & 0xFF;
        const uint32_t own = 3 - c;  // tint bit of this channel: red 1, green 2, blue 3
        for (uint32_t bit = 1; bit <= 3; ++bit)
            if (bit != own && (tint >> bit) & 1) v = v * 3 / 4;
        out |= v << (8 * c);
    }
    return out;
}

// Greyscale keeps the brightness column ($00, $10, $20, $30) of each colour.
void build_tinted_palettes() {
    for (uint32_t t = 0; t < PpuTints; ++t) {
        for (uint32_t i = 0; i < 64; ++i) {
            const uint32_t colour = (t & PpuMaskGreyscale) ? (i & 0x30) : i;
            const uint32_t rgb = emphasised(kColours[colour], t);
            TintedPalettes[t][i] = rgb;
            TintedPalettes[t][i + MarkedColourOffset] = rgb | BackdropMarker;
        }
        TintedPalettes[t][64] = SpriteKeyColour;
    }
}

void write_control(uint8_t v) {
    // The page bits also go into the address the next $2006 pair completes.
    PpuRegisters.NextAddress =
        uint16_t((PpuRegisters.NextAddress & ~0x0C00) | ((v & PpuControlPage) << 10));
    MachineState.NmiEnabled = v & PpuControlNmi;
    PpuRegisters.VramIncrement = (v & PpuControlIncrement32) ? 32 : 1;
    // After a split the page it chose holds to the end of the visible lines;
    // the other bits (pattern tables, sprite size) change at once.
    if (!PpuRegisters.MidFrameAddressWrite)
        PpuRegisters.PpuControl = v;
    else
        PpuRegisters.PpuControl =
            uint8_t((v & ~PpuControlPage) | (PpuRegisters.PpuControl & PpuControlPage));
}

// $2005 and $2006 share one toggle: the first write of either makes the next
// write of either a second one. Both build the address that the second $2006
// write completes: the scroll's columns (bits 0-4) and rows (5-9, fine row
// 12-14), the page (10-11, from $2000 too), or its high byte.
void set_toggle(uint8_t t) {
    PpuRegisters.AddressToggle = t;
    PpuRegisters.ScrollToggle = t;
}

void write_scroll(uint8_t v) {
    uint16_t& next = PpuRegisters.NextAddress;
    if (PpuRegisters.AddressToggle == 0) {
        PpuRegisters.ScrollX = v;
        next = uint16_t((next & ~0x001F) | (v >> 3));
        set_toggle(1);
        return;
    }
    next = uint16_t((next & ~0x73E0) | ((v & 7) << 12) | ((v & 0xF8) << 2));
    set_toggle(0);
    // Outside vertical blank the value waits for the next frame.
    PpuRegisters.FrameScrollY = v < 240 ? int32_t(v) : int32_t(v) - 256;
    if (MachineState.InVblank) PpuRegisters.ScrollY = PpuRegisters.FrameScrollY;
}

// A split made in line `line`: it shows picture row t, the next line t + 1,
// and so on.
void split_at(int32_t t, int32_t line) {
    if (t > 240) t = 240 - t;
    PpuRegisters.ScrollY = t - line;
    PpuRegisters.MidFrameAddressWrite = 1;
}

void write_address(uint8_t v) {
    // The first write only waits for the second (the top two bits are lost):
    // the $2007 address moves once, when both bytes are in.
    uint16_t& next = PpuRegisters.NextAddress;
    if (PpuRegisters.AddressToggle == 0) {
        next = uint16_t((next & 0x00FF) | ((v & 0x3F) << 8));
        set_toggle(1);
        return;
    }
    set_toggle(0);
    next = uint16_t((next & 0xFF00) | v);
    PpuRegisters.VramAddress = next;
    PpuRegisters.AddressAtRest = 1;
    uint32_t a = PpuRegisters.VramAddress;
    PpuRegisters.ScrollX = (a & 0x1F) * 8;
    int32_t t = int32_t(((a >> 12) & 7) + ((a >> 5) & 0x1F) * 8);
    PpuRegisters.PpuControl =
        uint8_t((PpuRegisters.PpuControl & ~PpuControlPage) | ((a >> 10) & PpuControlPage));
    // Whatever happens in this frame, the next one starts from this address.
    PpuRegisters.FrameScrollY = t;
    PpuRegisters.SplitPending = 0;
    if (MachineState.InVblank) {
        PpuRegisters.ScrollY = t;
    } else if (PpuRegisters.PpuMask & PpuMaskRendering) {
        split_at(t, MachineState.Scanline);
    } else {
        // With rendering off the address is most often an upload's: it only
        // becomes a split if rendering comes back on before the frame ends.
        PpuRegisters.SplitPending = 1;
        PpuRegisters.SplitPosition = t;
        PpuRegisters.SplitLine = MachineState.Scanline;
    }
}

void write_mask(uint8_t v) {
    PpuRegisters.PpuMask = v;
    if (!(v & PpuMaskRendering) || !PpuRegisters.SplitPending) return;
    PpuRegisters.SplitPending = 0;
    // Rendering resumes where the address points: from the line of the write
    // when it was this frame's, else from this line.
    const int32_t line = MachineState.Scanline;
    if (!MachineState.InVblank && line < 240)
        split_at(PpuRegisters.SplitPosition,
                 PpuRegisters.SplitLine >= 0 ? PpuRegisters.SplitLine : line);
}

// The data latch takes the bits of mask from value; those bits start their
// fading time again.
inline void refresh_latch(uint8_t value, uint8_t mask) {
    PpuRegisterRecord& r = PpuRegisters;
    r.DataLatch = uint8_t((r.DataLatch & ~mask) | (value & mask));
    r.LatchRefreshed |= mask;
}

// What a palette address reads: the colour as written ($3F10, $3F14, $3F18
// and $3F1C are $3F00, $3F04, $3F08 and $3F0C).
uint8_t read_palette(uint32_t a) {
    if ((a & 0x13) == 0x10) a &= 0x0F;
    uint8_t b = PpuMemory[BackgroundPaletteOffset + (a & 0x1F)];
    return b >= MarkedColourOffset ? uint8_t(b - MarkedColourOffset) : b;
}

}  // namespace

void PpuPowerUp() {
    NametablePageA = PpuMemory + NametablePageAOffset;
    NametablePageB = PpuMemory + NametablePageBOffset;
    BackgroundPalette = PpuMemory + BackgroundPaletteOffset;
    SpritePalette = PpuMemory + SpritePaletteOffset;
    for (int i = 0; i < 64; ++i) {
        MasterPalette[i] = kColours[i];
        MasterPalette[i + MarkedColourOffset] = kColours[i] | BackdropMarker;
    }
    MasterPalette[64] = SpriteKeyColour;
    build_tinted_palettes();
    ForgetBackgroundPalette();
    for (int i = 0; i < 16; i += 4) SpritePalette[i] = 0x40;
    SpriteMemoryChanged();
    // Before the first $2000 write the increment is the one PpuControl = 0 stands for.
    PpuRegisters.VramIncrement = 1;
}

void PpuStartFrame() {
    PpuRegisters.PpuStatus &=
        uint8_t(~(PpuStatusVblank | PpuStatusSpriteZeroHit | PpuStatusOverflow));
    PpuRegisters.ScrollY = PpuRegisters.FrameScrollY;
    PpuRegisters.SplitLine = -1;
    // An address set in vertical blank has stayed put since before line 0.
    if (PpuRegisters.AddressAtRest) PpuRegisters.AddressAtRest = 2;
    // Latch bits left unrefreshed fade to 0.
    PpuRegisterRecord& r = PpuRegisters;
    if (++r.LatchFrames >= DataLatchFrames) {
        r.LatchFrames = 0;
        r.DataLatch &= r.LatchRefreshed;
        r.LatchRefreshed = 0;
    }
}

uint32_t NametableOffset(uint32_t a) {
    const uint32_t arrangement = CartridgeImage.VerticalMirroring;
    if (arrangement >= MirrorSingleLow)
        return (arrangement == MirrorSingleHigh ? 0x2400 : 0x2000) + (a & 0x3FF);
    if (arrangement) return 0x2000 + (a & 0x7FF);
    return (a < 0x2800 ? 0x2000 : 0x2400) + (a & 0x3FF);
}

uint8_t VramRead() {
    PpuRegisters.AddressAtRest = 0;
    uint32_t a = PpuRegisters.VramAddress &= 0x3FFF;
    if (a >= 0x3F00) return PpuMemory[0x3F00 + (a & 0x1F)];
    if (a < 0x2000) return PpuMemory[a];
    return PpuMemory[NametableOffset(a)];
}

namespace {
inline void vram_write(uint8_t value) {
    PpuRegisters.AddressAtRest = 0;
    uint32_t a = PpuRegisters.VramAddress &= 0x3FFF;
    if (a < 0x2000) {
        // CHR ROM cannot be written; without it the pattern area is RAM.
        if (CartridgeImage.ChrBanks == 0) {
            PpuMemory[a] = value;
            ++PatternVersion[a >> 12];
        }
    } else if (a < 0x3F00) {
        PpuMemory[NametableOffset(a)] = value;
    } else {
        uint8_t v = value & 0x3F;
        // The 32 entries repeat through $3F00-$3FFF: every 16th is the backdrop.
        if ((a & 0x0F) == 0) {
            for (int i = 0; i < 16; i += 4) BackgroundPalette[i] = v;
            BackdropPixel = MasterPalette[v];
        } else if (a & 3) {
            if (v == BackgroundPalette[0]) v = uint8_t(v + MarkedColourOffset);
            PpuMemory[0x3F00 + (a & 0x1F)] = v;
        }
    }
    PpuRegisters.VramAddress = uint16_t(PpuRegisters.VramAddress + PpuRegisters.VramIncrement);
}
}  // namespace

void VramWrite(uint8_t value) { vram_write(value); }

// Bits a register does not drive, and the write-only registers, read the data
// latch; the bits a read drives refresh it.
uint8_t PpuReadRegister(uint32_t address) {
    switch (address) {
        case 0x2002: {
            set_toggle(0);
            // Reading takes the vertical-blank bit away, as on the console.
            const uint8_t s = uint8_t((PpuRegisters.PpuStatus & PpuStatusBits) |
                                      (PpuRegisters.DataLatch & ~PpuStatusBits));
            PpuRegisters.PpuStatus &= uint8_t(~PpuStatusVblank);
            refresh_latch(s, PpuStatusBits);
            return s;
        }
        case 0x2004: {
            // The attribute byte has no bits 2-4: they read back as 0.
            uint8_t v = SpriteRam[PpuRegisters.OamAddress];
            if ((PpuRegisters.OamAddress & 3) == 2) v &= 0xE3;
            refresh_latch(v, 0xFF);
            return v;
        }
        case 0x2007: {
            const uint32_t before = PpuRegisters.VramAddress;
            // Below $3F00 a read returns the byte the last read fetched; the
            // palette answers at once (six bits, the top two from the latch)
            // and the buffer takes the nametable byte underneath.
            uint8_t v;
            uint32_t a = PpuRegisters.VramAddress &= 0x3FFF;
            PpuRegisters.AddressAtRest = 0;
            if (a >= 0x3F00) {
                v = uint8_t((read_palette(a) & 0x3F) | (PpuRegisters.DataLatch & 0xC0));
                refresh_latch(v, 0x3F);
                PpuRegisters.ReadBuffer = PpuMemory[NametableOffset(a & 0x2FFF)];
            } else {
                v = PpuRegisters.ReadBuffer;
                refresh_latch(v, 0xFF);
                PpuRegisters.ReadBuffer = VramRead();
            }
            PpuRegisters.VramAddress =
                uint16_t(PpuRegisters.VramAddress + PpuRegisters.VramIncrement);
            mapper_ppu_address(before, PpuRegisters.VramAddress);
            return v;
        }
        default: return PpuRegisters.DataLatch;
    }
}

void PpuWriteRegister(uint32_t address, uint8_t value) {
    const uint32_t before = PpuRegisters.VramAddress;
    refresh_latch(value, 0xFF);
    if (address == 0x2007) {  // uploads, the most frequent by far
        vram_write(value);
        mapper_ppu_address(before, PpuRegisters.VramAddress);
        return;
    }
    switch (address) {
        case 0x2000: write_control(value); break;
        case 0x2001: write_mask(value); break;
        case 0x2003: PpuRegisters.OamAddress = value; break;
        case 0x2004:
            SpriteRam[PpuRegisters.OamAddress] = value;
            SpriteByteWritten(PpuRegisters.OamAddress++);
            break;
        case 0x2005: write_scroll(value); break;
        case 0x2006: write_address(value); break;
        default: break;
    }
    // The cartridge sees the PPU address lines move (the MMC3 counts A12).
    if (address >= 0x2006) mapper_ppu_address(before, PpuRegisters.VramAddress);
}

void SpriteDma(uint8_t page) {
    // Pages $00-$1F read work RAM (every 8 pages repeat), $60-$7F the save RAM
    // as on the console's bus, $80-$FF the mapped PRG. Pages $20-$5F are
    // registers that answer 0 here: the copy yields zeros, with no side effects.
    const uint8_t* from = nullptr;
    if (page < 0x20)
        from = CpuRam + (page & 7) * 256;
    else if (page >= 0x80)
        from = PrgWindow + (page - 0x80) * 256;
    else if (page >= 0x60)
        from = SaveRam + (page - 0x60) * 256;
    // Like $2004 writes, the copy starts at OamAddress and wraps; the address
    // comes back to where it was.
    const uint32_t start = PpuRegisters.OamAddress;
    const uint32_t first = 256 - start;
    if (from) {
        std::memcpy(SpriteRam + start, from, first);
        std::memcpy(SpriteRam, from + first, start);
    } else {
        std::memset(SpriteRam, 0, 256);
    }
    SpriteMemoryChanged();
}
