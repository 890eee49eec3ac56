// The sound unit: five channel records filled by register writes, and the mix
// that turns them into 735 samples a frame.
#pragma once
#include <cstdint>

constexpr uint32_t SamplesPerFrame = 735;

// Time inside a frame's mix is counted in sixteenths of a CPU cycle.
constexpr int32_t TicksPerCycle = 16;

// The console's tables: lengths in half frames (1/120 s), noise periods and
// delta-channel bit periods in CPU cycles.
extern const uint8_t LengthTable[32];
extern const uint16_t NoisePeriods[16];
extern const uint16_t DmcRates[16];

// The noise channel's 15-bit feedback register from its power-up value 1:
// whether each step sounds (bit 0 clear), over the long sequence (feedback
// from bits 0 and 1) and the short one (bits 0 and 6).
constexpr uint32_t NoiseSequenceSize = 32767;
constexpr uint32_t NoiseShortSize = 93;
extern uint8_t NoiseSequence[NoiseSequenceSize];
extern uint8_t NoiseShortSequence[NoiseShortSize];

struct SquareChannel {
    uint16_t Period;  // 11 bits: a duty step lasts Period + 1 CPU cycles
    uint8_t Volume;
    uint8_t Duty;
    uint8_t SweepPeriod;
    uint8_t SweepEnable;
    uint8_t SweepNegate;
    uint8_t SweepShift;
    uint8_t SweepReload;  // 1 = reload the sweep divider at the next half frame
    uint8_t ConstantVolume;
    uint8_t EnvelopeCounter;  // the envelope volume is 15 - EnvelopeCounter
    uint8_t LengthHalt;       // also makes the envelope loop
    uint8_t DutyStep;         // 0-15: two steps for each of the console's eight
    int32_t DutyPhase;        // ticks left in the current duty step
    int32_t EnvelopePhase;    // the envelope divider, in quarter frames
    uint8_t Enabled;
    int32_t Length;      // half frames left; 0 = silent
    int32_t SweepPhase;  // the sweep divider, in half frames
};

struct TriangleChannel {
    uint16_t Period;
    uint8_t Control;  // holds the length counter and keeps reloading the linear one
    uint8_t LinearReload;
    uint8_t LinearCounter;  // quarter frames left
    uint8_t ReloadFlag;     // set by $400B: the linear counter reloads
    uint8_t Step;           // 0-31 in the sequence 0, 1 ... 15, 15, 14 ... 0
    int32_t Phase;          // ticks left in the current step
    uint8_t Enabled;
    int32_t Length;
};

struct NoiseChannel {
    uint8_t Volume;
    uint8_t LengthHalt;
    uint8_t ConstantVolume;
    uint8_t PeriodIndex;
    uint8_t ShortMode;
    uint8_t EnvelopeCounter;
    int32_t Phase;  // ticks left in the current step
    int32_t EnvelopePhase;
    uint8_t Enabled;
    int32_t Position;  // step of the long or the short sequence
    int32_t Period;    // CPU cycles a step
    int32_t Length;
};

struct DmcChannel {
    uint8_t Level;  // 0-127
    uint8_t IrqEnable;
    uint8_t Loop;
    uint8_t SampleByte;  // the byte being played, shifted right as its bits play
    uint8_t AddressReg;
    uint8_t LengthReg;
    uint8_t* ReadPointer;  // inside PrgWindow
    int32_t Phase;         // ticks to the next bit
    uint8_t IrqFlag;
    int32_t BytesRemaining;
    int32_t BitsRemaining;  // of SampleByte, 0-8
    int32_t Rate;           // CPU cycles a bit
};

// The $4011 writes of the running frame, each with the line budget it was
// made in (0-262), so that the frame's mix sets the level at that point.
struct DmcLevelWrite {
    uint16_t Line;
    uint8_t Level;
};
constexpr uint32_t FrameLines = 263;
struct DmcLevelLog {
    uint8_t StartLevel;  // the level before the frame's first write
    uint32_t Count;      // at most one write a line: a later one in the same line replaces it
    DmcLevelWrite Writes[FrameLines];
};
extern DmcLevelLog DmcLevelWrites;

// The console's output stage passes no direct current: a high-pass of about
// 37 Hz centres the frame mix on 0x80, so a held level is no offset and the
// silence of a paused or halted machine follows without a step.
struct OutputFilterRecord {
    int32_t LastInput;   // the last mixed sample, in 1/256 steps from 0x80
    int32_t LastOutput;  // the last filtered sample, in 1/256 steps from 0x80
};
extern OutputFilterRecord OutputFilter;

extern SquareChannel Square1;
extern SquareChannel Square2;
extern TriangleChannel Triangle;
extern NoiseChannel Noise;
extern DmcChannel Dmc;

// Bits of $4015: one a channel (written: enabled; read: still sounding),
// the vertical blank and the delta channel's interrupt when read.
constexpr uint8_t ApuStatusSquare1 = 0x01;
constexpr uint8_t ApuStatusSquare2 = 0x02;
constexpr uint8_t ApuStatusTriangle = 0x04;
constexpr uint8_t ApuStatusNoise = 0x08;
constexpr uint8_t ApuStatusDmc = 0x10;
constexpr uint8_t ApuStatusVblank = 0x40;
constexpr uint8_t ApuStatusDmcIrq = 0x80;
// Bits of $4000, $4004 and $400C.
constexpr uint8_t ApuVolumeBits = 0x0F;
constexpr uint8_t ApuConstantVolume = 0x10;
constexpr uint8_t ApuLengthHalt = 0x20;

void apu_write(uint16_t address, uint8_t value);
uint8_t apu_status();
void apu_reset();
// Forgets the last frame's $4011 writes; the frame driver calls it as a frame starts.
void apu_begin_frame();
void dmc_start();

// Fills block with one frame's 735 unsigned 8-bit samples from the channel
// state, advancing the channels by one frame. Silence is 0x80; the five
// channels at full output reach 0xFF.
void apu_mix(uint8_t* block);
// Passes a frame mix through the output stage, in place.
void apu_output_stage(uint8_t* block);
