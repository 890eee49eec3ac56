#include "core/state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "cart/mapper_table.h"
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

// ---- the list of the machine's state ----

namespace {

template <typename T>
using Element = std::remove_cv_t<std::remove_all_extents_t<T>>;

template <typename T>
constexpr StateField row(const char* name, const char* symbol, uint8_t* (*where)()) {
    using E = Element<T>;
    StateField f{};
    f.Name = name;
    f.Symbol = symbol;
    f.Where = where;
    f.Size = sizeof(E);
    f.Count = uint32_t(sizeof(T) / sizeof(E));
    f.Signed = std::is_signed_v<E>;
    f.Check = StateCheck::Any;
    return f;
}
constexpr StateField range(StateField f, int64_t low, int64_t high) {
    f.Check = StateCheck::Range;
    f.Low = low;
    f.High = high;
    f.Also = low;
    return f;
}
constexpr StateField bits(StateField f, uint32_t bits) {
    f.Check = StateCheck::Bits;
    f.High = f.Bits = bits;
    return f;
}
constexpr StateField left_out(StateField f, const char* why, bool zero_on_reset = false,
                              void (*forget)() = nullptr) {
    f.Check = StateCheck::LeftOut;
    f.LeftOut = why;
    f.ZeroOnReset = zero_on_reset;
    f.Forget = forget;
    return f;
}
constexpr StateField out_of_reach(const char* symbol, const char* why, void (*forget)() = nullptr) {
    StateField f{};
    f.Name = symbol;
    f.Symbol = symbol;
    return left_out(f, why, false, forget);
}

// A row for a variable or a field of one: its name, the variable's symbol
// and the expression of the field.
#define FIELD(name, symbol, x) \
    row<decltype(x)>(name, symbol, [] { return reinterpret_cast<uint8_t*>(&(x)); })
// A memory block the machine allocates at power-up.
#define BLOCK(name, pointer, size)                                       \
    [] {                                                                 \
        StateField f = row<uint8_t>(name, name, [] { return pointer; }); \
        f.Count = size;                                                  \
        return f;                                                        \
    }()

constexpr uint32_t kNoReadPointer = 0xFFFFFFFFu;

StateField dmc_read_offset() {
    StateField f = range(FIELD("Dmc.ReadOffset", "Dmc", Dmc.ReadPointer), 0, PrgWindowSize - 1);
    f.Size = 4;
    f.Signed = false;
    f.Also = kNoReadPointer;
    f.PrgOffset = true;
    return f;
}

#define SQUARE(ch)                                                                   \
    range(FIELD(#ch ".Period", #ch, ch.Period), 0, 0x7FF),                           \
        range(FIELD(#ch ".Volume", #ch, ch.Volume), 0, 15),                          \
        range(FIELD(#ch ".Duty", #ch, ch.Duty), 0, 3),                               \
        range(FIELD(#ch ".SweepPeriod", #ch, ch.SweepPeriod), 0, 7),                 \
        bits(FIELD(#ch ".SweepEnable", #ch, ch.SweepEnable), 0x80),                  \
        bits(FIELD(#ch ".SweepNegate", #ch, ch.SweepNegate), 0x08),                  \
        range(FIELD(#ch ".SweepShift", #ch, ch.SweepShift), 0, 7),                   \
        range(FIELD(#ch ".SweepReload", #ch, ch.SweepReload), 0, 1),                 \
        bits(FIELD(#ch ".ConstantVolume", #ch, ch.ConstantVolume), 0x10),            \
        range(FIELD(#ch ".EnvelopeCounter", #ch, ch.EnvelopeCounter), 0, 15),        \
        bits(FIELD(#ch ".LengthHalt", #ch, ch.LengthHalt), 0x20),                    \
        range(FIELD(#ch ".DutyStep", #ch, ch.DutyStep), 0, 15),                      \
        range(FIELD(#ch ".DutyPhase", #ch, ch.DutyPhase), 0, 0x800 * TicksPerCycle), \
        range(FIELD(#ch ".EnvelopePhase", #ch, ch.EnvelopePhase), 0, 15),            \
        range(FIELD(#ch ".Enabled", #ch, ch.Enabled), 0, 1),                         \
        range(FIELD(#ch ".Length", #ch, ch.Length), 0, 254),                         \
        range(FIELD(#ch ".SweepPhase", #ch, ch.SweepPhase), 0, 7)

// Left out, as the machine's wiring: set by power_up and each cartridge load.
constexpr char kWiring[] = "wiring: set by power-up and each cartridge load";
constexpr char kTable[] = "a fixed table, or built at power-up";
constexpr char kMessage[] = "a message or a file name, not the machine's state";
// Names in the shortcuts' file for parts of their record: references, which
// an unoptimised build keeps as variables of their own.
constexpr char kShortcutsPart[] = "a name for a part of the shortcuts' record";
constexpr char kSwitch[] = "a switch of how the machine runs, not what it runs";
constexpr char kShortcuts[] =
    "the CPU shortcuts' record of loops seen and charged: a loaded state starts with nothing "
    "seen (the frame's end settles the registers first)";

}  // namespace

// Every variable of the machine library (core/, cpu/, ppu/, apu/, cart/) and
// what a state does with it, in the state's order. A variable that lasts from
// one frame to the next gets its rows here, a range or bits where it cannot
// take every value of its type (a value that hangs on others: a line in
// check_values); anything else is named as left out with the reason. A test
// reads the library's symbols and fails on a variable named nowhere here.
const StateField StateFields[] = {
    // The CPU.
    FIELD("CPU.A", "ncpu", ncpu.rA),
    FIELD("CPU.S", "ncpu", ncpu.rS),
    FIELD("CPU.X", "ncpu", ncpu.rX),
    FIELD("CPU.Y", "ncpu", ncpu.rY),
    FIELD("CPU.F", "ncpu", ncpu.rF),
    FIELD("CPU.PC", "ncpu", ncpu.rPC),
    range(FIELD("CPU.TrapBadOps", "ncpu", ncpu.trapbadops), 1, 1),
    FIELD("CPU.Zero", "ncpu", ncpu.zero),
    range(FIELD("CPU.Over", "ncpu", ncpu.over), 0, 1),
    range(FIELD("CPU.Carry", "ncpu", ncpu.carry), 0, 1),
    FIELD("CPU.Sign", "ncpu", ncpu.sign),
    // Down to about -513 after a sprite DMA, its stall still to hand on.
    range(FIELD("CPU.Cycles", "ncpu", ncpu.cycles), -600, 64),
    FIELD("CPU.TotalCycles", "ncpu", ncpu.totalcycles),
    left_out(FIELD("CPU.PCBASE", "ncpu", ncpu.PCBASE), "derived from PC after a load", true),
    left_out(FIELD("CPU.ROM", "ncpu", ncpu.ROM), kWiring, true),
    left_out(FIELD("CPU.RAM", "ncpu", ncpu.RAM), kWiring, true),
    left_out(FIELD("CPU.SRAM", "ncpu", ncpu.SRAM), kWiring, true),
    left_out(FIELD("CPU.readtrap", "ncpu", ncpu.readtrap), kWiring, true),
    left_out(FIELD("CPU.writetrap", "ncpu", ncpu.writetrap), kWiring, true),
    left_out(FIELD("CPU.repeatabletrap", "ncpu", ncpu.repeatabletrap), kWiring, true),
    left_out(FIELD("CPU.devicestate", "ncpu", ncpu.devicestate), kWiring, true),
    left_out(FIELD("CPU.soundquiet", "ncpu", ncpu.soundquiet), kWiring, true),
    left_out(FIELD("CPU.irqline", "ncpu", ncpu.irqline),
             "set from MapperRegisters.IrqLine after a load", true),
    left_out(FIELD("CPU.stall", "ncpu", ncpu.stall),
             "0 between instructions: the write that sets it charges it", true),

    // The machine's scalars.
    FIELD("Machine.CyclesPerLine", "MachineState", MachineState.CyclesPerLine),
    range(FIELD("Machine.Scanline", "MachineState", MachineState.Scanline), 0, 240),
    range(FIELD("Machine.FrameLine", "MachineState", MachineState.FrameLine), 0, 262),
    range(FIELD("Machine.InVblank", "MachineState", MachineState.InVblank), 0, 1),
    bits(FIELD("Machine.NmiEnabled", "MachineState", MachineState.NmiEnabled), PpuControlNmi),
    range(FIELD("Machine.JoypadBits", "MachineState", MachineState.JoypadBits), 0, 0xFF),
    range(FIELD("Machine.JoypadShift", "MachineState", MachineState.JoypadShift), 0, 7),
    range(FIELD("Machine.Joypad2Bits", "MachineState", MachineState.Joypad2Bits), 0, 0xFF),
    range(FIELD("Machine.Joypad2Shift", "MachineState", MachineState.Joypad2Shift), 0, 7),
    FIELD("Machine.ErrorCode", "MachineState", MachineState.ErrorCode),
    left_out(FIELD("Machine.Halted", "MachineState", MachineState.Halted),
             "0 for every state: a halted machine has none", true),
    left_out(FIELD("Machine.CartridgeFileName", "MachineState", MachineState.CartridgeFileName),
             "where the cartridge came from, not its state", true),

    // The memories (their pointers are wiring: the blocks are allocated at
    // power-up).
    BLOCK("CpuRam", CpuRam, CpuRamSize),
    BLOCK("PrgWindow", PrgWindow, PrgWindowSize),
    BLOCK("SaveRam", SaveRam, SaveRamSize),
    BLOCK("PpuMemory", PpuMemory, PpuMemorySize),
    BLOCK("SpriteRam", SpriteRam, SpriteRamSize),

    // The picture unit.
    FIELD("PpuRegisters.PpuControl", "PpuRegisters", PpuRegisters.PpuControl),
    FIELD("PpuRegisters.PpuMask", "PpuRegisters", PpuRegisters.PpuMask),
    bits(FIELD("PpuRegisters.PpuStatus", "PpuRegisters", PpuRegisters.PpuStatus),
         PpuStatusVblank | PpuStatusSpriteZeroHit | PpuStatusOverflow),
    FIELD("PpuRegisters.OamAddress", "PpuRegisters", PpuRegisters.OamAddress),
    bits(FIELD("PpuRegisters.VramIncrement", "PpuRegisters", PpuRegisters.VramIncrement), 33),
    // Masked to 14 bits where it is used.
    FIELD("PpuRegisters.VramAddress", "PpuRegisters", PpuRegisters.VramAddress),
    range(FIELD("PpuRegisters.AddressToggle", "PpuRegisters", PpuRegisters.AddressToggle), 0, 1),
    range(FIELD("PpuRegisters.ScrollToggle", "PpuRegisters", PpuRegisters.ScrollToggle), 0, 1),
    range(FIELD("PpuRegisters.ScrollX", "PpuRegisters", PpuRegisters.ScrollX), 0, 255),
    range(FIELD("PpuRegisters.ScrollY", "PpuRegisters", PpuRegisters.ScrollY), -1024, 1024),
    range(FIELD("PpuRegisters.MidFrameAddressWrite", "PpuRegisters",
                PpuRegisters.MidFrameAddressWrite),
          0, 1),
    FIELD("PpuRegisters.ReadBuffer", "PpuRegisters", PpuRegisters.ReadBuffer),
    range(FIELD("PpuRegisters.SplitPending", "PpuRegisters", PpuRegisters.SplitPending), 0, 1),
    range(FIELD("PpuRegisters.SplitPosition", "PpuRegisters", PpuRegisters.SplitPosition), -1024,
          1024),
    range(FIELD("PpuRegisters.SplitLine", "PpuRegisters", PpuRegisters.SplitLine), -1024, 1024),
    range(FIELD("PpuRegisters.FrameScrollY", "PpuRegisters", PpuRegisters.FrameScrollY), -1024,
          1024),
    range(FIELD("PpuRegisters.NextAddress", "PpuRegisters", PpuRegisters.NextAddress), 0, 0x7FFF),
    FIELD("PpuRegisters.DataLatch", "PpuRegisters", PpuRegisters.DataLatch),
    FIELD("PpuRegisters.LatchRefreshed", "PpuRegisters", PpuRegisters.LatchRefreshed),
    range(FIELD("PpuRegisters.LatchFrames", "PpuRegisters", PpuRegisters.LatchFrames), 0,
          DataLatchFrames - 1),
    range(FIELD("PpuRegisters.AddressAtRest", "PpuRegisters", PpuRegisters.AddressAtRest), 0, 2),
    range(FIELD("BackdropPixel", "BackdropPixel", BackdropPixel), 0, 0xFFFFFF),
    // The behind strip's key is set from it after a load.
    range(FIELD("AppliedBackdrop", "AppliedBackdrop", AppliedBackdrop), 0, 0xFFFFFF),
    // A sprite moved in mid-frame is composited from what an earlier frame drew here.
    row<uint32_t[512 * 16]>("SpriteStrip.Pixels", "SpriteStripMemory",
                            [] { return reinterpret_cast<uint8_t*>(SpriteStrip.Pixels); }),

    // The sound unit.
    SQUARE(Square1),
    SQUARE(Square2),
    range(FIELD("Triangle.Period", "Triangle", Triangle.Period), 0, 0x7FF),
    bits(FIELD("Triangle.Control", "Triangle", Triangle.Control), 0x80),
    range(FIELD("Triangle.LinearReload", "Triangle", Triangle.LinearReload), 0, 127),
    range(FIELD("Triangle.LinearCounter", "Triangle", Triangle.LinearCounter), 0, 127),
    range(FIELD("Triangle.ReloadFlag", "Triangle", Triangle.ReloadFlag), 0, 1),
    range(FIELD("Triangle.Step", "Triangle", Triangle.Step), 0, 31),
    range(FIELD("Triangle.Phase", "Triangle", Triangle.Phase), 0, 0x800 * TicksPerCycle),
    range(FIELD("Triangle.Enabled", "Triangle", Triangle.Enabled), 0, 1),
    range(FIELD("Triangle.Length", "Triangle", Triangle.Length), 0, 254),
    range(FIELD("Noise.Volume", "Noise", Noise.Volume), 0, 15),
    bits(FIELD("Noise.LengthHalt", "Noise", Noise.LengthHalt), 0x20),
    bits(FIELD("Noise.ConstantVolume", "Noise", Noise.ConstantVolume), 0x10),
    range(FIELD("Noise.PeriodIndex", "Noise", Noise.PeriodIndex), 0, 15),
    bits(FIELD("Noise.ShortMode", "Noise", Noise.ShortMode), 0x80),
    range(FIELD("Noise.EnvelopeCounter", "Noise", Noise.EnvelopeCounter), 0, 15),
    range(FIELD("Noise.Phase", "Noise", Noise.Phase), 0, 4068 * TicksPerCycle),
    range(FIELD("Noise.EnvelopePhase", "Noise", Noise.EnvelopePhase), 0, 15),
    range(FIELD("Noise.Enabled", "Noise", Noise.Enabled), 0, 1),
    range(FIELD("Noise.Position", "Noise", Noise.Position), 0, NoiseSequenceSize),
    range(FIELD("Noise.Period", "Noise", Noise.Period), 0, 4068),
    range(FIELD("Noise.Length", "Noise", Noise.Length), 0, 254),
    range(FIELD("Dmc.Level", "Dmc", Dmc.Level), 0, 127),
    bits(FIELD("Dmc.IrqEnable", "Dmc", Dmc.IrqEnable), 0x80),
    bits(FIELD("Dmc.Loop", "Dmc", Dmc.Loop), 0x40),
    FIELD("Dmc.SampleByte", "Dmc", Dmc.SampleByte),
    FIELD("Dmc.AddressReg", "Dmc", Dmc.AddressReg),
    FIELD("Dmc.LengthReg", "Dmc", Dmc.LengthReg),
    dmc_read_offset(),
    range(FIELD("Dmc.Phase", "Dmc", Dmc.Phase), 0, 428 * TicksPerCycle),
    range(FIELD("Dmc.BytesRemaining", "Dmc", Dmc.BytesRemaining), 0, 255 * 16 + 1),
    range(FIELD("Dmc.BitsRemaining", "Dmc", Dmc.BitsRemaining), 0, 8),
    range(FIELD("Dmc.Rate", "Dmc", Dmc.Rate), 54, 428),
    range(FIELD("OutputFilter.LastInput", "OutputFilter", OutputFilter.LastInput), -0x10000,
          0x10000),
    range(FIELD("OutputFilter.LastOutput", "OutputFilter", OutputFilter.LastOutput),
          -(int64_t(1) << 32), int64_t(1) << 32),
    range(FIELD("SoundClock.LineStart", "SoundClock", SoundClock.LineStart), -FrameTicks,
          2 * FrameTicks),
    range(FIELD("SoundClock.Now", "SoundClock", SoundClock.Now), -FrameTicks, 2 * FrameTicks),
    FIELD("SoundClock.SequenceStart", "SoundClock", SoundClock.SequenceStart),
    range(FIELD("SoundClock.Step", "SoundClock", SoundClock.Step), 0, 4),
    bits(FIELD("SoundClock.FiveStep", "SoundClock", SoundClock.FiveStep), ApuFrameFiveStep),
    bits(FIELD("SoundClock.IrqInhibit", "SoundClock", SoundClock.IrqInhibit), ApuFrameIrqInhibit),
    range(FIELD("SoundClock.FrameIrq", "SoundClock", SoundClock.FrameIrq), 0, 1),
    range(FIELD("SoundClock.Enabled", "SoundClock", SoundClock.Enabled), 0, 15),
    range(FIELD("SoundClock.Halted", "SoundClock", SoundClock.Halted), 0, 15),
    range(FIELD("SoundClock.Length", "SoundClock", SoundClock.Length), 0, 254),
    range(FIELD("SoundClock.DmcIrq", "SoundClock", SoundClock.DmcIrq), 0, 1),
    bits(FIELD("SoundClock.DmcIrqEnable", "SoundClock", SoundClock.DmcIrqEnable), 0x80),
    bits(FIELD("SoundClock.DmcLoop", "SoundClock", SoundClock.DmcLoop), 0x40),
    FIELD("SoundClock.DmcLengthReg", "SoundClock", SoundClock.DmcLengthReg),
    range(FIELD("SoundClock.DmcBufferFull", "SoundClock", SoundClock.DmcBufferFull), 0, 1),
    FIELD("SoundClock.DmcRate", "SoundClock", SoundClock.DmcRate),
    range(FIELD("SoundClock.DmcBytes", "SoundClock", SoundClock.DmcBytes), 0, 255 * 16 + 1),
    FIELD("SoundClock.DmcBoundary", "SoundClock", SoundClock.DmcBoundary),

    // The cartridge's registers; the rest of CartridgeImage is the cartridge
    // itself, which the cartridge checksum pins.
    range(FIELD("VerticalMirroring", "CartridgeImage", CartridgeImage.VerticalMirroring), 0,
          MirrorSingleHigh),
    range(FIELD("Mmc1LargePrg", "Mmc1LargePrg", Mmc1LargePrg), 0, 1),
    range(FIELD("Mmc1Shift", "Mmc1Shift", Mmc1Shift), 0, 31),
    range(FIELD("Mmc1Count", "Mmc1Count", Mmc1Count), 0, 4),
    bits(FIELD("Mmc1PrgSize", "Mmc1PrgSize", Mmc1PrgSize), 0x08),
    bits(FIELD("Mmc1Chr4k", "Mmc1Chr4k", Mmc1Chr4k), 0x10),
    bits(FIELD("Mmc1PrgOuter", "Mmc1PrgOuter", Mmc1PrgOuter), 0x10),
    bits(FIELD("Mmc1PrgTarget", "Mmc1PrgTarget", Mmc1PrgTarget), 0x4000),
    range(FIELD("Mmc3IrqEnabled", "Mmc3IrqEnabled", Mmc3IrqEnabled), 0, 1),
    range(FIELD("Mmc3FixedLayout", "Mmc3FixedLayout", Mmc3FixedLayout), 0, 1),
    range(FIELD("Mmc3BankSelect", "Mmc3BankSelect", Mmc3BankSelect), 0, 7),
    FIELD("Mmc3Counter", "Mmc3Counter", Mmc3Counter),
    FIELD("Mmc3Latch", "Mmc3Latch", Mmc3Latch),
    bits(FIELD("Mmc3R6Target", "Mmc3R6Target", Mmc3R6Target), 0x6000),
    bits(FIELD("Mmc3R7Target", "Mmc3R7Target", Mmc3R7Target), 0x6000),
    bits(FIELD("Mmc3ChrInvert", "Mmc3ChrInvert", Mmc3ChrInvert), 0x1000),
    range(FIELD("Mmc3Reload", "Mmc3Reload", Mmc3Reload), 0, 1),
    FIELD("MapperRegisters.Prg", "MapperRegisters", MapperRegisters.Prg),
    FIELD("MapperRegisters.Chr", "MapperRegisters", MapperRegisters.Chr),
    range(FIELD("MapperRegisters.Latch", "MapperRegisters", MapperRegisters.Latch), 0, 1),
    FIELD("MapperRegisters.Command", "MapperRegisters", MapperRegisters.Command),
    FIELD("MapperRegisters.Mode", "MapperRegisters", MapperRegisters.Mode),
    FIELD("MapperRegisters.Outer", "MapperRegisters", MapperRegisters.Outer),
    FIELD("MapperRegisters.IrqControl", "MapperRegisters", MapperRegisters.IrqControl),
    FIELD("MapperRegisters.IrqLatch", "MapperRegisters", MapperRegisters.IrqLatch),
    FIELD("MapperRegisters.IrqCounter", "MapperRegisters", MapperRegisters.IrqCounter),
    range(FIELD("MapperRegisters.IrqPrescaler", "MapperRegisters", MapperRegisters.IrqPrescaler), 0,
          341),
    range(FIELD("MapperRegisters.IrqLine", "MapperRegisters", MapperRegisters.IrqLine), 0, 1),

    // ---- left out ----
    left_out(FIELD("CartridgeImage.PrgImage", "CartridgeImage", CartridgeImage.PrgImage),
             "the cartridge, pinned by the cartridge checksum"),
    left_out(FIELD("CartridgeImage.ChrImage", "CartridgeImage", CartridgeImage.ChrImage),
             "the cartridge"),
    left_out(FIELD("CartridgeImage.PrgBanks", "CartridgeImage", CartridgeImage.PrgBanks),
             "the cartridge"),
    left_out(FIELD("CartridgeImage.ChrBanks", "CartridgeImage", CartridgeImage.ChrBanks),
             "the cartridge"),
    left_out(FIELD("CartridgeImage.MapperNumber", "CartridgeImage", CartridgeImage.MapperNumber),
             "the cartridge"),
    left_out(FIELD("CartridgeImage.Battery", "CartridgeImage", CartridgeImage.Battery),
             "the cartridge"),
    left_out(FIELD("CartridgeImage.Submapper", "CartridgeImage", CartridgeImage.Submapper),
             "the cartridge"),
    left_out(FIELD("CartridgeImage.PrgRamSize", "CartridgeImage", CartridgeImage.PrgRamSize),
             "the cartridge"),
    left_out(FIELD("CartridgeImage.ChrRamSize", "CartridgeImage", CartridgeImage.ChrRamSize),
             "the cartridge"),
    left_out(FIELD("ActiveMapper", "ActiveMapper", ActiveMapper),
             "chosen by the cartridge's mapper number at its load"),
    left_out(FIELD("MapperSeesLowWrites", "MapperSeesLowWrites", MapperSeesLowWrites),
             "chosen by the cartridge's mapper number at its load"),
    left_out(FIELD("MapperWatchesTiles", "MapperWatchesTiles", MapperWatchesTiles),
             "chosen by the cartridge's mapper number at its load"),
    out_of_reach("PrgSlotSource",
                 "which bank each slot of the PRG window holds: forgotten after a load "
                 "(forget_mapped_banks), so the next switch copies again",
                 forget_mapped_banks),
    out_of_reach("ChrSlotSource", "as PrgSlotSource, for the pattern area"),
    out_of_reach("kMappers", kTable),
    left_out(FIELD("NametablePageA", "NametablePageA", NametablePageA), kWiring),
    left_out(FIELD("NametablePageB", "NametablePageB", NametablePageB), kWiring),
    left_out(FIELD("BackgroundPalette", "BackgroundPalette", BackgroundPalette), kWiring),
    left_out(FIELD("SpritePalette", "SpritePalette", SpritePalette), kWiring),
    left_out(FIELD("MasterPalette", "MasterPalette", MasterPalette), kTable),
    left_out(FIELD("TintedPalettes", "TintedPalettes", TintedPalettes), kTable),
    left_out(FIELD("NoiseSequence", "NoiseSequence", NoiseSequence), kTable),
    out_of_reach("PulseMix", kTable),
    out_of_reach("TndMix", kTable),
    out_of_reach("LongCount", kTable),
    out_of_reach("LongValue", kTable),
    out_of_reach("LongIndex", kTable),
    out_of_reach("NoiseLongRun", kTable),
    out_of_reach("kTablesBuilt", "whether the mix's tables are built (at program start)"),
    out_of_reach("kHighPlane", kTable),
    out_of_reach("kLowPlane", kTable),
    out_of_reach("kPlaneMasks", kTable),
    out_of_reach("kShuffles", "whether the processor shuffles bytes (SSSE3)"),
    out_of_reach("kWideRows", "whether the processor has 32-byte vectors (AVX2)"),
    out_of_reach("execute<true>::n6502jmptable", kTable),
    out_of_reach("execute<false>::n6502jmptable", kTable),
    out_of_reach("console_write_file::failure", kMessage),
    out_of_reach("console_write_file::writing", "one file write at a time"),
    out_of_reach("Short",
                 "the noise's short cycle through one register value, kept for that "
                 "value: built again for another"),
    out_of_reach("tick_of_cycle::scale",
                 "the sound ticks of a CPU cycle, kept for the line budget "
                 "it was found for (CyclesPerLine)"),
    out_of_reach("tick_of_cycle::scaled_for", "as tick_of_cycle::scale"),
    out_of_reach("LineBudgets", "each line's budget, made from the line length"),
    out_of_reach("LineStarts", "each line's first cycle, made with LineBudgets"),
    out_of_reach("LineBudgetsFor", "as LineBudgets"),
    left_out(FIELD("SoundTicksPerCycle", "SoundTicksPerCycle", SoundTicksPerCycle),
             "as tick_of_cycle::scale"),
    left_out(FIELD("SoundNextEvent", "SoundNextEvent", SoundNextEvent),
             "found again from the sound clock as each frame starts and after each write"),
    left_out(FIELD("SoundLog", "SoundLog", SoundLog),
             "the frame's sound writes: emptied by the mix that ends every frame and by a load"),
    out_of_reach("SampleStart", "the frame mix's scratch"),
    out_of_reach("Levels", "the frame mix's scratch"),
    out_of_reach("DmcTrack", "the frame mix's scratch"),
    out_of_reach("DmcPlayed", "the frame mix's scratch"),
    out_of_reach("Samples", "the last frame's sound as the console hands it out"),
    out_of_reach("Samples16", "the last frame's sound as the console hands it out"),
    out_of_reach("Samples8Made", "the last frame's sound as the console hands it out"),
    out_of_reach("Mix", "the last frame's sound as the console hands it out"),
    left_out(FIELD("FrameSurface", "FrameSurface", FrameSurface), kWiring),
    left_out(FIELD("SpriteStrip", "SpriteStrip", SpriteStrip), kWiring),
    left_out(FIELD("BehindStrip", "BehindStrip", BehindStrip),
             "wiring; its key is set from AppliedBackdrop after a load"),
    left_out(FIELD("FramePixels", "FramePixels", FramePixels), "set by the lock of each frame"),
    left_out(FIELD("FramePitch", "FramePitch", FramePitch), "set by the lock of each frame"),
    left_out(FIELD("SpritePixels", "SpritePixels", SpritePixels), "set by the lock of each frame"),
    left_out(FIELD("SpritePitch", "SpritePitch", SpritePitch), "set by the lock of each frame"),
    // Not every frame draws the whole picture: a line of one tile drawn alike
    // in the frame before is not drawn again (only the blocks sprites covered
    // since). The picture, the blank-line cache and the covered blocks
    // describe one another, not the state; a load changes none of them, so
    // they stay true of one another and the next frame comes out whole.
    out_of_reach("FrameMemory", "the picture"),
    out_of_reach("Blank", "what each line of one tile left in the picture",
                 ForgetBackgroundPalette),
    out_of_reach("Drawn",
                 "what each line of several tiles left in the picture and what it was drawn "
                 "from: forgotten after a load, as the patterns may differ",
                 ForgetBackgroundLines),
    out_of_reach("DrawnWait", "as Drawn: how long each line goes without a comparison"),
    out_of_reach("OneTile", "as Blank: what each line of one tile was drawn from"),
    out_of_reach("StripSources",
                 "what each column of the sprite strip was decoded from: forgotten with Drawn"),
    out_of_reach("ColumnOf",
                 "the strip column that last took each source: looked at only through "
                 "StripSources"),
    out_of_reach("PatternVersion",
                 "counts the changes of each pattern table, for the lines kept in the picture"),
    left_out(FIELD("SpriteCoveredBlocks", "SpriteCoveredBlocks", SpriteCoveredBlocks),
             "the picture's blocks sprites covered since the background drew them", true),
    out_of_reach("Palette", "the background palette's pixels, kept for its bytes and tint"),
    out_of_reach("Opacity", "the line being drawn's opacity: scratch of one line"),
    out_of_reach("BehindStripMemory", "filled before it is read, each frame"),
    left_out(FIELD("LineBackdrop", "LineBackdrop", LineBackdrop),
             "filled by each frame's lines, read by that frame's sprite composite"),
    left_out(FIELD("SpriteState", "SpriteState", SpriteState),
             "rebuilt by BuildSpriteTables as a frame starts"),
    left_out(FIELD("SpriteX", "SpriteX", SpriteX), "rebuilt as a frame starts"),
    left_out(FIELD("SpriteTop", "SpriteTop", SpriteTop), "rebuilt as a frame starts"),
    left_out(FIELD("SpriteHeight", "SpriteHeight", SpriteHeight), "rebuilt as a frame starts"),
    left_out(FIELD("SpritesOnLine", "SpritesOnLine", SpritesOnLine), "rebuilt as a frame starts"),
    out_of_reach("SpritesByY",
                 "the sprites filed by Y byte: filed again from SpriteRam after a "
                 "load and as a frame starts (any filing is one it can clear)"),
    out_of_reach("FiledY", "as SpritesByY"),
    out_of_reach("Checksum", "the running cartridge's checksum, kept for its images",
                 forget_cartridge_checksum),
    out_of_reach("RunningFile", kMessage),
    out_of_reach("CartridgeLoadFailure", kMessage),
    out_of_reach("CartridgeLoadNews", kMessage),
    out_of_reach("CartridgeInnerName", kMessage),
    out_of_reach("MapperFailure", kMessage),
    out_of_reach("SizeFailure", kMessage),
    out_of_reach("Failure", kMessage),
    out_of_reach("FileFailure", kMessage),
    out_of_reach("ValueFailure", kMessage),
    out_of_reach("VersionFailure", kMessage),
    out_of_reach("console_read_save_ram_file::buffer", "a file's bytes, read before they are used"),
    out_of_reach("console_read_save_ram_file::why", kMessage),
    out_of_reach("StateFields", "this list"),
    out_of_reach("StateRecords", "this list's records"),
    out_of_reach("HashBuffer", "the state hash's scratch"),
    out_of_reach("state_layout_checksum::layout", "this list's layout checksum, found once"),
    out_of_reach("Shortcuts", kShortcuts, shortcuts_forget),
    out_of_reach("BackJump", kShortcutsPart),
    out_of_reach("Candidate", kShortcutsPart),
    out_of_reach("Charged", kShortcutsPart),
    out_of_reach("ChargedPlace", kShortcutsPart),
    out_of_reach("Idle", kShortcutsPart),
    out_of_reach("Steady", kShortcutsPart),
    out_of_reach("RunOn", "lines run on: set by the frame driver for each frame's picture"),
    out_of_reach("Behind", "lines run on: none waits for its drawing between frames"),
    out_of_reach("StraddleCopy",
                 "the CPU's copy of an instruction that straddles two banks: "
                 "scratch of one instruction"),
    out_of_reach("ShortcutsOn", kSwitch),
    out_of_reach("SimdDecodeOn", kSwitch),
};
const uint32_t StateFieldCount = sizeof StateFields / sizeof StateFields[0];

#undef SQUARE
#undef BLOCK
#undef FIELD

namespace {
template <typename T>
bool padding_of(uint8_t* mask) {
    std::memset(mask, 0xFF, sizeof(T));
#if defined(__has_builtin) && __has_builtin(__builtin_clear_padding)
    __builtin_clear_padding(reinterpret_cast<T*>(mask));
    return true;
#else
    return false;
#endif
}

template <auto& x>
StateRecord record(const char* symbol) {
    using T = std::remove_reference_t<decltype(x)>;
    return {symbol, [] { return reinterpret_cast<uint8_t*>(&x); }, sizeof(T), padding_of<T>};
}
}  // namespace

// The records of the list with rows for their fields.
const StateRecord StateRecords[] = {
    record<ncpu>("ncpu"),
    record<MachineState>("MachineState"),
    record<PpuRegisters>("PpuRegisters"),
    record<Square1>("Square1"),
    record<Square2>("Square2"),
    record<Triangle>("Triangle"),
    record<Noise>("Noise"),
    record<Dmc>("Dmc"),
    record<OutputFilter>("OutputFilter"),
    record<SoundClock>("SoundClock"),
    record<CartridgeImage>("CartridgeImage"),
    record<MapperRegisters>("MapperRegisters"),
};
const uint32_t StateRecordCount = sizeof StateRecords / sizeof StateRecords[0];

namespace {

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool saved(const StateField& f) { return f.Check != StateCheck::LeftOut; }

// The running cartridge's checksum, kept for the images it was taken of.
struct {
    const uint8_t* prg;
    const uint8_t* chr;
    uint32_t prg_banks, chr_banks;
    uint32_t crc;
} Checksum;

// An element's value as the state holds it: little-endian, Size bytes.
uint64_t element(const uint8_t* at, uint32_t size) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < size; ++i) v |= uint64_t(at[i]) << (8 * i);
    return v;
}

// A pointer into PrgWindow as its offset.
uint32_t prg_offset(const uint8_t* where) {
    const uint8_t* pointer;
    std::memcpy(&pointer, where, sizeof pointer);
    return pointer ? uint32_t(pointer - PrgWindow) : kNoReadPointer;
}

// Writes every saved field, in the list's order, from p on; returns the end.
// Each element goes by its own size; on this little-endian machine a row's
// elements are its bytes as they lie.
uint8_t* write_fields(uint8_t* p) {
    static_assert(std::endian::native == std::endian::little);
    for (const StateField& f : StateFields) {
        if (!saved(f)) continue;
        const uint8_t* where = f.Where();
        if (!f.PrgOffset) {
            std::memcpy(p, where, size_t(f.Size) * f.Count);
            p += size_t(f.Size) * f.Count;
            continue;
        }
        const uint32_t v = prg_offset(where);
        for (uint32_t k = 0; k < f.Size; ++k) *p++ = uint8_t(v >> (8 * k));
    }
    return p;
}

// Loads every saved field from the checked bytes at p.
void read_fields(const uint8_t* p) {
    for (const StateField& f : StateFields) {
        if (!saved(f)) continue;
        uint8_t* where = f.Where();
        if (!f.PrgOffset) {
            std::memcpy(where, p, size_t(f.Size) * f.Count);
            p += size_t(f.Size) * f.Count;
            continue;
        }
        const uint64_t v = element(p, f.Size);
        uint8_t* pointer = v == kNoReadPointer ? nullptr : PrgWindow + v;
        std::memcpy(where, &pointer, sizeof pointer);
        p += f.Size;
    }
}

size_t body_size() {
    size_t n = 0;
    for (const StateField& f : StateFields)
        if (saved(f)) n += size_t(f.Size) * f.Count;
    return n;
}

int64_t signed_value(const StateField& f, uint64_t v) {
    if (f.Signed && f.Size < 8 && (v >> (8 * f.Size - 1)) & 1) v |= ~uint64_t(0) << (8 * f.Size);
    return int64_t(v);
}

bool value_ok(const StateField& f, int64_t v) {
    switch (f.Check) {
        case StateCheck::Range: return v == f.Also || (v >= f.Low && v <= f.High);
        case StateCheck::Bits: return v >= 0 && (uint64_t(v) & ~uint64_t(f.Bits)) == 0;
        default: return true;
    }
}

char ValueFailure[160];

const char* impossible(const char* name, int64_t value) {
    std::snprintf(ValueFailure, sizeof ValueFailure,
                  "the state holds a value this machine cannot have: %s = %lld", name,
                  static_cast<long long>(value));
    return ValueFailure;
}

// The value of a named (single) field in a state's fields at body.
int64_t value_in(const uint8_t* body, const char* name) {
    const uint8_t* p = body;
    for (const StateField& f : StateFields) {
        if (!saved(f)) continue;
        if (std::strcmp(f.Name, name) == 0) return signed_value(f, element(p, f.Size));
        p += size_t(f.Size) * f.Count;
    }
    std::abort();  // a name of this file's own checks
}

const uint8_t* block_in(const uint8_t* body, const char* name) {
    const uint8_t* p = body;
    for (const StateField& f : StateFields) {
        if (!saved(f)) continue;
        if (std::strcmp(f.Name, name) == 0) return p;
        p += size_t(f.Size) * f.Count;
    }
    std::abort();
}

// Every field within what the machine can make of it, and the values that
// depend on others: the line budget is the running cartridge's, the noise
// period and the delta rate are entries of their tables, a sample being
// played has a place to read from, the PRG targets are slots of the window
// and every palette byte names a colour of the master palette.
const char* check_values(const uint8_t* body) {
    const uint8_t* p = body;
    for (const StateField& f : StateFields) {
        if (!saved(f)) continue;
        for (uint32_t i = 0; i < f.Count; ++i, p += f.Size) {
            const int64_t v = signed_value(f, element(p, f.Size));
            if (value_ok(f, v)) continue;
            if (f.Count == 1) return impossible(f.Name, v);
            char name[96];
            std::snprintf(name, sizeof name, "%s[%u]", f.Name, i);
            return impossible(name, v);
        }
    }
    auto v = [body](const char* name) { return value_in(body, name); };
    if (v("Machine.CyclesPerLine") != MachineState.CyclesPerLine)
        return impossible("Machine.CyclesPerLine", v("Machine.CyclesPerLine"));
    const int64_t increment = v("PpuRegisters.VramIncrement");
    if (increment != 1 && increment != 32)
        return impossible("PpuRegisters.VramIncrement", increment);
    const int64_t period = v("Noise.Period");
    if (period != 0 && period != NoisePeriods[v("Noise.PeriodIndex")])
        return impossible("Noise.Period", period);
    // The sound clock's steps bound its loops: each within about one sequence
    // or one delta byte of the clock's time (steps are taken at line ends, so
    // the sequence may stand a few lines behind; the byte under way may have
    // begun a few cycles before the frame).
    const int64_t now = v("SoundClock.Now");
    const int64_t sequence = v("SoundClock.SequenceStart");
    if (sequence < now - 38000 * TicksPerCycle || sequence > now + 8 * TicksPerCycle)
        return impossible("SoundClock.SequenceStart", sequence);
    const int64_t boundary = v("SoundClock.DmcBoundary");
    if (boundary < now - 9 * 428 * TicksPerCycle || boundary > now + 9 * 428 * TicksPerCycle)
        return impossible("SoundClock.DmcBoundary", boundary);
    const int64_t clock_rate = v("SoundClock.DmcRate");
    if (std::find(DmcRates, DmcRates + 16, clock_rate) == DmcRates + 16)
        return impossible("SoundClock.DmcRate", clock_rate);
    if (!v("SoundClock.FiveStep") && v("SoundClock.Step") > 3)  // four steps
        return impossible("SoundClock.Step", v("SoundClock.Step"));
    const int64_t rate = v("Dmc.Rate");
    if (std::find(DmcRates, DmcRates + 16, rate) == DmcRates + 16)
        return impossible("Dmc.Rate", rate);
    if (v("Dmc.ReadOffset") == kNoReadPointer && v("Dmc.BytesRemaining") > 0)
        return impossible("Dmc.ReadOffset", -1);
    if (v("Mmc3R6Target") == 0x6000) return impossible("Mmc3R6Target", 0x6000);
    if (v("Mmc3R7Target") == 0x6000) return impossible("Mmc3R7Target", 0x6000);
    const uint8_t* palette = block_in(body, "PpuMemory") + BackgroundPaletteOffset;
    for (uint32_t i = 0; i < 32; ++i)
        if (palette[i] > MarkedColourOffset + 63) return impossible("the palette byte", palette[i]);
    return nullptr;
}

// What the loaded fields imply for the rest of the machine.
void after_load() {
    ncpu.PCBASE = ncpu.rPC >= 0x8000 ? ncpu.ROM : ncpu.RAM;
    ncpu.irqline = MapperRegisters.IrqLine;
    MachineState.Halted = 0;
    SoundLog.Count = 0;
    BehindStrip.SourceKey = AppliedBackdrop;
    // The PRG window, the pattern area and SpriteRam were written behind the
    // mappers' and the sprite filing's backs.
    forget_mapped_banks();
    ForgetBackgroundLines();  // the patterns may differ with the same versions
    SpriteMemoryChanged();
    shortcuts_forget();  // what they learnt was of the machine before
}

char FileFailure[512];

const char* file_failure(const char* what, const char* path, const char* why) {
    std::snprintf(FileFailure, sizeof FileFailure, "cannot %s %s: %s", what, path, why);
    return FileFailure;
}

char VersionFailure[96];

std::vector<uint8_t> HashBuffer;

}  // namespace

size_t state_size() { return StateHeaderSize + body_size() + 4; }

uint32_t state_layout_checksum(const StateField* fields, uint32_t count) {
    if (!fields) {
        static const uint32_t layout = state_layout_checksum(StateFields, StateFieldCount);
        return layout;
    }
    uint32_t crc = 0;
    for (const StateField& f : std::span(fields, count)) {
        if (!saved(f)) continue;
        crc = crc32(reinterpret_cast<const uint8_t*>(f.Name), std::strlen(f.Name) + 1, crc);
        uint8_t sizes[9];
        put32(sizes, f.Size);
        put32(sizes + 4, f.Count);
        sizes[8] = f.PrgOffset;
        crc = crc32(sizes, sizeof sizes, crc);
    }
    return crc;
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

void forget_cartridge_checksum() { Checksum = {}; }

uint32_t state_hash() {
    HashBuffer.resize(body_size());
    write_fields(HashBuffer.data());
    return crc32(HashBuffer.data(), HashBuffer.size());
}

void state_field_name_at(size_t offset, char* name, size_t size) {
    if (!size) return;
    if (offset < StateHeaderSize) {
        std::snprintf(name, size, "the header");
        return;
    }
    size_t at = StateHeaderSize;
    for (const StateField& f : StateFields) {
        if (!saved(f)) continue;
        const size_t bytes = size_t(f.Size) * f.Count;
        if (offset < at + bytes) {
            const size_t i = (offset - at) / f.Size;
            if (f.Count == 1)
                std::snprintf(name, size, "%s", f.Name);
            else if (f.Count >= 256)
                std::snprintf(name, size, "%s[0x%04zX]", f.Name, i);
            else
                std::snprintf(name, size, "%s[%zu]", f.Name, i);
            return;
        }
        at += bytes;
    }
    std::snprintf(name, size, offset < at + 4 ? "the checksum" : "past the end");
}

const char* save_state(uint8_t* buffer, size_t size) {
    if (MachineState.Halted || !CpuRam) return "no cartridge is running";
    if (size < state_size()) return "the buffer is too small for a state";
    std::memcpy(buffer, StateMagic, 8);
    put32(buffer + 8, StateFormatVersion);
    put32(buffer + 12, cartridge_checksum());
    put32(buffer + 16, state_layout_checksum());
    uint8_t* end = write_fields(buffer + StateHeaderSize);
    put32(end, crc32(buffer, size_t(end - buffer)));
    return nullptr;
}

const char* load_state(const uint8_t* buffer, size_t size) {
    if (MachineState.Halted || !CpuRam) return "no cartridge is running";
    if (size < 8 || std::memcmp(buffer, StateMagic, 8) != 0) return "not a Qel state";
    if (size < StateHeaderSize + 4) return "the state is cut short";
    const uint32_t version = get32(buffer + 8);
    if (version != StateFormatVersion) {
        std::snprintf(VersionFailure, sizeof VersionFailure,
                      "the state has format version %u; this Qel reads %u", version,
                      StateFormatVersion);
        return VersionFailure;
    }
    if (crc32(buffer, size - 4) != get32(buffer + size - 4)) {
        // Most often a file cut short or run on; else damaged.
        return size != state_size() ? "the state is cut short or has bytes past its end"
                                    : "the state is damaged: its checksum does not match";
    }
    if (get32(buffer + 12) != cartridge_checksum())
        return "the state was made for another cartridge";
    if (get32(buffer + 16) != state_layout_checksum() || size != state_size())
        return "the state was made by another build of Qel";
    if (const char* why = check_values(buffer + StateHeaderSize)) return why;
    // Everything is checked: from here the state replaces the machine's.
    read_fields(buffer + StateHeaderSize);
    after_load();
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
