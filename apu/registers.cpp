#include <algorithm>
#include <cstring>

#include "apu/apu.h"
#include "core/machine.h"

const uint8_t LengthTable[32] = {5, 127, 10, 1, 19, 2,  40, 3,  80, 4,  30, 5,  7, 6,  13, 7,
                                 6, 8,   12, 9, 24, 10, 48, 11, 96, 12, 36, 13, 8, 14, 16, 15};
const uint32_t NoisePeriods[16] = {4,   8,   16,  32,  64,  96,   128,  160,
                                   202, 254, 380, 508, 762, 1016, 2034, 2046};
const uint32_t DmcRates[16] = {428, 380, 340, 320, 286, 254, 226, 214,
                               190, 160, 142, 128, 106, 85,  72,  54};
const int32_t SweepLimits[8] = {1023, 1365, 1638, 1820, 1927, 1985, 2016, 2032};
const uint8_t DutyThresholds[4] = {14, 12, 8, 4};
uint8_t NoiseSequence[NoiseSequenceSize];

SquareChannel Square1;
SquareChannel Square2;
TriangleChannel Triangle;
NoiseChannel Noise;
DmcChannel Dmc;
DmcLevelLog DmcLevelWrites;

namespace {

int32_t length_of(uint8_t v) { return int32_t(LengthTable[v >> 3]) * int32_t(SamplesPerFrame); }
int32_t linear_of(uint8_t reload) { return int32_t(reload * SamplesPerFrame) >> 2; }

void write_square(SquareChannel& s, uint32_t reg, uint8_t v) {
    switch (reg) {
        case 0:
            s.Volume = v & 0x0F;
            s.ConstantVolume = v & 0x10;
            s.LengthHalt = v & 0x20;
            s.Duty = v >> 6;
            break;
        case 1:
            s.SweepEnable = v & 0x80;
            s.SweepShift = v & 7;
            s.SweepNegate = v & 8;
            s.SweepPeriod = (v >> 4) & 7;
            break;
        case 2:
            s.PeriodLow = v;
            if (s.Enabled) s.Timer = ((s.PeriodHigh << 8) | v) + 1;
            break;
        case 3:
            s.PeriodHigh = v & 7;
            if (s.Enabled) {
                s.EnvelopeCounter = 0;
                s.Timer = (((v & 7) << 8) | s.PeriodLow) + 1;
                s.LengthSamples = length_of(v);
            }
            break;
    }
}

void write_status(uint8_t v) {
    Square1.Enabled = v & 0x01 ? 1 : 0;
    if (!(v & 0x01)) Square1.LengthSamples = 0;
    Square2.Enabled = v & 0x02 ? 1 : 0;
    if (!(v & 0x02)) Square2.LengthSamples = 0;
    if (v & 0x04) {
        Triangle.Enabled = 1;
    } else {
        Triangle.Enabled = 0;
        Triangle.LengthSamples = 0;
        Triangle.LinearSamples = 0;
        Triangle.Counting = 0;
        Triangle.ReloadDelay = 0;
    }
    Noise.Enabled = v & 0x08 ? 1 : 0;
    if (!(v & 0x08)) Noise.LengthSamples = 0;
    if (v & 0x10) {
        if (!Dmc.Enabled) {
            Dmc.Enabled = 1;
            dmc_start();
        }
    } else {
        Dmc.Enabled = 0;
    }
    Dmc.IrqFlag = 0;
}

void record_level(int8_t level) {
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
            if (Triangle.Enabled && !Triangle.Counting)
                Triangle.LinearSamples = linear_of(Triangle.LinearReload);
            break;
        case 0x400A: Triangle.PeriodLow = v; break;
        case 0x400B:
            Triangle.PeriodHigh = v & 7;
            Triangle.ReloadDelay = 3;
            if (Triangle.Enabled) {
                Triangle.Counting = 0;
                Triangle.LengthSamples = length_of(v);
                Triangle.LinearSamples = linear_of(Triangle.LinearReload);
                Triangle.Timer = (((v & 7) << 8) | Triangle.PeriodLow) + 1;
            }
            break;
        case 0x400C:
            Noise.Volume = v & 0x0F;
            Noise.ConstantVolume = v & 0x10;
            Noise.LengthHalt = v & 0x20;
            break;
        case 0x400E:
            Noise.PeriodIndex = v & 0x0F;
            Noise.ShortMode = v & 0x80;
            Noise.Period = int32_t(NoisePeriods[v & 0x0F]);
            break;
        case 0x400F:
            if (Noise.Enabled) {
                Noise.EnvelopeCounter = 0;
                Noise.LengthSamples = length_of(v);
            }
            break;
        case 0x4010:
            Dmc.Rate = int32_t(DmcRates[v & 0x0F]);
            Dmc.Loop = v & 0x40;
            Dmc.IrqEnable = v & 0x80;
            if (!(v & 0x80)) Dmc.IrqFlag = 0;
            break;
        case 0x4011: record_level(int8_t(v)); break;
        case 0x4012: Dmc.AddressReg = v; break;
        case 0x4013: Dmc.LengthReg = v; break;
        case 0x4015: write_status(v); break;
        default:  // $4009, $400D, $4014: no effect
            break;
    }
}

uint8_t apu_status() {
    uint8_t s = 0;
    if (Square1.Enabled && Square1.LengthSamples != 0) s |= 0x01;
    if (Square2.Enabled && Square2.LengthSamples != 0) s |= 0x02;
    if (Triangle.Enabled && Triangle.LengthSamples != 0) s |= 0x04;
    if (Noise.Enabled && Noise.LengthSamples != 0) s |= 0x08;
    if (Dmc.Enabled && Dmc.BytesRemaining != 0) s |= 0x10;
    if (MachineState.InVblank) s |= 0x40;
    if (Dmc.IrqFlag) s |= 0x80;
    return s;
}

void dmc_start() {
    // At most $C000 + 255 x 64 = $FFC0: always inside the PRG window.
    Dmc.ReadPointer = PrgWindow + 0x4000 + Dmc.AddressReg * 64;
    Dmc.IrqFlag = 0;
    Dmc.BytesRemaining = Dmc.LengthReg * 16 + 1;
    Dmc.BitsRemaining = Dmc.BytesRemaining * 8;
}

void apu_reset() {
    Square1 = SquareChannel{};
    Square2 = SquareChannel{};
    Triangle = TriangleChannel{};
    Noise = NoiseChannel{};
    Dmc = DmcChannel{};
    DmcLevelWrites.Count = 0;
    uint32_t r = 17;
    for (uint32_t i = 0; i < NoiseSequenceSize; ++i) {
        r = (r >> 1) | (((r >> 1 ^ r) & 1) << 12);
        NoiseSequence[i] = uint8_t(r & 0xFF);
    }
}
