// The sound unit: five channel records filled by register writes, and the mix
// that turns them into 735 samples a frame.
#pragma once
#include <cstdint>

constexpr uint32_t SamplesPerFrame = 735;
constexpr float CyclesPerSample = 40.584412f;  // 1789772.5 Hz / 44100 Hz

extern const uint8_t LengthTable[32];
extern const uint32_t NoisePeriods[16];
extern const uint32_t DmcRates[16];
extern const int32_t SweepLimits[8];
extern const uint8_t DutyThresholds[4];
constexpr uint32_t NoiseSequenceSize = 16384;
extern uint8_t NoiseSequence[NoiseSequenceSize];

struct SquareChannel {
    uint8_t PeriodHigh;
    uint8_t PeriodLow;
    uint8_t Volume;
    uint8_t Duty;
    uint8_t SweepPeriod;
    uint8_t SweepEnable;
    uint8_t SweepNegate;
    uint8_t SweepShift;
    uint8_t ConstantVolume;
    uint8_t EnvelopeCounter;
    uint8_t LengthHalt;
    uint8_t DutyStep;
    float DutyPhase;
    float EnvelopePhase;
    uint8_t Enabled;
    int32_t LengthSamples;
    int32_t Timer;
    int32_t SweepPhase;
};

struct TriangleChannel {
    uint8_t PeriodHigh;
    uint8_t PeriodLow;
    uint8_t ReloadDelay;
    uint8_t Control;
    uint8_t LinearReload;
    uint8_t Step;
    int8_t Level;
    float Phase;
    uint8_t Enabled;
    int32_t Timer;
    int32_t LengthSamples;
    int32_t LinearSamples;
    uint32_t Counting;
};

struct NoiseChannel {
    uint8_t Volume;
    uint8_t LengthHalt;
    uint8_t ConstantVolume;
    uint8_t PeriodIndex;
    uint8_t ShortMode;
    uint8_t EnvelopeCounter;
    float Phase;
    float EnvelopePhase;
    uint8_t Enabled;
    int32_t Position;
    int32_t Period;
    int32_t LengthSamples;
};

struct DmcChannel {
    int8_t Level;
    uint8_t IrqEnable;
    uint8_t Loop;
    uint8_t SampleByte;
    uint8_t AddressReg;
    uint8_t LengthReg;
    uint8_t* ReadPointer;  // inside PrgWindow
    float Phase;
    uint8_t Enabled;
    uint8_t IrqFlag;
    int32_t BytesRemaining;
    int32_t BitsRemaining;
    int32_t Rate;
};

// The $4011 writes of the running frame, each with the line budget it was
// made in (0-262), so that the frame's mix sets the level at that point.
struct DmcLevelWrite {
    uint16_t Line;
    int8_t Level;
};
constexpr uint32_t FrameLines = 263;
struct DmcLevelLog {
    int8_t StartLevel;  // the level before the frame's first write
    uint32_t Count;     // at most one write a line: a later one in the same line replaces it
    DmcLevelWrite Writes[FrameLines];
};
extern DmcLevelLog DmcLevelWrites;

extern SquareChannel Square1;
extern SquareChannel Square2;
extern TriangleChannel Triangle;
extern NoiseChannel Noise;
extern DmcChannel Dmc;

void apu_write(uint16_t address, uint8_t value);
uint8_t apu_status();
void apu_reset();
// Forgets the last frame's $4011 writes; the frame driver calls it as a frame starts.
void apu_begin_frame();
void dmc_start();

// Fills block with one frame's 735 unsigned 8-bit samples from the channel
// state, advancing the channels by one frame.
void apu_mix(uint8_t* block);
