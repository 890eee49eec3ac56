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
// whether each step sounds (bit 0 clear) over the long sequence (feedback
// from bits 0 and 1), entry k after k + 1 steps. The short mode (bits 0 and
// 6) runs from whatever value the register holds, in a cycle of 93 steps (or
// of 31 for one set of values).
constexpr uint32_t NoiseSequenceSize = 32767;
constexpr uint32_t NoiseShortSize = 93;
extern uint8_t NoiseSequence[NoiseSequenceSize];

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
    int32_t Position;  // the feedback register, 1-32767
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
    int32_t BytesRemaining;
    int32_t BitsRemaining;  // of SampleByte, 0-8
    int32_t Rate;           // CPU cycles a bit
};

// Every sound register write of the running frame, with the moment it was
// made in ticks from the frame's start (the CPU's cycle within its line
// budget), and the frame counter's clocks at theirs: the frame's mix applies
// each at its point. The log holds 16384 entries, more than a frame's CPU
// can make (a write takes at least three cycles: 13150 in the longest
// frame); past that a write is still applied at once to what the CPU reads,
// and left out of the sound.
enum SoundEvent : uint8_t {
    SoundEventDmcStart = 0x18,  // the delta channel starts a sample ($4015 found it idle)
    SoundEventQuarter = 0x19,   // the frame counter's quarter-frame clock
    SoundEventHalf = 0x1A,      // its half-frame clock (after the quarter of the same step)
};
struct SoundWrite {
    int32_t Tick;      // from the start of the frame, 0 to FrameTicks
    uint16_t Sample;   // the sample the tick falls in, set by the mix
    uint8_t Register;  // address - $4000, or a SoundEvent
    uint8_t Value;
};
constexpr uint32_t SoundLogSize = 16384;
struct SoundLogRecord {
    uint32_t Count;
    SoundWrite Writes[SoundLogSize];
};
extern SoundLogRecord SoundLog;

// 735 samples of 1789772.5 / 44100 CPU cycles: a frame's sound lasts this
// many ticks, whatever the CPU's line budget.
constexpr int32_t FrameTicks = 477273;

// What the CPU reads of the sound unit, kept on the CPU's own clock (its
// cycles scaled to the frame's ticks): the frame counter, the four length
// counters, the delta channel's sample and the two interrupt flags. Brought
// up to the moment of every register access and of every line's end. Its
// ticks count the cycles the CPU has run since the frame's start (a budget's
// overshoot included), at the frame's ticks per cycle.
struct SoundClockRecord {
    int32_t LineStart;      // the clock as the running line budget started
    int32_t Now;            // how far the record has been brought
    int32_t SequenceStart;  // the frame counter's sequence began here
    uint8_t Step;           // the sequence's next step, 0-4
    uint8_t FiveStep;       // $4017 bit 7
    uint8_t IrqInhibit;     // $4017 bit 6
    uint8_t FrameIrq;       // the frame interrupt flag, $4015 bit 6
    uint8_t Enabled;        // $4015 bits 0-3 as last written
    uint8_t Halted;         // bits 0-3: the length counter of that channel is held
    uint8_t Length[4];      // half frames left: pulses, triangle, noise
    uint8_t DmcIrq;         // the delta channel's interrupt flag, $4015 bit 7
    uint8_t DmcIrqEnable;
    uint8_t DmcLoop;
    uint8_t DmcLengthReg;
    uint8_t DmcBufferFull;  // the one-byte sample buffer holds a byte
    uint16_t DmcRate;       // CPU cycles a bit
    int32_t DmcBytes;       // sample bytes still to fetch
    int32_t DmcBoundary;    // the end of the output unit's running eight bits
};
extern SoundClockRecord SoundClock;

// The console's output stage passes no direct current: a high-pass of about
// 37 Hz centres the frame mix on 0x80, so a held level is no offset and the
// silence of a paused or halted machine follows without a step.
struct OutputFilterRecord {
    int32_t LastInput;   // the last mixed sample, in 1/256 steps from 0x80
    int64_t LastOutput;  // the last filtered sample, in 1/65536 of those
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
constexpr uint8_t ApuStatusFrameIrq = 0x40;
constexpr uint8_t ApuStatusDmcIrq = 0x80;
// Bits of $4017.
constexpr uint8_t ApuFrameFiveStep = 0x80;
constexpr uint8_t ApuFrameIrqInhibit = 0x40;
// Bits of $4000, $4004 and $400C.
constexpr uint8_t ApuVolumeBits = 0x0F;
constexpr uint8_t ApuConstantVolume = 0x10;
constexpr uint8_t ApuLengthHalt = 0x20;

// $4000-$4013, $4015 and $4017.
void apu_write(uint16_t address, uint8_t value);
// The $4015 read: clears the frame interrupt flag.
uint8_t apu_status();
// With left cycles of the running budget to go: for how many more cycles a
// read of $4015 answers as one now would (none while the frame interrupt
// flag stands, which a read clears).
int32_t apu_status_quiet_cycles(int32_t left);
void apu_reset();
// Starts the frame's log; the frame driver calls it as a frame starts.
void apu_begin_frame();
// Brings the clock to the end of the line budget just run, `ran` cycles long
// (its last instruction's overshoot included), and raises the CPU's interrupt
// while a flag stands with I clear (`interrupts_allowed`); the frame driver
// calls it after each budget. Most lines hold no step of the frame counter,
// no delta byte and no flag: those only move the clock.
extern uint32_t SoundTicksPerCycle;  // 16.16 fixed point, for the line budget in use
extern int32_t SoundNextEvent;       // the clock's next step or delta boundary
void apu_line_event(bool interrupts_allowed);
// Where on the clock a line `ran` cycles long ends, and whether that end holds
// more than the clock's move: a step, a delta boundary, or a flag the CPU
// would take.
inline int32_t apu_line_end(int32_t ran) {
    return SoundClock.LineStart + int32_t((uint32_t(ran) * SoundTicksPerCycle) >> 16);
}
inline bool apu_line_end_busy(int32_t end, bool interrupts_allowed) {
    const SoundClockRecord& c = SoundClock;
    return end >= SoundNextEvent || ((c.FrameIrq || c.DmcIrq) && interrupts_allowed);
}
inline void apu_end_line(int32_t ran, bool interrupts_allowed) {
    SoundClock.LineStart = apu_line_end(ran);
    if (apu_line_end_busy(SoundClock.LineStart, interrupts_allowed))
        apu_line_event(interrupts_allowed);
}
// apu_end_line for a line whose end holds nothing but the clock's move:
// moves the clock and returns true; else changes nothing and returns false.
inline bool apu_end_quiet_line(int32_t ran, bool interrupts_allowed) {
    const int32_t end = apu_line_end(ran);
    if (apu_line_end_busy(end, interrupts_allowed)) return false;
    SoundClock.LineStart = end;
    return true;
}
// The mix's two ends of the clock: up to the frame's end (logging the frame
// counter's last clocks), and on into the next frame (ticks counted from its
// start, the log emptied).
void apu_end_frame_clock();
void apu_clock_next_frame();
void dmc_start();

// Makes one frame's sound from the channel state and the frame's log,
// advancing the channels by one frame: 735 signed samples in 1/256 of an
// 8-bit step (so 16-bit samples), centred on 0 but for the console's direct
// current, which apu_output_stage takes off. The five channels at full output
// reach 127 x 256.
void apu_mix(int32_t* mix);
// Passes a frame's mix through the output stage (a high-pass of about 37 Hz):
// signed 16-bit samples, and unless out8 is null the same rounded to
// unsigned 8 bits (apu_round8; silence 0x80).
void apu_output_stage(const int32_t* mix, int16_t* out16, uint8_t* out8);
// The two in one pass, without the mix's own samples: the frame driver's.
void apu_mix_output(int16_t* out16);
void apu_round8(const int16_t* in, uint8_t* out);
