// One frame of sound. Each channel's level is followed from edge to edge in
// ticks (sixteenths of a CPU cycle), and a sample is the exact average of the
// level over its 1/44100 s: whole samples between two edges are written as
// runs, and only the samples an edge falls in are worked out. The frame is
// cut in four at the frame counter's quarter frames, where the envelopes and
// the linear counter step (240 times a second) and every other one the
// lengths and the sweeps (120 times a second). Each channel's levels are in
// units that add up to the indexes of the console's two nonlinear mixing
// tables: the pulses' sum indexes one, the other three channels' the other.
// The delta channel, which moves by small steps, is taken at each sample's
// start.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "apu/apu.h"
#include "core/machine.h"
#include "cpu/n6502.h"

namespace {

// 735 samples of 1789772.5 / 44100 CPU cycles: samples of 649 or 650 ticks.
constexpr int32_t kFrameTicks = 477273;
constexpr int32_t kNever = 0x7FFFFFFF;
constexpr uint32_t kQuarters[5] = {0, 184, 368, 551, 735};

// Table units of one level step: a pulse step is 16; the triangle, noise and
// delta channel weigh 1/8227, 1/12241 and 1/22638 in the console's formula,
// which makes 88, 59 and 32.
constexpr int32_t kPulseUnit = 16;
constexpr int32_t kTriangleUnit = 88;
constexpr int32_t kNoiseUnit = 59;
constexpr int32_t kDmcUnit = 32;
constexpr uint32_t kPulseTableSize = 30 * kPulseUnit + 1;
constexpr uint32_t kTndTableSize = 15 * kTriangleUnit + 15 * kNoiseUnit + 127 * kDmcUnit + 1;
constexpr int32_t kNoiseExtra = 17;  // counts past the end of a sequence, for runs across it

int32_t SampleStart[SamplesPerFrame + 1];  // ticks from the start of the frame
// In 1/256 of an output step; the centre 0x80 and the rounding are in TndMix.
uint16_t PulseMix[kPulseTableSize];
uint16_t TndMix[kTndTableSize];
// Sounding steps before each position, the sequence repeated past its end.
uint16_t LongCount[NoiseSequenceSize + kNoiseExtra];
uint16_t ShortCount[NoiseShortSize + kNoiseExtra];
// Each channel's levels in table units; runs are stored eight at a time and
// may overrun their end by up to seven, which the next run overwrites.
constexpr uint32_t kLanes = 8;
enum ChannelIndex { kPulse1, kPulse2, kTriangle, kNoise, kDmc, kChannels };
uint16_t Levels[kChannels][SamplesPerFrame + kLanes];
uint8_t NoiseLongRun[NoiseSequenceSize];  // steps to the next change of the sequence
uint8_t NoiseShortRun[NoiseShortSize];
uint16_t DmcTrack[SamplesPerFrame + 1];  // the delta level after each bit of a frame
uint16_t DmcPlayed[SamplesPerFrame];     // the bits played by the start of each sample

// Pulse duty: sounding steps of 16 (the console's 1, 2, 4 and 6 of 8).
constexpr int32_t kHighSteps[4] = {2, 4, 8, 12};

void count_sequence(const uint8_t* bits, uint32_t size, uint16_t* count, uint8_t* run) {
    count[0] = 0;
    for (uint32_t i = 0; i + 1 < size + kNoiseExtra; ++i)
        count[i + 1] = uint16_t(count[i] + bits[i % size]);
    for (uint32_t i = 0; i < size; ++i) {
        uint32_t n = 1;
        while (bits[(i + n) % size] == bits[i]) ++n;
        run[i] = uint8_t(n);
    }
}

void build_tables() {
    for (uint32_t i = 0; i <= SamplesPerFrame; ++i)
        SampleStart[i] =
            int32_t((uint64_t(i) * kFrameTicks + SamplesPerFrame / 2) / SamplesPerFrame);
    // Full output (both pulses at 15, triangle and noise at 15, delta at 127)
    // is 0.99999 of the formulas' unit, which spans 127 output steps above 0x80.
    for (uint32_t i = 1; i < kPulseTableSize; ++i)
        PulseMix[i] = uint16_t(std::lround(127 * 256 * 95.88 / (8128.0 * kPulseUnit / i + 100)));
    for (uint32_t i = 0; i < kTndTableSize; ++i) {
        const double x = i / (double(kDmcUnit) * 22638);
        TndMix[i] =
            uint16_t(128 * 256 + 128 + (i ? std::lround(127 * 256 * 159.79 / (1 / x + 100)) : 0));
    }
    uint32_t r = 1;
    for (uint32_t i = 0; i < NoiseSequenceSize; ++i) {
        r = (r >> 1) | (((r ^ r >> 1) & 1) << 14);
        NoiseSequence[i] = uint8_t(~r & 1);
    }
    r = 1;
    for (uint32_t i = 0; i < NoiseShortSize; ++i) {
        r = (r >> 1) | (((r ^ r >> 6) & 1) << 14);
        NoiseShortSequence[i] = uint8_t(~r & 1);
    }
    count_sequence(NoiseSequence, NoiseSequenceSize, LongCount, NoiseLongRun);
    count_sequence(NoiseShortSequence, NoiseShortSize, ShortCount, NoiseShortRun);
}
const bool kTablesBuilt = (build_tables(), true);

// The average over a sample of len ticks of a level whose sum over it is acc.
inline int32_t average(int32_t acc, int32_t len) {
    static constexpr int64_t kReciprocal[2] = {(int64_t(1) << 24) / 649 + 1,
                                               (int64_t(1) << 24) / 650 + 1};
    return int32_t((acc * kReciprocal[len - 649]) >> 24);
}

// The sample that tick t falls in; SamplesPerFrame from the frame's end on.
inline uint32_t sample_of(int32_t t) {
    if (t >= kFrameTicks) return SamplesPerFrame;
    constexpr uint64_t kScale = (uint64_t(SamplesPerFrame) << 32) / kFrameTicks;
    uint32_t i = uint32_t((uint64_t(t) * kScale) >> 32);
    while (i > 0 && SampleStart[i] > t) --i;
    while (SampleStart[i + 1] <= t) ++i;
    return i;
}

typedef uint16_t Lanes __attribute__((vector_size(2 * kLanes)));

// Stores v in out[first, last), and in up to seven entries past it.
inline void fill(uint16_t* out, uint32_t first, uint32_t last, int32_t v) {
    const Lanes lanes = Lanes{} + uint16_t(v);
    for (uint32_t i = first; i < last; i += kLanes) std::memcpy(out + i, &lanes, sizeof lanes);
}

// Stores in out[first, last) the average of a level that holds `level` until
// tick `edge`, where next(level, edge) moves it on to its next value and edge.
template <typename Next>
inline void follow_edges(uint16_t* out, uint32_t first, uint32_t last, int32_t& level,
                         int32_t& edge, Next next) {
    uint32_t i = first;
    for (;;) {
        uint32_t run_end = sample_of(edge);
        if (run_end > last) run_end = last;
        fill(out, i, run_end, level);
        i = run_end;
        if (i == last) return;
        const int32_t end = SampleStart[i + 1];
        int32_t t = SampleStart[i], acc = 0;
        do {
            acc += level * (edge - t);
            t = edge;
            next(level, edge);
        } while (edge < end);
        acc += level * (end - t);
        out[i] = uint16_t(average(acc, end - SampleStart[i]));
        if (++i == last) return;
    }
}

template <typename Channel>
inline int32_t amplitude(const Channel& c) {
    return c.ConstantVolume ? c.Volume : 15 - (c.EnvelopeCounter & 15);
}

// ------------------------------------------------------------- frame counter

template <typename Channel>
void clock_envelope(Channel& c) {
    if (c.EnvelopePhase > 0) {
        --c.EnvelopePhase;
        return;
    }
    c.EnvelopePhase = c.Volume;
    if (c.EnvelopeCounter < 15)
        ++c.EnvelopeCounter;
    else if (c.LengthHalt)
        c.EnvelopeCounter = 0;
}

// Where the sweep would take the period; pulse 1 subtracts one more.
int32_t sweep_target(const SquareChannel& s, bool ones_complement) {
    const int32_t change = s.Period >> s.SweepShift;
    if (!s.SweepNegate) return s.Period + change;
    return s.Period - change - (ones_complement ? 1 : 0);
}

// A pulse is silent below period 8 and whenever its sweep would pass $7FF.
bool pulse_muted(const SquareChannel& s, bool ones_complement) {
    return s.Period < 8 || sweep_target(s, ones_complement) > 0x7FF;
}

void clock_sweep(SquareChannel& s, bool ones_complement) {
    if (s.SweepPhase <= 0 && s.SweepEnable && s.SweepShift && !pulse_muted(s, ones_complement)) {
        const int32_t target = sweep_target(s, ones_complement);
        s.Period = uint16_t(target < 0 ? 0 : target);
    }
    if (s.SweepPhase <= 0 || s.SweepReload) {
        s.SweepPhase = s.SweepPeriod;
        s.SweepReload = 0;
    } else {
        --s.SweepPhase;
    }
}

template <typename Channel>
void clock_length(Channel& c, bool halt) {
    if (c.Length > 0 && !halt) --c.Length;
}

void quarter_frame() {
    clock_envelope(Square1);
    clock_envelope(Square2);
    clock_envelope(Noise);
    TriangleChannel& t = Triangle;
    if (t.ReloadFlag)
        t.LinearCounter = t.LinearReload;
    else if (t.LinearCounter)
        --t.LinearCounter;
    if (!t.Control) t.ReloadFlag = 0;
}

void half_frame() {
    clock_length(Square1, Square1.LengthHalt);
    clock_length(Square2, Square2.LengthHalt);
    clock_length(Triangle, Triangle.Control);
    clock_length(Noise, Noise.LengthHalt);
    clock_sweep(Square1, true);
    clock_sweep(Square2, false);
}

// ----------------------------------------------------------------- channels

void pulse(SquareChannel& s, bool ones_complement, uint16_t* out, uint32_t first, uint32_t last) {
    const int32_t amp = amplitude(s) * kPulseUnit;
    if (s.Length == 0 || amp == 0 || pulse_muted(s, ones_complement))
        return fill(out, first, last, 0);
    const int32_t step = (s.Period + 1) * TicksPerCycle;
    const int32_t high = kHighSteps[s.Duty & 3];
    const int32_t high_ticks = high * step, low_ticks = (16 - high) * step;
    const int32_t k = s.DutyStep & 15;
    const int32_t phase = s.DutyPhase > 0 && s.DutyPhase <= step ? s.DutyPhase : step;
    int32_t level = k < high ? amp : 0;
    int32_t edge = SampleStart[first] + phase + ((k < high ? high : 16) - 1 - k) * step;
    follow_edges(out, first, last, level, edge, [&](int32_t& v, int32_t& e) {
        e += v ? low_ticks : high_ticks;
        v = v ? 0 : amp;
    });
    const int32_t left = edge - SampleStart[last];
    const int32_t later = (left - 1) / step;  // whole steps after the current one
    s.DutyStep = uint8_t((level ? high : 16) - 1 - later);
    s.DutyPhase = left - later * step;
}

inline int32_t triangle_level(uint32_t step) {
    return (step < 16 ? int32_t(step) : 31 - int32_t(step)) * kTriangleUnit;
}

// The triangle holds its level while its counters stop it; above the hearing
// (periods 0 and 1) it gives its average.
void triangle(TriangleChannel& t, uint16_t* out, uint32_t first, uint32_t last) {
    t.Step &= 31;
    if (t.Length == 0 || t.LinearCounter == 0)
        return fill(out, first, last, triangle_level(t.Step));
    if (t.Period < 2) return fill(out, first, last, 15 * kTriangleUnit / 2);
    const int32_t step = (t.Period + 1) * TicksPerCycle;
    uint32_t k = t.Step;
    int32_t level = triangle_level(k);
    int32_t edge = SampleStart[first] + (t.Phase > 0 && t.Phase <= step ? t.Phase : step);
    follow_edges(out, first, last, level, edge, [&](int32_t& v, int32_t& e) {
        k = (k + 1) & 31;
        v = triangle_level(k);
        e += step;
    });
    t.Step = uint8_t(k);
    t.Phase = edge - SampleStart[last];
}

void noise(NoiseChannel& n, uint16_t* out, uint32_t first, uint32_t last) {
    const int32_t amp = amplitude(n) * kNoiseUnit;
    if (n.Length == 0 || amp == 0 || n.Period <= 0 || n.Period > 4068)
        return fill(out, first, last, 0);
    const bool short_mode = n.ShortMode;
    const uint8_t* bits = short_mode ? NoiseShortSequence : NoiseSequence;
    const int32_t size = int32_t(short_mode ? NoiseShortSize : NoiseSequenceSize);
    const int32_t step = n.Period * TicksPerCycle;
    int32_t k = n.Position >= 0 && n.Position < size ? n.Position : (n.Position & 0x7FFF) % size;
    int32_t left = n.Phase > 0 && n.Phase <= step ? n.Phase : step;
    if (n.Period >= 64) {
        // Steps of more than a sample and a half: from one change of the
        // sequence to the next.
        const uint8_t* run = short_mode ? NoiseShortRun : NoiseLongRun;
        auto wrap = [size](int32_t j) { return j >= size ? j - size : j; };
        int32_t next = wrap(k + run[k]);  // the position that starts at the edge
        int32_t level = bits[k] * amp;
        int32_t edge = SampleStart[first] + left + (run[k] - 1) * step;
        follow_edges(out, first, last, level, edge, [&](int32_t& v, int32_t& e) {
            v = bits[next] * amp;
            e += run[next] * step;
            next = wrap(next + run[next]);
        });
        const int32_t remaining = edge - SampleStart[last];
        const int32_t before = (remaining - 1) / step;
        k = next - 1 - before;
        if (k < 0) k += size;
        left = remaining - before * step;
    } else {
        // Periods 4 to 32 cycles (steps of 64 to 512 ticks): up to ten steps a
        // sample, summed from the counts of sounding steps.
        const uint16_t* count = short_mode ? ShortCount : LongCount;
        const int32_t shift = 31 - __builtin_clz(uint32_t(step));
        for (uint32_t i = first; i < last; ++i) {
            const int32_t len = SampleStart[i + 1] - SampleStart[i];
            int32_t acc;
            if (left > len) {
                acc = bits[k] * len;
                left -= len;
            } else {
                const int32_t rest = len - left, whole = rest >> shift, part = rest & (step - 1);
                const int32_t j = k + 1 + whole;
                acc = bits[k] * left + (count[j] - count[k + 1]) * step +
                      (count[j + 1] - count[j]) * part;
                k = j >= size ? j - size : j;
                left = step - part;
            }
            out[i] = uint16_t(average(acc * amp, len));
        }
    }
    n.Position = k;
    n.Phase = left;
}

// One bit of the delta channel: up or down by 2, within 0-127.
inline void play_bit(DmcChannel& d, int32_t& level) {
    const int32_t moved = level + int32_t(d.SampleByte & 1) * 4 - 2;
    level = uint32_t(moved) <= 127 ? moved : level;
    d.SampleByte >>= 1;
    --d.BitsRemaining;
}

// Takes the next sample byte when the last one has played; false when the
// sample is over.
inline bool fetch_byte(DmcChannel& d) {
    if (d.BitsRemaining > 0) return true;
    if (d.BytesRemaining <= 0) return false;
    d.SampleByte = *d.ReadPointer++;
    if (d.ReadPointer == PrgWindow + PrgWindowSize) d.ReadPointer = PrgWindow;  // $FFFF: $8000
    d.BitsRemaining = 8;
    if (--d.BytesRemaining == 0) {
        if (d.Loop)
            dmc_start();
        else if (d.IrqEnable)
            d.IrqFlag = 1;
    }
    return true;
}

// The delta channel over the whole frame: its bits move the level by 2 within
// 0-127, the frame's $4011 writes set it where they were made, and between
// samples it holds the level.
void dmc(DmcChannel& d, uint16_t* out) {
    DmcLevelLog& log = DmcLevelWrites;
    int32_t level = (log.Count ? log.StartLevel : d.Level) & 0x7F;
    const bool playing = d.BytesRemaining > 0 || d.BitsRemaining > 0;
    const int32_t rate = (d.Rate > 0 && d.Rate <= 428 ? d.Rate : 428) * TicksPerCycle;
    int32_t bit_tick = d.Phase > 0 && d.Phase <= rate ? d.Phase : rate;
    if (!playing && log.Count == 0) {
        d.Level = uint8_t(level);
        return fill(out, 0, SamplesPerFrame, level * kDmcUnit);
    }
    if (log.Count == 0) {
        // Bits at most every sample and a third: the level after each bit of
        // the frame, then each sample takes the level of the bits before it.
        const int32_t bits = (kFrameTicks - 1 - bit_tick) / rate + 1;
        DmcTrack[0] = uint16_t(level * kDmcUnit);
        int32_t j = 1;
        while (j <= bits && fetch_byte(d)) {
            const int32_t end = std::min(bits + 1, j + d.BitsRemaining);
            d.BitsRemaining -= end - j;
            uint32_t byte = d.SampleByte;
            for (; j < end; ++j, byte >>= 1) {
                const int32_t moved = level + int32_t(byte & 1) * 4 - 2;
                level = uint32_t(moved) <= 127 ? moved : level;
                DmcTrack[j] = uint16_t(level * kDmcUnit);
            }
            d.SampleByte = uint8_t(byte);
        }
        for (; j <= bits; ++j) DmcTrack[j] = uint16_t(level * kDmcUnit);
        // The bits played by each sample's start, then their level.
        const float before_first = float(bit_tick - rate), per_tick = 1.0f / float(rate);
        for (uint32_t i = 0; i < SamplesPerFrame; ++i)
            DmcPlayed[i] =
                uint16_t(std::min((float(SampleStart[i]) - before_first) * per_tick, float(bits)));
        for (uint32_t i = 0; i < SamplesPerFrame; ++i) out[i] = DmcTrack[DmcPlayed[i]];
        d.Phase = bit_tick + bits * rate - kFrameTicks;
        d.Level = uint8_t(level);
        return;
    }
    // $4011 writes in the frame: edge by edge.
    uint32_t next_write = 0;
    auto write_at = [&](uint32_t w) {
        return w < log.Count ? SampleStart[log.Writes[w].Line * SamplesPerFrame / FrameLines]
                             : kNever;
    };
    int32_t write_tick = write_at(0);
    if (!playing) bit_tick = kNever;
    int32_t value = level * kDmcUnit;
    int32_t edge = std::min(write_tick, bit_tick);
    follow_edges(out, 0, SamplesPerFrame, value, edge, [&](int32_t& v, int32_t& e) {
        if (write_tick <= bit_tick) {
            level = log.Writes[next_write].Level & 0x7F;
            write_tick = write_at(++next_write);
        } else if (fetch_byte(d)) {
            play_bit(d, level);
            bit_tick += rate;
        } else {
            bit_tick = kNever;  // the sample is over
        }
        v = level * kDmcUnit;
        e = std::min(write_tick, bit_tick);
    });
    d.Phase = bit_tick == kNever ? 0 : bit_tick - kFrameTicks;
    d.Level = uint8_t(level);
}

}  // namespace

void apu_mix(uint8_t* block) {
    (void)kTablesBuilt;
    // The writes of the frame reload the linear counter as the frame starts.
    if (Triangle.ReloadFlag) Triangle.LinearCounter = Triangle.LinearReload;
    for (uint32_t q = 0; q < 4; ++q) {
        const uint32_t first = kQuarters[q], last = kQuarters[q + 1];
        pulse(Square1, true, Levels[kPulse1], first, last);
        pulse(Square2, false, Levels[kPulse2], first, last);
        triangle(Triangle, Levels[kTriangle], first, last);
        noise(Noise, Levels[kNoise], first, last);
        quarter_frame();
        if (q & 1) half_frame();
    }
    dmc(Dmc, Levels[kDmc]);
    DmcLevelWrites.Count = 0;
    // Raised while the flag stands: the CPU takes it as the next frame starts.
    if (Dmc.IrqFlag) n6502_int();
    uint16_t *pulses = Levels[kPulse1], *others = Levels[kTriangle];
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        pulses[i] = uint16_t(pulses[i] + Levels[kPulse2][i]);
        others[i] = uint16_t(others[i] + Levels[kNoise][i] + Levels[kDmc][i]);
    }
    for (uint32_t i = 0; i < SamplesPerFrame; ++i)
        block[i] = uint8_t((PulseMix[pulses[i]] + TndMix[others[i]]) >> 8);
}

void apu_output_stage(uint8_t* block) {
    // y = x - x' + R y', R = 1 - 2 pi 37 / 44100 in 1/65536; values in 1/256 steps.
    constexpr int32_t kKeep = 65190;
    // The output is kept in 64 bits through the loop (it never leaves the 32-bit
    // range): each sample waits only on the multiply, shift and add before it.
    int32_t last_in = OutputFilter.LastInput;
    int64_t last_out = OutputFilter.LastOutput;
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        const int32_t in = (int32_t(block[i]) - 0x80) * 256;
        last_out = (in - last_in) + ((last_out * kKeep) >> 16);
        last_in = in;
        block[i] = uint8_t(std::clamp<int64_t>(0x8080 + last_out, 0, 0xFFFF) >> 8);
    }
    OutputFilter = OutputFilterRecord{last_in, int32_t(last_out)};
}
