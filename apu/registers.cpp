#include <algorithm>
#include <cstring>

#include "apu/apu.h"
#include "core/machine.h"

const uint8_t LengthTable[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
                                 12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30};
const uint16_t NoisePeriods[16] = {4,   8,   16,  32,  64,  96,   128,  160,
                                   202, 254, 380, 508, 762, 1016, 2034, 4068};
const uint16_t DmcRates[16] = {428, 380, 340, 320, 286, 254, 226, 214,
                               190, 160, 142, 128, 106, 84,  72,  54};
uint8_t NoiseSequence[NoiseSequenceSize];
uint8_t NoiseShortSequence[NoiseShortSize];

SquareChannel Square1;
SquareChannel Square2;
TriangleChannel Triangle;
NoiseChannel Noise;
DmcChannel Dmc;
OutputFilterRecord OutputFilter;
DmcLevelLog DmcLevelWrites;

namespace {

void write_square(SquareChannel& s, uint32_t reg, uint8_t v) {
    switch (reg) {
        case 0:
            s.Volume = v & ApuVolumeBits;
            s.ConstantVolume = v & ApuConstantVolume;
            s.LengthHalt = v & ApuLengthHalt;
            s.Duty = v >> 6;
            break;
        case 1:
            s.SweepEnable = v & 0x80;
            s.SweepShift = v & 7;
            s.SweepNegate = v & 8;
            s.SweepPeriod = (v >> 4) & 7;
            s.SweepReload = 1;
            break;
        case 2: s.Period = uint16_t((s.Period & 0x700) | v); break;
        case 3:
            s.Period = uint16_t((s.Period & 0xFF) | (v & 7) << 8);
            // The envelope restarts at full volume and the duty sequence at its start.
            s.EnvelopeCounter = 0;
            s.EnvelopePhase = s.Volume;
            s.DutyStep = 0;
            s.DutyPhase = 0;
            if (s.Enabled) s.Length = LengthTable[v >> 3];
            break;
    }
}

void write_status(uint8_t v) {
    Square1.Enabled = v & ApuStatusSquare1 ? 1 : 0;
    if (!(v & ApuStatusSquare1)) Square1.Length = 0;
    Square2.Enabled = v & ApuStatusSquare2 ? 1 : 0;
    if (!(v & ApuStatusSquare2)) Square2.Length = 0;
    Triangle.Enabled = v & ApuStatusTriangle ? 1 : 0;
    if (!(v & ApuStatusTriangle)) Triangle.Length = 0;
    Noise.Enabled = v & ApuStatusNoise ? 1 : 0;
    if (!(v & ApuStatusNoise)) Noise.Length = 0;
    // The delta channel starts a sample when none is playing, and stops at once:
    // only the bits of the byte in hand still play.
    if (!(v & ApuStatusDmc))
        Dmc.BytesRemaining = 0;
    else if (Dmc.BytesRemaining == 0) {
        dmc_start();
        Dmc.BitsRemaining = 0;  // the first bit comes from the sample's first byte
    }
    Dmc.IrqFlag = 0;
}

void record_level(uint8_t level) {
    DmcLevelLog& log = DmcLevelWrites;
    const uint16_t line = uint16_t(std::min<uint32_t>(MachineState.FrameLine, FrameLines - 1));
    if (log.Count == 0) log.StartLevel = Dmc.Level;
    if (log.Count && log.Writes[log.Count - 1].Line == line)
        log.Writes[log.Count - 1].Level = level;
    else if (log.Count < FrameLines)
        log.Writes[log.Count++] = DmcLevelWrite{line, level};
    Dmc.Level = level;
}

}  // namespace

void apu_begin_frame() { DmcLevelWrites.Count = 0; }

void apu_write(uint16_t address, uint8_t v) {
    switch (address) {
        case 0x4000:
        case 0x4001:
        case 0x4002:
        case 0x4003: write_square(Square1, address - 0x4000, v); break;
        case 0x4004:
        case 0x4005:
        case 0x4006:
        case 0x4007: write_square(Square2, address - 0x4004, v); break;
        case 0x4008:
            Triangle.Control = v & 0x80;
            Triangle.LinearReload = v & 0x7F;
            break;
        case 0x400A: Triangle.Period = uint16_t((Triangle.Period & 0x700) | v); break;
        case 0x400B:
            Triangle.Period = uint16_t((Triangle.Period & 0xFF) | (v & 7) << 8);
            Triangle.ReloadFlag = 1;
            if (Triangle.Enabled) Triangle.Length = LengthTable[v >> 3];
            break;
        case 0x400C:
            Noise.Volume = v & ApuVolumeBits;
            Noise.ConstantVolume = v & ApuConstantVolume;
            Noise.LengthHalt = v & ApuLengthHalt;
            break;
        case 0x400E:
            Noise.PeriodIndex = v & 0x0F;
            Noise.ShortMode = v & 0x80;
            Noise.Period = NoisePeriods[v & 0x0F];
            break;
        case 0x400F:
            Noise.EnvelopeCounter = 0;
            Noise.EnvelopePhase = Noise.Volume;
            if (Noise.Enabled) Noise.Length = LengthTable[v >> 3];
            break;
        case 0x4010:
            Dmc.Rate = DmcRates[v & 0x0F];
            Dmc.Loop = v & 0x40;
            Dmc.IrqEnable = v & 0x80;
            if (!(v & 0x80)) Dmc.IrqFlag = 0;
            break;
        case 0x4011: record_level(v & 0x7F); break;
        case 0x4012: Dmc.AddressReg = v; break;
        case 0x4013: Dmc.LengthReg = v; break;
        case 0x4015: write_status(v); break;
        default:  // $4009, $400D, $4014: no effect
            break;
    }
}

uint8_t apu_status() {
    uint8_t s = 0;
    if (Square1.Length != 0) s |= ApuStatusSquare1;
    if (Square2.Length != 0) s |= ApuStatusSquare2;
    if (Triangle.Length != 0) s |= ApuStatusTriangle;
    if (Noise.Length != 0) s |= ApuStatusNoise;
    if (Dmc.BytesRemaining != 0) s |= ApuStatusDmc;
    if (MachineState.InVblank) s |= ApuStatusVblank;
    if (Dmc.IrqFlag) s |= ApuStatusDmcIrq;
    return s;
}

void dmc_start() {
    // At most $C000 + 255 x 64 = $FFC0: always inside the PRG window.
    Dmc.ReadPointer = PrgWindow + 0x4000 + Dmc.AddressReg * 64;
    Dmc.BytesRemaining = Dmc.LengthReg * 16 + 1;
}

void apu_reset() {
    Square1 = SquareChannel{};
    Square2 = SquareChannel{};
    Triangle = TriangleChannel{};
    Noise = NoiseChannel{};
    Dmc = DmcChannel{};
    Dmc.Rate = DmcRates[0];
    DmcLevelWrites.Count = 0;
}
