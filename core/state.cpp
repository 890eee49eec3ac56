#include "core/state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <type_traits>

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/machine.h"
#include "cpu/n6502.h"
#include "cpu/shortcuts.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"

// ---- CRC-32, eight bytes a step ----

namespace {

struct CrcTables {
    uint32_t t[8][256];
    constexpr CrcTables() : t() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};
constexpr CrcTables kCrc;

}  // namespace

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) {
    uint32_t c = ~crc;
    for (; n >= 8; n -= 8, p += 8) {
        const uint32_t lo = c ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                                 uint32_t(p[3]) << 24);
        c = kCrc.t[7][lo & 0xFF] ^ kCrc.t[6][(lo >> 8) & 0xFF] ^ kCrc.t[5][(lo >> 16) & 0xFF] ^
            kCrc.t[4][lo >> 24] ^ kCrc.t[3][p[4]] ^ kCrc.t[2][p[5]] ^ kCrc.t[1][p[6]] ^
            kCrc.t[0][p[7]];
    }
    for (; n; --n, ++p) c = kCrc.t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    return ~c;
}

// ---- the table of the machine's state ----
//
// Every process-wide variable of core/, cpu/, ppu/, apu/ and cart/, and what a
// state does with it:
//
// Saved, byte for byte:
//   CpuRam (the whole 32 KB block as allocated), PrgWindow (the banks now
//   mapped), SaveRam, PpuMemory (pattern area, nametables, palette),
//   SpriteRam; the records PpuRegisters, Square1, Square2, Triangle, Noise,
//   SoundClock;
//   the SpriteStrip's pixels (a sprite moved in mid-frame is composited from
//   what an earlier frame drew there).
// Saved through an image without its pointers (filled before saving, applied
// after loading):
//   ncpu: registers, flag cells, trapbadops, cycles (down to about -513
//     after a sprite DMA, its stall still to hand on), totalcycles,
//     breakpoint. stall is 0 between instructions (the write that sets it
//     charges it).
//     PCBASE, ROM, RAM, readtrap and writetrap are the wiring of power_up;
//     PCBASE is derived from rPC again.
//   Dmc: the record, with ReadPointer as its offset into PrgWindow.
//   MachineState: CyclesPerLine (must equal the running cartridge's),
//     Scanline, FrameLine, InVblank, NmiEnabled, JoypadBits, JoypadShift,
//     ErrorCode, Joypad2Bits, Joypad2Shift. Halted is 0 for every state (a
//     halted machine has none); CartridgeFileName is where the cartridge came
//     from, not its state.
//   The mapper registers Mmc1* and Mmc3*; CartridgeImage.VerticalMirroring,
//     which the mappers switch. MapperRegisters (the other mappers' record,
//     saved whole) and ncpu.irqline with it (its IrqLine). The rest of CartridgeImage is the
//     cartridge itself, which the checksum pins.
//   BackdropPixel, and AppliedBackdrop with the BehindStrip's key.
// Not saved:
//   SoundLog: emptied by the mix that ends every frame (Count = 0 after a
//     load).
//   SpriteState, SpriteX, SpriteTop, SpriteHeight, SpritesOnLine and the
//     sprites filed by Y byte: rebuilt by BuildSpriteTables as a frame starts.
//   The background's line opacity, the mix's channel buffers, the CPU's
//     straddle copy and wait-loop record: made and used within one line, one
//     mix or one run of the CPU.
//   LineBackdrop: filled by each frame's lines, read by that frame's sprite
//     composite.
//   MasterPalette, TintedPalettes, AttributeByteIndex, AttributeShift, NoiseSequence and the
//     views NametablePageA/B, BackgroundPalette, SpritePalette: fixed tables
//     and pointers built at power-up and reset.
//   The FrameSurface and BehindStrip pixels: every frame draws the whole
//     picture, and the behind strip is filled before it is read.
//   FramePixels, FramePitch, SpritePixels, SpritePitch: set by the lock of
//     each frame.
//   CartridgeLoadFailure: a message.
//   The mappers' record of which bank each slot of the PRG window and the
//     pattern area holds: forgotten after a load (forget_mapped_banks), so
//     the next switch copies again.
//
// A field added to one of the records saved whole is saved with it (the
// section grows and the size check refuses states of older builds). A new
// variable that lasts from one frame to the next goes into this table, in its
// place below, and each of its fields that cannot take every value of its type
// a row in StateFields (a value that hangs on others, a line in check_values).

namespace {

struct CpuImage {
    uint8_t A, S, X, Y, F;
    uint8_t TrapBadOps, Zero, Over, Carry, Sign;
    uint16_t PC;
    int32_t Cycles;
    uint32_t TotalCycles;
    uint32_t Breakpoint;
};

struct MachineImage {
    uint32_t CyclesPerLine;
    int32_t Scanline;
    uint32_t FrameLine;
    uint32_t InVblank;
    uint32_t NmiEnabled;
    uint32_t JoypadBits;
    uint32_t JoypadShift;
    uint32_t ErrorCode;
    uint32_t Joypad2Bits;
    uint32_t Joypad2Shift;
};

constexpr uint32_t kNoReadPointer = 0xFFFFFFFFu;
struct DmcImage {
    DmcChannel Channel;  // ReadPointer null
    uint32_t ReadOffset;
};

struct CartImage {
    uint32_t VerticalMirroring;
    uint8_t Mmc1LargePrg, Mmc1Shift, Mmc1Count, Mmc1PrgSize, Mmc1Chr4k, Mmc1PrgOuter;
    uint16_t Mmc1PrgTarget;
    uint8_t Mmc3IrqEnabled, Mmc3FixedLayout, Mmc3BankSelect, Mmc3Counter, Mmc3Latch;
    uint16_t Mmc3R6Target, Mmc3R7Target, Mmc3ChrInvert;
    uint8_t Mmc3Reload;
};

struct BackdropImage {
    uint32_t BackdropPixel;
    uint32_t AppliedBackdrop;
};

CpuImage Cpu;
MachineImage Machine;
DmcImage DmcState;
CartImage Cart;
BackdropImage Backdrop;

template <typename T>
uint8_t* bytes_of(T& record) {
    return reinterpret_cast<uint8_t*>(&record);
}

// The images are cleared whole first: their padding bytes are saved too, and
// must not carry whatever a temporary left in them.
void capture_images() {
    std::memset(&Cpu, 0, sizeof Cpu);
    Cpu.A = ncpu.rA;
    Cpu.S = ncpu.rS;
    Cpu.X = ncpu.rX;
    Cpu.Y = ncpu.rY;
    Cpu.F = ncpu.rF;
    Cpu.TrapBadOps = ncpu.trapbadops;
    Cpu.Zero = ncpu.zero;
    Cpu.Over = ncpu.over;
    Cpu.Carry = ncpu.carry;
    Cpu.Sign = ncpu.sign;
    Cpu.PC = ncpu.rPC;
    Cpu.Cycles = ncpu.cycles;
    Cpu.TotalCycles = ncpu.totalcycles;
    Cpu.Breakpoint = ncpu.breakpoint;
    const MachineStateRecord& m = MachineState;
    std::memset(&Machine, 0, sizeof Machine);
    Machine.CyclesPerLine = m.CyclesPerLine;
    Machine.Scanline = m.Scanline;
    Machine.FrameLine = m.FrameLine;
    Machine.InVblank = m.InVblank;
    Machine.NmiEnabled = m.NmiEnabled;
    Machine.JoypadBits = m.JoypadBits;
    Machine.JoypadShift = m.JoypadShift;
    Machine.ErrorCode = m.ErrorCode;
    Machine.Joypad2Bits = m.Joypad2Bits;
    Machine.Joypad2Shift = m.Joypad2Shift;
    std::memset(&DmcState, 0, sizeof DmcState);
    std::memcpy(&DmcState.Channel, &Dmc, sizeof Dmc);
    DmcState.Channel.ReadPointer = nullptr;
    DmcState.ReadOffset = Dmc.ReadPointer ? uint32_t(Dmc.ReadPointer - PrgWindow) : kNoReadPointer;
    std::memset(&Cart, 0, sizeof Cart);
    Cart.VerticalMirroring = CartridgeImage.VerticalMirroring;
    Cart.Mmc1LargePrg = Mmc1LargePrg;
    Cart.Mmc1Shift = Mmc1Shift;
    Cart.Mmc1Count = Mmc1Count;
    Cart.Mmc1PrgSize = Mmc1PrgSize;
    Cart.Mmc1Chr4k = Mmc1Chr4k;
    Cart.Mmc1PrgOuter = Mmc1PrgOuter;
    Cart.Mmc1PrgTarget = Mmc1PrgTarget;
    Cart.Mmc3IrqEnabled = Mmc3IrqEnabled;
    Cart.Mmc3FixedLayout = Mmc3FixedLayout;
    Cart.Mmc3BankSelect = Mmc3BankSelect;
    Cart.Mmc3Counter = Mmc3Counter;
    Cart.Mmc3Latch = Mmc3Latch;
    Cart.Mmc3R6Target = Mmc3R6Target;
    Cart.Mmc3R7Target = Mmc3R7Target;
    Cart.Mmc3ChrInvert = Mmc3ChrInvert;
    Cart.Mmc3Reload = Mmc3Reload;
    Backdrop.BackdropPixel = BackdropPixel;
    Backdrop.AppliedBackdrop = AppliedBackdrop;
}

void apply_images() {
    ncpu.rA = Cpu.A;
    ncpu.rS = Cpu.S;
    ncpu.rX = Cpu.X;
    ncpu.rY = Cpu.Y;
    ncpu.rF = Cpu.F;
    ncpu.rPC = Cpu.PC;
    ncpu.trapbadops = Cpu.TrapBadOps;
    ncpu.zero = Cpu.Zero;
    ncpu.over = Cpu.Over;
    ncpu.carry = Cpu.Carry;
    ncpu.sign = Cpu.Sign;
    ncpu.cycles = Cpu.Cycles;
    ncpu.totalcycles = Cpu.TotalCycles;
    ncpu.breakpoint = Cpu.Breakpoint;
    ncpu.PCBASE = ncpu.rPC >= 0x8000 ? ncpu.ROM : ncpu.RAM;

    MachineStateRecord& m = MachineState;
    m.Halted = 0;
    m.CyclesPerLine = Machine.CyclesPerLine;
    m.Scanline = Machine.Scanline;
    m.FrameLine = Machine.FrameLine;
    m.InVblank = Machine.InVblank;
    m.NmiEnabled = Machine.NmiEnabled;
    m.JoypadBits = Machine.JoypadBits;
    m.JoypadShift = Machine.JoypadShift;
    m.ErrorCode = uint8_t(Machine.ErrorCode);
    m.Joypad2Bits = Machine.Joypad2Bits;
    m.Joypad2Shift = Machine.Joypad2Shift;

    std::memcpy(&Dmc, &DmcState.Channel, sizeof Dmc);
    Dmc.ReadPointer =
        DmcState.ReadOffset == kNoReadPointer ? nullptr : PrgWindow + DmcState.ReadOffset;
    SoundLog.Count = 0;

    CartridgeImage.VerticalMirroring = Cart.VerticalMirroring;
    Mmc1LargePrg = Cart.Mmc1LargePrg;
    Mmc1Shift = Cart.Mmc1Shift;
    Mmc1Count = Cart.Mmc1Count;
    Mmc1PrgSize = Cart.Mmc1PrgSize;
    Mmc1Chr4k = Cart.Mmc1Chr4k;
    Mmc1PrgOuter = Cart.Mmc1PrgOuter;
    Mmc1PrgTarget = Cart.Mmc1PrgTarget;
    Mmc3IrqEnabled = Cart.Mmc3IrqEnabled;
    Mmc3FixedLayout = Cart.Mmc3FixedLayout;
    Mmc3BankSelect = Cart.Mmc3BankSelect;
    Mmc3Counter = Cart.Mmc3Counter;
    Mmc3Latch = Cart.Mmc3Latch;
    Mmc3R6Target = Cart.Mmc3R6Target;
    Mmc3R7Target = Cart.Mmc3R7Target;
    Mmc3ChrInvert = Cart.Mmc3ChrInvert;
    Mmc3Reload = Cart.Mmc3Reload;
    ncpu.irqline = MapperRegisters.IrqLine;

    BackdropPixel = Backdrop.BackdropPixel;
    AppliedBackdrop = Backdrop.AppliedBackdrop;
    BehindStrip.SourceKey = Backdrop.AppliedBackdrop;
    // The PRG window and the pattern area were written behind the mappers' backs.
    forget_mapped_banks();
}

constexpr uint32_t kSpriteStripBytes = 512 * 16 * sizeof(uint32_t);

// The parts in file order; the checks below name them by position.
enum PartIndex : uint32_t {
    kCpu,
    kMachine,
    kCpuRam,
    kPrgWindow,
    kSaveRam,
    kPpuMemory,
    kSpriteRam,
    kPpuRegisters,
    kBackdrop,
    kSpriteStrip,
    kSquare1,
    kSquare2,
    kTriangle,
    kNoise,
    kDmc,
    kCart,
    kOutputFilter,
    kMappers,
    kSoundClock,
    kPartCount
};

}  // namespace

const StatePart StateParts[] = {
    {{'C', 'P', 'U', ' '},
     "CPU registers, flags and cycle counts",
     [] { return bytes_of(Cpu); },
     sizeof(CpuImage)},
    {{'M', 'A', 'C', 'H'},
     "machine scalars: line budget, scanline, vertical blank, NMI, joypad",
     [] { return bytes_of(Machine); },
     sizeof(MachineImage)},
    {{'C', 'R', 'A', 'M'}, "CpuRam", [] { return CpuRam; }, CpuRamSize},
    {{'P', 'R', 'G', 'W'},
     "PrgWindow: the PRG banks mapped",
     [] { return PrgWindow; },
     PrgWindowSize},
    {{'S', 'R', 'A', 'M'}, "SaveRam", [] { return SaveRam; }, SaveRamSize},
    {{'P', 'P', 'U', 'M'},
     "PpuMemory: patterns, nametables, palette",
     [] { return PpuMemory; },
     PpuMemorySize},
    {{'O', 'A', 'M', ' '}, "SpriteRam", [] { return SpriteRam; }, SpriteRamSize},
    {{'P', 'P', 'U', 'R'},
     "PpuRegisters",
     [] { return bytes_of(PpuRegisters); },
     sizeof(PpuRegisterRecord)},
    {{'B', 'D', 'R', 'P'},
     "BackdropPixel and the behind strip's key",
     [] { return bytes_of(Backdrop); },
     sizeof(BackdropImage)},
    {{'S', 'P', 'R', 'S'},
     "SpriteStrip pixels",
     [] { return reinterpret_cast<uint8_t*>(SpriteStrip.Pixels); },
     kSpriteStripBytes},
    {{'S', 'Q', '1', ' '}, "Square1", [] { return bytes_of(Square1); }, sizeof(SquareChannel)},
    {{'S', 'Q', '2', ' '}, "Square2", [] { return bytes_of(Square2); }, sizeof(SquareChannel)},
    {{'T', 'R', 'I', ' '}, "Triangle", [] { return bytes_of(Triangle); }, sizeof(TriangleChannel)},
    {{'N', 'O', 'I', 'S'}, "Noise", [] { return bytes_of(Noise); }, sizeof(NoiseChannel)},
    {{'D', 'M', 'C', ' '},
     "Dmc, its read pointer as an offset into PrgWindow",
     [] { return bytes_of(DmcState); },
     sizeof(DmcImage)},
    {{'C', 'A', 'R', 'T'},
     "nametable arrangement and the MMC1 and MMC3 registers",
     [] { return bytes_of(Cart); },
     sizeof(CartImage)},
    {{'F', 'L', 'T', 'R'},
     "OutputFilter: the sound's high-pass",
     [] { return bytes_of(OutputFilter); },
     sizeof(OutputFilterRecord)},
    {{'M', 'A', 'P', 'R'},
     "MapperRegisters: the other mappers' banks, latches and counters",
     [] { return bytes_of(MapperRegisters); },
     sizeof(MapperRegisterRecord)},
    {{'S', 'C', 'L', 'K'},
     "SoundClock: frame counter, lengths and delta sample as the CPU reads them",
     [] { return bytes_of(SoundClock); },
     sizeof(SoundClockRecord)},
};
const uint32_t StatePartCount = sizeof StateParts / sizeof StateParts[0];
static_assert(sizeof StateParts / sizeof StateParts[0] == kPartCount);

namespace {

constexpr size_t kHeaderSize = 8 + 4 + 4 + 4;
constexpr size_t kSectionHeaderSize = 8;

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The running cartridge's checksum, kept for the images it was taken of.
struct {
    const uint8_t* prg;
    const uint8_t* chr;
    uint32_t prg_banks, chr_banks;
    uint32_t crc;
} Checksum;

template <typename T>
T read_part(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The rows of StateFields: a field that takes a range, one that takes only
// some bits, and one that may also hold a marker value.
#define RANGE(part, Record, name, field, lo, hi)                     \
    {                                                                \
        part, name, offsetof(Record, field), sizeof(Record::field),  \
            std::is_signed_v<decltype(Record::field)>, lo, hi, 0, lo \
    }
#define BITS(part, Record, name, field, bits) \
    { part, name, offsetof(Record, field), sizeof(Record::field), false, 0, bits, bits, 0 }
#define SQUARE(part, ch)                                                                  \
    RANGE(part, SquareChannel, ch ".Period", Period, 0, 0x7FF),                           \
        RANGE(part, SquareChannel, ch ".Volume", Volume, 0, 15),                          \
        RANGE(part, SquareChannel, ch ".Duty", Duty, 0, 3),                               \
        RANGE(part, SquareChannel, ch ".SweepPeriod", SweepPeriod, 0, 7),                 \
        BITS(part, SquareChannel, ch ".SweepEnable", SweepEnable, 0x80),                  \
        BITS(part, SquareChannel, ch ".SweepNegate", SweepNegate, 0x08),                  \
        RANGE(part, SquareChannel, ch ".SweepShift", SweepShift, 0, 7),                   \
        RANGE(part, SquareChannel, ch ".SweepReload", SweepReload, 0, 1),                 \
        BITS(part, SquareChannel, ch ".ConstantVolume", ConstantVolume, 0x10),            \
        RANGE(part, SquareChannel, ch ".EnvelopeCounter", EnvelopeCounter, 0, 15),        \
        BITS(part, SquareChannel, ch ".LengthHalt", LengthHalt, 0x20),                    \
        RANGE(part, SquareChannel, ch ".DutyStep", DutyStep, 0, 15),                      \
        RANGE(part, SquareChannel, ch ".DutyPhase", DutyPhase, 0, 0x800 * TicksPerCycle), \
        RANGE(part, SquareChannel, ch ".EnvelopePhase", EnvelopePhase, 0, 15),            \
        RANGE(part, SquareChannel, ch ".Enabled", Enabled, 0, 1),                         \
        RANGE(part, SquareChannel, ch ".Length", Length, 0, 254),                         \
        RANGE(part, SquareChannel, ch ".SweepPhase", SweepPhase, 0, 7)

}  // namespace

// Every field of the saved records that cannot take every value of its type.
// The others: the CPU's A, S, X, Y, F, zero and sign cells, PC and
// TotalCycles; PpuControl, PpuMask, OamAddress, VramAddress (masked to 14 bits
// where it is used) and ReadBuffer; the sound registers' SampleByte,
// AddressReg and LengthReg; the MMC3 counter and latch; the memory blocks but
// the palette, checked in check_values; the picture unit's DataLatch and
// LatchRefreshed.
const StateField StateFields[] = {
    RANGE(kCpu, CpuImage, "CPU.TrapBadOps", TrapBadOps, 1, 1),
    RANGE(kCpu, CpuImage, "CPU.Over", Over, 0, 1),
    RANGE(kCpu, CpuImage, "CPU.Carry", Carry, 0, 1),
    RANGE(kCpu, CpuImage, "CPU.Cycles", Cycles, -600, 64),
    RANGE(kCpu, CpuImage, "CPU.Breakpoint", Breakpoint, 0, 0),
    RANGE(kMachine, MachineImage, "Machine.Scanline", Scanline, 0, 240),
    RANGE(kMachine, MachineImage, "Machine.FrameLine", FrameLine, 0, 262),
    RANGE(kMachine, MachineImage, "Machine.InVblank", InVblank, 0, 1),
    BITS(kMachine, MachineImage, "Machine.NmiEnabled", NmiEnabled, PpuControlNmi),
    RANGE(kMachine, MachineImage, "Machine.JoypadBits", JoypadBits, 0, 0xFF),
    RANGE(kMachine, MachineImage, "Machine.JoypadShift", JoypadShift, 0, 7),
    RANGE(kMachine, MachineImage, "Machine.ErrorCode", ErrorCode, 0, 0xFF),
    RANGE(kMachine, MachineImage, "Machine.Joypad2Bits", Joypad2Bits, 0, 0xFF),
    RANGE(kMachine, MachineImage, "Machine.Joypad2Shift", Joypad2Shift, 0, 7),
    BITS(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.PpuStatus", PpuStatus,
         PpuStatusVblank | PpuStatusSpriteZeroHit | PpuStatusOverflow),
    BITS(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.VramIncrement", VramIncrement, 33),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.AddressToggle", AddressToggle, 0, 1),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.ScrollToggle", ScrollToggle, 0, 1),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.ScrollX", ScrollX, 0, 255),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.ScrollY", ScrollY, -1024, 1024),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.AddressJustSet", AddressJustSet, 0, 1),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.MidFrameAddressWrite",
          MidFrameAddressWrite, 0, 1),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.SplitPending", SplitPending, 0, 1),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.SplitPosition", SplitPosition, -1024,
          1024),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.SplitLine", SplitLine, -1024, 1024),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.FrameScrollY", FrameScrollY, -1024, 1024),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.NextAddress", NextAddress, 0, 0x7FFF),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.LatchFrames", LatchFrames, 0,
          DataLatchFrames - 1),
    RANGE(kPpuRegisters, PpuRegisterRecord, "PpuRegisters.AddressAtRest", AddressAtRest, 0, 2),
    RANGE(kBackdrop, BackdropImage, "BackdropPixel", BackdropPixel, 0, 0xFFFFFF),
    RANGE(kBackdrop, BackdropImage, "AppliedBackdrop", AppliedBackdrop, 0, 0xFFFFFF),
    SQUARE(kSquare1, "Square1"),
    SQUARE(kSquare2, "Square2"),
    RANGE(kTriangle, TriangleChannel, "Triangle.Period", Period, 0, 0x7FF),
    BITS(kTriangle, TriangleChannel, "Triangle.Control", Control, 0x80),
    RANGE(kTriangle, TriangleChannel, "Triangle.LinearReload", LinearReload, 0, 127),
    RANGE(kTriangle, TriangleChannel, "Triangle.LinearCounter", LinearCounter, 0, 127),
    RANGE(kTriangle, TriangleChannel, "Triangle.ReloadFlag", ReloadFlag, 0, 1),
    RANGE(kTriangle, TriangleChannel, "Triangle.Step", Step, 0, 31),
    RANGE(kTriangle, TriangleChannel, "Triangle.Phase", Phase, 0, 0x800 * TicksPerCycle),
    RANGE(kTriangle, TriangleChannel, "Triangle.Enabled", Enabled, 0, 1),
    RANGE(kTriangle, TriangleChannel, "Triangle.Length", Length, 0, 254),
    RANGE(kNoise, NoiseChannel, "Noise.Volume", Volume, 0, 15),
    BITS(kNoise, NoiseChannel, "Noise.LengthHalt", LengthHalt, 0x20),
    BITS(kNoise, NoiseChannel, "Noise.ConstantVolume", ConstantVolume, 0x10),
    RANGE(kNoise, NoiseChannel, "Noise.PeriodIndex", PeriodIndex, 0, 15),
    BITS(kNoise, NoiseChannel, "Noise.ShortMode", ShortMode, 0x80),
    RANGE(kNoise, NoiseChannel, "Noise.EnvelopeCounter", EnvelopeCounter, 0, 15),
    RANGE(kNoise, NoiseChannel, "Noise.Phase", Phase, 0, 4068 * TicksPerCycle),
    RANGE(kNoise, NoiseChannel, "Noise.EnvelopePhase", EnvelopePhase, 0, 15),
    RANGE(kNoise, NoiseChannel, "Noise.Enabled", Enabled, 0, 1),
    RANGE(kNoise, NoiseChannel, "Noise.Position", Position, 0, NoiseSequenceSize),
    RANGE(kNoise, NoiseChannel, "Noise.Period", Period, 0, 4068),
    RANGE(kNoise, NoiseChannel, "Noise.Length", Length, 0, 254),
    RANGE(kDmc, DmcImage, "Dmc.Level", Channel.Level, 0, 127),
    BITS(kDmc, DmcImage, "Dmc.IrqEnable", Channel.IrqEnable, 0x80),
    BITS(kDmc, DmcImage, "Dmc.Loop", Channel.Loop, 0x40),
    RANGE(kDmc, DmcImage, "Dmc.Phase", Channel.Phase, 0, 428 * TicksPerCycle),
    RANGE(kDmc, DmcImage, "Dmc.BytesRemaining", Channel.BytesRemaining, 0, 255 * 16 + 1),
    RANGE(kDmc, DmcImage, "Dmc.BitsRemaining", Channel.BitsRemaining, 0, 8),
    RANGE(kDmc, DmcImage, "Dmc.Rate", Channel.Rate, 54, 428),
    {kDmc, "Dmc.ReadOffset", offsetof(DmcImage, ReadOffset), 4, false, 0, PrgWindowSize - 1, 0,
     kNoReadPointer},
    RANGE(kCart, CartImage, "VerticalMirroring", VerticalMirroring, 0, MirrorSingleHigh),
    RANGE(kCart, CartImage, "Mmc1LargePrg", Mmc1LargePrg, 0, 1),
    RANGE(kCart, CartImage, "Mmc1Shift", Mmc1Shift, 0, 31),
    RANGE(kCart, CartImage, "Mmc1Count", Mmc1Count, 0, 4),
    BITS(kCart, CartImage, "Mmc1PrgSize", Mmc1PrgSize, 0x08),
    BITS(kCart, CartImage, "Mmc1Chr4k", Mmc1Chr4k, 0x10),
    BITS(kCart, CartImage, "Mmc1PrgOuter", Mmc1PrgOuter, 0x10),
    BITS(kCart, CartImage, "Mmc1PrgTarget", Mmc1PrgTarget, 0x4000),
    RANGE(kCart, CartImage, "Mmc3IrqEnabled", Mmc3IrqEnabled, 0, 1),
    RANGE(kCart, CartImage, "Mmc3FixedLayout", Mmc3FixedLayout, 0, 1),
    RANGE(kCart, CartImage, "Mmc3BankSelect", Mmc3BankSelect, 0, 7),
    BITS(kCart, CartImage, "Mmc3R6Target", Mmc3R6Target, 0x6000),
    BITS(kCart, CartImage, "Mmc3R7Target", Mmc3R7Target, 0x6000),
    BITS(kCart, CartImage, "Mmc3ChrInvert", Mmc3ChrInvert, 0x1000),
    RANGE(kCart, CartImage, "Mmc3Reload", Mmc3Reload, 0, 1),
    RANGE(kMappers, MapperRegisterRecord, "MapperRegisters.Latch[0]", Latch[0], 0, 1),
    RANGE(kMappers, MapperRegisterRecord, "MapperRegisters.Latch[1]", Latch[1], 0, 1),
    RANGE(kMappers, MapperRegisterRecord, "MapperRegisters.IrqPrescaler", IrqPrescaler, 0, 341),
    RANGE(kMappers, MapperRegisterRecord, "MapperRegisters.IrqLine", IrqLine, 0, 1),
    RANGE(kOutputFilter, OutputFilterRecord, "OutputFilter.LastInput", LastInput, -0x10000,
          0x10000),
    RANGE(kOutputFilter, OutputFilterRecord, "OutputFilter.LastOutput", LastOutput,
          -(int64_t(1) << 32), int64_t(1) << 32),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.LineStart", LineStart, -FrameTicks,
          2 * FrameTicks),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.Now", Now, -FrameTicks, 2 * FrameTicks),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.Step", Step, 0, 4),
    BITS(kSoundClock, SoundClockRecord, "SoundClock.FiveStep", FiveStep, ApuFrameFiveStep),
    BITS(kSoundClock, SoundClockRecord, "SoundClock.IrqInhibit", IrqInhibit, ApuFrameIrqInhibit),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.FrameIrq", FrameIrq, 0, 1),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.Enabled", Enabled, 0, 15),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.Halted", Halted, 0, 15),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.Length[0]", Length[0], 0, 254),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.Length[1]", Length[1], 0, 254),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.Length[2]", Length[2], 0, 254),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.Length[3]", Length[3], 0, 254),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.DmcIrq", DmcIrq, 0, 1),
    BITS(kSoundClock, SoundClockRecord, "SoundClock.DmcIrqEnable", DmcIrqEnable, 0x80),
    BITS(kSoundClock, SoundClockRecord, "SoundClock.DmcLoop", DmcLoop, 0x40),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.DmcBufferFull", DmcBufferFull, 0, 1),
    RANGE(kSoundClock, SoundClockRecord, "SoundClock.DmcBytes", DmcBytes, 0, 255 * 16 + 1),
};
const uint32_t StateFieldCount = sizeof StateFields / sizeof StateFields[0];

#undef SQUARE
#undef BITS
#undef RANGE

namespace {

int64_t field_value(const StateField& f, const uint8_t* record) {
    const uint8_t* at = record + f.Offset;
    uint64_t v = 0;
    std::memcpy(&v, at, f.Size);  // little-endian, as the records are
    if (f.Signed && f.Size < 8 && (v >> (8 * f.Size - 1)) & 1) v |= ~uint64_t(0) << (8 * f.Size);
    return int64_t(v);
}

bool field_ok(const StateField& f, int64_t v) {
    if (v == f.Also) return true;
    if (f.Bits) return v >= 0 && (uint64_t(v) & ~uint64_t(f.Bits)) == 0;
    return v >= f.Low && v <= f.High;
}

char ValueFailure[160];

const char* impossible(const char* name, int64_t value) {
    std::snprintf(ValueFailure, sizeof ValueFailure,
                  "the state holds a value this machine cannot have: %s = %lld", name,
                  static_cast<long long>(value));
    return ValueFailure;
}

// Every field within what the machine can make of it, and the values that
// depend on others: the line budget is the running cartridge's, the noise
// period and the delta rate are entries of their tables, a sample being
// played has a place to read from, the PRG targets are slots of the window
// and every palette byte names a colour of the master palette.
const char* check_values(const uint8_t* const at[kPartCount]) {
    for (const StateField& f : StateFields) {
        const int64_t v = field_value(f, at[f.Part]);
        if (!field_ok(f, v)) return impossible(f.Name, v);
    }
    const auto m = read_part<MachineImage>(at[kMachine]);
    if (m.CyclesPerLine != MachineState.CyclesPerLine)
        return impossible("Machine.CyclesPerLine", m.CyclesPerLine);
    const auto r = read_part<PpuRegisterRecord>(at[kPpuRegisters]);
    if (r.VramIncrement != 1 && r.VramIncrement != 32)
        return impossible("PpuRegisters.VramIncrement", r.VramIncrement);
    const auto n = read_part<NoiseChannel>(at[kNoise]);
    if (n.Period != 0 && n.Period != NoisePeriods[n.PeriodIndex])
        return impossible("Noise.Period", n.Period);
    // The sound clock's steps bound its loops: each within about one sequence
    // or one delta byte of the clock's time (steps are taken at line ends, so
    // the sequence may stand a few lines behind; the byte under way may have
    // begun a few cycles before the frame).
    const auto k = read_part<SoundClockRecord>(at[kSoundClock]);
    if (k.SequenceStart < k.Now - 38000 * TicksPerCycle ||
        k.SequenceStart > k.Now + 8 * TicksPerCycle)
        return impossible("SoundClock.SequenceStart", k.SequenceStart);
    if (k.DmcBoundary < k.Now - 9 * 428 * TicksPerCycle ||
        k.DmcBoundary > k.Now + 9 * 428 * TicksPerCycle)
        return impossible("SoundClock.DmcBoundary", k.DmcBoundary);
    if (std::find(DmcRates, DmcRates + 16, k.DmcRate) == DmcRates + 16)
        return impossible("SoundClock.DmcRate", k.DmcRate);
    if (!k.FiveStep && k.Step > 3) return impossible("SoundClock.Step", k.Step);  // four steps
    const auto d = read_part<DmcImage>(at[kDmc]);
    if (std::find(DmcRates, DmcRates + 16, d.Channel.Rate) == DmcRates + 16)
        return impossible("Dmc.Rate", d.Channel.Rate);
    if (d.ReadOffset == kNoReadPointer && d.Channel.BytesRemaining > 0)
        return impossible("Dmc.ReadOffset", -1);
    const auto c = read_part<CartImage>(at[kCart]);
    if (c.Mmc3R6Target == 0x6000) return impossible("Mmc3R6Target", c.Mmc3R6Target);
    if (c.Mmc3R7Target == 0x6000) return impossible("Mmc3R7Target", c.Mmc3R7Target);
    const uint8_t* palette = at[kPpuMemory] + BackgroundPaletteOffset;
    for (uint32_t i = 0; i < 32; ++i)
        if (palette[i] > MarkedColourOffset + 63) return impossible("the palette byte", palette[i]);
    return nullptr;
}

char FileFailure[512];

const char* file_failure(const char* what, const char* path, const char* why) {
    std::snprintf(FileFailure, sizeof FileFailure, "cannot %s %s: %s", what, path, why);
    return FileFailure;
}

}  // namespace

size_t state_size() {
    size_t n = kHeaderSize + 4;
    for (const StatePart& p : StateParts) n += kSectionHeaderSize + p.Size;
    return n;
}

uint32_t cartridge_checksum() {
    const CartridgeImageRecord& c = CartridgeImage;
    if (Checksum.prg != c.PrgImage || Checksum.chr != c.ChrImage ||
        Checksum.prg_banks != c.PrgBanks || Checksum.chr_banks != c.ChrBanks) {
        uint32_t crc = c.PrgImage ? crc32(c.PrgImage, size_t(c.PrgBanks) * 16384) : 0;
        if (c.ChrImage) crc = crc32(c.ChrImage, size_t(c.ChrBanks) * 8192, crc);
        Checksum = {c.PrgImage, c.ChrImage, c.PrgBanks, c.ChrBanks, crc};
    }
    return Checksum.crc;
}

const char* save_state(uint8_t* buffer, size_t size) {
    if (MachineState.Halted || !CpuRam) return "no cartridge is running";
    if (size < state_size()) return "the buffer is too small for a state";
    capture_images();
    uint8_t* p = buffer;
    std::memcpy(p, StateMagic, 8);
    put32(p + 8, StateFormatVersion);
    put32(p + 12, cartridge_checksum());
    put32(p + 16, StatePartCount);
    p += kHeaderSize;
    for (const StatePart& part : StateParts) {
        std::memcpy(p, part.Tag, 4);
        put32(p + 4, part.Size);
        std::memcpy(p + kSectionHeaderSize, part.Where(), part.Size);
        p += kSectionHeaderSize + part.Size;
    }
    put32(p, crc32(buffer, size_t(p - buffer)));
    return nullptr;
}

const char* load_state(const uint8_t* buffer, size_t size) {
    if (MachineState.Halted || !CpuRam) return "no cartridge is running";
    if (size < 8 || std::memcmp(buffer, StateMagic, 8) != 0) return "not a Qel state";
    if (size < kHeaderSize + 4) return "the state is cut short";
    const uint32_t version = get32(buffer + 8);
    if (version != StateFormatVersion) {
        static char why[96];
        std::snprintf(why, sizeof why, "the state has format version %u; this Qel reads %u",
                      version, StateFormatVersion);
        return why;
    }
    if (crc32(buffer, size - 4) != get32(buffer + size - 4)) {
        // Most often a file cut short or run on; else damaged.
        return size != state_size() ? "the state is cut short or has bytes past its end"
                                    : "the state is damaged: its checksum does not match";
    }
    if (get32(buffer + 12) != cartridge_checksum())
        return "the state was made for another cartridge";
    if (get32(buffer + 16) != StatePartCount || size != state_size())
        return "the state was made by another build of Qel";
    const uint8_t* at[kPartCount];
    const uint8_t* p = buffer + kHeaderSize;
    for (uint32_t i = 0; i < StatePartCount; ++i) {
        if (std::memcmp(p, StateParts[i].Tag, 4) != 0 || get32(p + 4) != StateParts[i].Size)
            return "the state was made by another build of Qel";
        at[i] = p + kSectionHeaderSize;
        p += kSectionHeaderSize + StateParts[i].Size;
    }
    if (const char* why = check_values(at)) return why;
    // Everything is checked: from here the state replaces the machine's.
    for (uint32_t i = 0; i < StatePartCount; ++i)
        std::memcpy(StateParts[i].Where(), at[i], StateParts[i].Size);
    apply_images();
    shortcuts_forget();  // what they learnt was of the machine before
    return nullptr;
}

const char* write_file_atomically(const char* path, const uint8_t* bytes, size_t size) {
    // A temporary of its own beside the file: two writers of one path never
    // share one, and the last rename wins with a whole file.
    std::string temp = std::string(path) + ".XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return file_failure("write", path, std::strerror(errno));
    auto fail = [&](int e) {
        if (fd >= 0) ::close(fd);
        ::unlink(temp.c_str());
        return file_failure("write", path, std::strerror(e));
    };
    if (::fchmod(fd, 0644) != 0) return fail(errno);
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : EIO);
        done += size_t(n);
    }
    // On disk before the rename, so that a crash leaves the old file or the new.
    if (::fsync(fd) != 0) return fail(errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) return fail(errno);
    if (::rename(temp.c_str(), path) != 0) return fail(errno);
    // And the rename itself on disk.
    const std::string folder = std::filesystem::path(path).parent_path().string();
    const int dir =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return nullptr;
}

const char* read_small_file(const char* path, uint8_t* buffer, size_t max_size, size_t* size) {
    *size = 0;
    // Without waiting for a writer: a FIFO or a device at the path is refused,
    // not read for ever.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return file_failure("read", path, std::strerror(errno));
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return file_failure("read", path, "not a regular file");
    }
    size_t n = 0;
    bool failed = false, more = false;
    while (!failed) {
        uint8_t extra;
        const bool full = n == max_size;
        ssize_t got = full ? ::read(fd, &extra, 1) : ::read(fd, buffer + n, max_size - n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) failed = true;
        if (got <= 0) break;
        if (full) {
            more = true;
            break;
        }
        n += size_t(got);
    }
    ::close(fd);
    if (failed) return file_failure("read", path, "read error");
    if (more) return file_failure("read", path, "the file is larger than it can be");
    *size = n;
    return nullptr;
}
