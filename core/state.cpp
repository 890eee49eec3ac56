#include "core/state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/machine.h"
#include "cpu/n6502.h"
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
//   ncpu: registers, flag cells, trapbadops, cycles, totalcycles, breakpoint.
//     PCBASE, ROM, RAM, readtrap and writetrap are the wiring of power_up;
//     PCBASE is derived from rPC again.
//   Dmc: the record, with ReadPointer as its offset into PrgWindow.
//   MachineState: CyclesPerLine (must equal the running cartridge's),
//     Scanline, FrameLine, InVblank, NmiEnabled, JoypadBits, JoypadShift,
//     ErrorCode. Halted is 0 for every state (a halted machine has none);
//     CartridgeFileName is where the cartridge came from, not its state.
//   The mapper registers Mmc1* and Mmc3*; CartridgeImage.VerticalMirroring,
//     which the mappers switch. The rest of CartridgeImage is the cartridge
//     itself, which the checksum pins.
//   BackdropPixel, and AppliedBackdrop with the BehindStrip's key.
// Not saved:
//   SoundLog: emptied by the mix that ends every frame (Count = 0 after a
//     load).
//   SpriteState, SpriteX, SpriteTop, SpriteHeight, SpritesOnLine and the
//     sprites filed by Y byte: rebuilt by BuildSpriteTables as a frame starts.
//   The background's line opacity, the mix's channel buffers, the CPU's
//     straddle copy and wait-loop record: made and used within one line, one
//     mix or one run of the CPU.
//   MasterPalette, AttributeByteIndex, AttributeShift, NoiseSequence and the
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
// place below; a value that can index memory also gets a check in
// check_values.

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

bool phase_ok(float p) { return std::isfinite(p) && p >= -65536.0f && p <= 65536.0f; }
bool within(int64_t v, int64_t lo, int64_t hi) { return v >= lo && v <= hi; }

// Values that index memory or bound a loop, as the machine can make them.
bool check_values(const uint8_t* const at[kPartCount]) {
    const auto m = read_part<MachineImage>(at[kMachine]);
    if (m.CyclesPerLine != MachineState.CyclesPerLine || m.JoypadShift > 7) return false;
    const auto r = read_part<PpuRegisterRecord>(at[kPpuRegisters]);
    if (!within(r.ScrollY, -1024, 1024) || !within(r.FrameScrollY, -1024, 1024) ||
        !within(r.SplitPosition, -1024, 1024) || !within(r.SplitLine, -1024, 1024))
        return false;
    for (PartIndex i : {kSquare1, kSquare2}) {
        const auto s = read_part<SquareChannel>(at[i]);
        if (!phase_ok(s.DutyPhase) || !phase_ok(s.EnvelopePhase) ||
            !within(s.SweepPhase, -65536, 65536))
            return false;
    }
    const auto t = read_part<TriangleChannel>(at[kTriangle]);
    const auto n = read_part<NoiseChannel>(at[kNoise]);
    if (!phase_ok(t.Phase) || !phase_ok(n.Phase) || !phase_ok(n.EnvelopePhase) ||
        !within(n.Position, 0, NoiseSequenceSize))
        return false;
    // The clock's steps bound its loops: each within one sequence or one
    // delta byte of the clock's time.
    const auto k = read_part<SoundClockRecord>(at[kSoundClock]);
    if (!within(k.Now, -FrameTicks, 2 * FrameTicks) || k.Step > 4 ||
        !within(k.SequenceStart, k.Now - 37282 * TicksPerCycle, k.Now + 8 * TicksPerCycle) ||
        !within(k.DmcRate, 54, 428) ||
        !within(k.DmcBoundary, k.Now - 8 * 428 * TicksPerCycle, k.Now + 8 * 428 * TicksPerCycle) ||
        !within(k.DmcBytes, 0, 255 * 16 + 1))
        return false;
    const auto d = read_part<DmcImage>(at[kDmc]);
    if (!phase_ok(d.Channel.Phase) ||
        (d.ReadOffset != kNoReadPointer && d.ReadOffset >= PrgWindowSize))
        return false;
    const auto c = read_part<CartImage>(at[kCart]);
    auto prg_target_ok = [](uint16_t a) { return a == 0 || a == 0x2000 || a == 0x4000; };
    if ((c.Mmc1PrgTarget != 0 && c.Mmc1PrgTarget != 0x4000) || !prg_target_ok(c.Mmc3R6Target) ||
        !prg_target_ok(c.Mmc3R7Target) || (c.Mmc3ChrInvert != 0 && c.Mmc3ChrInvert != 0x1000))
        return false;
    return true;
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
    if (!check_values(at)) return "the state holds values this machine cannot have";
    // Everything is checked: from here the state replaces the machine's.
    for (uint32_t i = 0; i < StatePartCount; ++i)
        std::memcpy(StateParts[i].Where(), at[i], StateParts[i].Size);
    apply_images();
    return nullptr;
}

const char* write_file_atomically(const char* path, const uint8_t* bytes, size_t size) {
    std::string temp = std::string(path) + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return file_failure("write", path, std::strerror(errno));
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temp.c_str());
            return file_failure("write", path, std::strerror(e));
        }
        done += size_t(n);
    }
    // On disk before the rename, so that a crash leaves the old file or the new.
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return file_failure("write", path, std::strerror(e));
    }
    if (::rename(temp.c_str(), path) != 0) {
        const int e = errno;
        ::unlink(temp.c_str());
        return file_failure("write", path, std::strerror(e));
    }
    return nullptr;
}

const char* read_small_file(const char* path, uint8_t* buffer, size_t max_size, size_t* size) {
    *size = 0;
    FILE* f = std::fopen(path, "rb");
    if (!f) return file_failure("read", path, std::strerror(errno));
    size_t n = std::fread(buffer, 1, max_size, f);
    const bool failed = std::ferror(f) != 0;
    const bool more = !failed && n == max_size && std::fgetc(f) != EOF;
    std::fclose(f);
    if (failed) return file_failure("read", path, "read error");
    if (more) return file_failure("read", path, "the file is larger than it can be");
    *size = n;
    return nullptr;
}
