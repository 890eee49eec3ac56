// One frame of sound: each channel's generator fills its own 735 samples from
// the channel record, then the five are summed into unsigned 8-bit samples.
// All time-based counters are counted in output samples.
#include "apu/apu.h"
#include "core/machine.h"
#include "cpu/n6502.h"

namespace {

int8_t Square1Samples[SamplesPerFrame];
int8_t Square2Samples[SamplesPerFrame];
int8_t TriangleSamples[SamplesPerFrame];
int8_t NoiseSamples[SamplesPerFrame];
int8_t DmcSamples[SamplesPerFrame];

constexpr float kEnvelopeDecrease = 3.0f;
constexpr int32_t kSweepDecrease = 2;

void clear(int8_t* out) {
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) out[i] = 0;
}

// One envelope decrease; the counter steps each time its divider fires.
template <typename Channel>
inline void step_envelope(Channel& c, float period) {
    c.EnvelopePhase -= kEnvelopeDecrease;
    while (c.EnvelopePhase < 0.0f) {
        c.EnvelopePhase += period;
        if (c.LengthHalt)
            c.EnvelopeCounter = (c.EnvelopeCounter + 1) & 15;
        else if (c.EnvelopeCounter < 15)
            ++c.EnvelopeCounter;
    }
}

template <typename Channel>
inline int32_t amplitude(const Channel& c) {
    return c.ConstantVolume ? c.Volume : 15 - c.EnvelopeCounter;
}

void pulse(SquareChannel& s, int8_t* out) {
    if (!s.Enabled) return clear(out);
    const float envelope_period = float((s.Volume + 1) * SamplesPerFrame);
    const int32_t sweep_period = int32_t((s.SweepPeriod + 1) * SamplesPerFrame);
    const uint32_t threshold = DutyThresholds[s.Duty & 3];
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        step_envelope(s, envelope_period);
        if (s.LengthSamples > 0 && !s.LengthHalt) --s.LengthSamples;
        if (s.LengthSamples == 0) {
            out[i] = 0;
            continue;
        }
        if (s.SweepEnable && s.SweepShift && s.Timer < 2047) {
            s.SweepPhase -= kSweepDecrease;
            while (s.SweepPhase < 0) {
                s.SweepPhase += sweep_period;
                int32_t d = s.Timer >> s.SweepShift;
                s.Timer = s.SweepNegate ? s.Timer - d : s.Timer + d;
            }
        }
        if ((!s.SweepNegate && s.Timer > SweepLimits[s.SweepShift & 7]) || s.Timer < 4) {
            out[i] = 0;
            s.DutyPhase = 0.0f;
            continue;
        }
        s.DutyPhase -= CyclesPerSample;
        while (s.DutyPhase < 0.0f) {
            s.DutyPhase += float(s.Timer);
            s.DutyStep = (s.DutyStep + 1) & 15;
        }
        int32_t a = amplitude(s);
        out[i] = int8_t(s.DutyStep < threshold ? a : -a);
    }
}

void triangle(TriangleChannel& t, int8_t* out) {
    if (!t.Enabled) return clear(out);
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        bool count = true;
        if (!t.Counting) {
            if (t.Control) {
                count = false;
            } else if (t.ReloadDelay) {
                --t.ReloadDelay;
                count = false;
            } else {
                t.Counting = 1;
            }
        }
        if (count) {
            if (t.LinearSamples) --t.LinearSamples;
            if (t.LengthSamples == 0) {
                out[i] = 0;
                continue;
            }
            if (!t.Control && --t.LengthSamples == 0) {
                out[i] = 0;
                continue;
            }
        }
        if (t.LinearSamples == 0 || t.Timer < 4) {
            out[i] = 0;
            continue;
        }
        t.Phase -= CyclesPerSample;
        while (t.Phase < 0.0f) {
            t.Phase += float(t.Timer);
            t.Step = (t.Step + 1) & 31;
            int32_t level = (t.Step & 8) ? 16 - 2 * (t.Step & 7) : 2 * (t.Step & 7);
            t.Level = int8_t((t.Step & 16) ? -level : level);
        }
        out[i] = t.Level;
    }
}

void noise(NoiseChannel& n, int8_t* out) {
    if (!n.Enabled) return clear(out);
    const float envelope_period = float((n.Volume + 1) * SamplesPerFrame);
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        step_envelope(n, envelope_period);
        if (!n.LengthHalt && n.LengthSamples > 0) --n.LengthSamples;
        // No period yet (nothing written to $400E since the reset): silence,
        // rather than a sequencer that never moves on.
        if (n.LengthSamples == 0 || n.Period <= 0) {
            out[i] = 0;
            continue;
        }
        n.Phase -= CyclesPerSample;
        while (n.Phase < 0.0f) {
            n.Phase += float(n.Period);
            ++n.Position;
            if (n.Position == 93 && n.ShortMode)
                n.Position = 0;
            else if (n.Position >= int32_t(NoiseSequenceSize))
                n.Position = 0;
        }
        int32_t a = amplitude(n);
        uint32_t t = NoiseSequence[n.Position];
        int32_t v = int32_t(t) < a ? int32_t(t) : a;
        out[i] = int8_t((t & 0x80) ? -v : v);
    }
}

void dmc(DmcChannel& d, int8_t* out) {
    DmcLevelLog& log = DmcLevelWrites;
    if (!d.Enabled && d.BytesRemaining == 0 && log.Count == 0) return clear(out);
    // Before the first $4010 write the rate is the console's rate 0.
    const float rate = float(d.Rate > 0 ? d.Rate : int32_t(DmcRates[0]));
    uint8_t* const window_end = PrgWindow + PrgWindowSize;
    // The frame's $4011 writes set the level where they were made.
    int32_t level = log.Count ? log.StartLevel : d.Level;
    uint32_t next = 0;
    uint32_t next_at = log.Count ? log.Writes[0].Line * SamplesPerFrame / FrameLines : ~0u;
    const bool playing = d.Enabled || d.BytesRemaining != 0;
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        while (i >= next_at) {
            level = log.Writes[next].Level;
            next_at =
                ++next < log.Count ? log.Writes[next].Line * SamplesPerFrame / FrameLines : ~0u;
        }
        if (playing) d.Phase -= CyclesPerSample;
        while (playing && d.Phase < 0.0f) {
            d.Phase += rate;
            if (d.BytesRemaining == 0) {
                if (d.Loop) {
                    dmc_start();
                } else {
                    if (d.IrqEnable) {
                        d.IrqFlag = 1;
                        n6502_int();
                    }
                    break;
                }
            }
            --d.BitsRemaining;
            uint32_t k = 7 - (uint32_t(d.BitsRemaining) & 7);
            if (k == 7) {
                d.SampleByte = *d.ReadPointer++;
                if (d.ReadPointer == window_end) d.ReadPointer = PrgWindow;  // $FFFF wraps to $8000
                --d.BytesRemaining;
            }
            level += ((d.SampleByte >> k) & 1) ? 1 : -1;
        }
        if (level > 31) level = 31;
        if (level < -32) level = -32;
        out[i] = int8_t(level);
    }
    d.Level = int8_t(level);
    DmcLevelWrites.Count = 0;
}

}  // namespace

void apu_mix(uint8_t* block) {
    pulse(Square1, Square1Samples);
    pulse(Square2, Square2Samples);
    triangle(Triangle, TriangleSamples);
    noise(Noise, NoiseSamples);
    dmc(Dmc, DmcSamples);
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        int32_t sum = Square1Samples[i] + DmcSamples[i] + NoiseSamples[i] + TriangleSamples[i] +
                      Square2Samples[i];
        block[i] = uint8_t((sum & 0xFF) ^ 0x80);
    }
}
