// One frame of sound. Each channel's level is followed from edge to edge in
// ticks (sixteenths of a CPU cycle), and a sample is the exact average of the
// level over its 1/44100 s: whole samples between two edges are written as
// runs, and only the samples an edge falls in are worked out. The frame's
// log of register writes and frame counter clocks cuts each channel's part
// of the frame where they fall: a write is heard from the sample it was made
// in, the envelopes and the linear counter step at the quarter-frame clocks,
// the lengths and the sweeps at the half-frame ones. Each channel's levels are in
// units that add up to the indexes of the console's two nonlinear mixing
// tables: the pulses' sum indexes one, the other three channels' the other.
// The delta channel, which moves by small steps, is taken at each sample's
// start, its writes to the tick.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "apu/apu.h"
#include "core/machine.h"
#include "cpu/n6502.h"

namespace {

// 735 samples of 1789772.5 / 44100 CPU cycles: samples of 649 or 650 ticks.
constexpr int32_t kFrameTicks = FrameTicks;
constexpr int32_t kNever = 0x7FFFFFFF;

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
// In 1/256 of an 8-bit output step.
uint16_t PulseMix[kPulseTableSize];
uint16_t TndMix[kTndTableSize];
// Sounding steps before each position, the sequence repeated past its end.
uint16_t LongCount[NoiseSequenceSize + kNoiseExtra];
uint16_t LongValue[NoiseSequenceSize];  // the register at each step of the long sequence
uint16_t LongIndex[32768];              // and the step of each register value
// Each channel's levels in table units; runs are stored eight at a time and
// may overrun their end by up to seven, which the next run overwrites.
constexpr uint32_t kLanes = 8;
enum ChannelIndex { kPulse1, kPulse2, kTriangle, kNoise, kDmc, kChannels };
uint16_t Levels[kChannels][SamplesPerFrame + kLanes];
uint8_t NoiseLongRun[NoiseSequenceSize];  // steps to the next change of the sequence
uint16_t DmcTrack[SamplesPerFrame + 1];   // the delta level after each bit of a frame
uint16_t DmcPlayed[SamplesPerFrame];      // the bits played by the start of each sample

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
    for (uint32_t i = 1; i < kTndTableSize; ++i) {
        const double x = i / (double(kDmcUnit) * 22638);
        TndMix[i] = uint16_t(std::lround(127 * 256 * 159.79 / (1 / x + 100)));
    }
    uint32_t r = 1;
    for (uint32_t i = 0; i < NoiseSequenceSize; ++i) {
        r = (r >> 1) | (((r ^ r >> 1) & 1) << 14);
        NoiseSequence[i] = uint8_t(~r & 1);
        LongValue[i] = uint16_t(r);
        LongIndex[r] = uint16_t(i);
    }
    LongIndex[0] = LongIndex[1];  // never made; read as the power-up value
    count_sequence(NoiseSequence, NoiseSequenceSize, LongCount, NoiseLongRun);
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

// The short mode's cycle through the register's value now: its states, and
// as for the long sequence whether each sounds, the counts and the runs.
struct ShortCycle {
    int32_t size;
    uint16_t state[NoiseShortSize];
    uint8_t bits[NoiseShortSize];
    uint16_t count[NoiseShortSize + kNoiseExtra];
    uint8_t run[NoiseShortSize];
};
ShortCycle Short;

void build_short_cycle(uint32_t r) {
    ShortCycle& c = Short;
    if (c.size && c.state[0] == r) return;
    int32_t n = 0;
    uint32_t v = r;
    do {
        c.state[n] = uint16_t(v);
        c.bits[n] = uint8_t(~v & 1);
        v = (v >> 1) | (((v ^ v >> 6) & 1) << 14);
    } while (++n < int32_t(NoiseShortSize) && v != r);
    c.size = n;
    count_sequence(c.bits, uint32_t(n), c.count, c.run);
}

void noise(NoiseChannel& n, uint16_t* out, uint32_t first, uint32_t last) {
    const int32_t amp = amplitude(n) * kNoiseUnit;
    if (n.Length == 0 || amp == 0 || n.Period <= 0 || n.Period > 4068)
        return fill(out, first, last, 0);
    const bool short_mode = n.ShortMode;
    const uint32_t reg = (n.Position & 0x7FFF) ? uint32_t(n.Position & 0x7FFF) : 1;
    if (short_mode) build_short_cycle(reg);
    const uint8_t* bits = short_mode ? Short.bits : NoiseSequence;
    const int32_t size = short_mode ? Short.size : int32_t(NoiseSequenceSize);
    const int32_t step = n.Period * TicksPerCycle;
    int32_t k = short_mode ? 0 : LongIndex[reg];
    int32_t left = n.Phase > 0 && n.Phase <= step ? n.Phase : step;
    if (n.Period >= 64) {
        // Steps of more than a sample and a half: from one change of the
        // sequence to the next.
        const uint8_t* run = short_mode ? Short.run : NoiseLongRun;
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
        const uint16_t* count = short_mode ? Short.count : LongCount;
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
    n.Position = short_mode ? Short.state[k] : LongValue[k];
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
// sample is over. (The sound clock keeps the sample's end for the CPU.)
inline bool fetch_byte(DmcChannel& d) {
    if (d.BitsRemaining > 0) return true;
    if (d.BytesRemaining <= 0) return false;
    d.SampleByte = *d.ReadPointer++;
    if (d.ReadPointer == PrgWindow + PrgWindowSize) d.ReadPointer = PrgWindow;  // $FFFF: $8000
    d.BitsRemaining = 8;
    if (--d.BytesRemaining == 0 && d.Loop) dmc_start();
    return true;
}

inline bool dmc_event(uint8_t r) {
    return (r >= 0x10 && r <= 0x13) || r == 0x15 || r == SoundEventDmcStart;
}

inline int32_t dmc_rate(const DmcChannel& d) {
    return (d.Rate > 0 && d.Rate <= 428 ? d.Rate : 428) * TicksPerCycle;
}

// The delta channel over the whole frame: its bits move the level by 2 within
// 0-127, the frame's writes act at their tick, and between samples it holds
// the level.
void dmc(DmcChannel& d, uint16_t* out) {
    const SoundLogRecord& log = SoundLog;
    int32_t level = d.Level & 0x7F;
    const bool playing = d.BytesRemaining > 0 || d.BitsRemaining > 0;
    int32_t rate = dmc_rate(d);
    int32_t bit_tick = d.Phase > 0 && d.Phase <= rate ? d.Phase : rate;
    uint32_t next = 0;
    while (next < log.Count && !dmc_event(log.Writes[next].Register)) ++next;
    if (!playing && next == log.Count) {
        d.Level = uint8_t(level);
        return fill(out, 0, SamplesPerFrame, level * kDmcUnit);
    }
    if (next == log.Count) {
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
    // Writes in the frame: edge by edge.
    auto event_at = [&](uint32_t w) { return w < log.Count ? log.Writes[w].Tick : kNever; };
    auto skip = [&](uint32_t w) {
        while (w < log.Count && !dmc_event(log.Writes[w].Register)) ++w;
        return w;
    };
    int32_t event_tick = event_at(next);
    if (!playing) bit_tick = kNever;
    int32_t value = level * kDmcUnit;
    int32_t edge = std::min(event_tick, bit_tick);
    follow_edges(out, 0, SamplesPerFrame, value, edge, [&](int32_t& v, int32_t& e) {
        if (event_tick <= bit_tick) {
            const SoundWrite& w = log.Writes[next];
            switch (w.Register) {
                case 0x10:
                    d.Rate = DmcRates[w.Value & 0x0F];
                    d.Loop = w.Value & 0x40;
                    d.IrqEnable = w.Value & 0x80;
                    rate = dmc_rate(d);
                    break;
                case 0x11: level = w.Value & 0x7F; break;
                case 0x12: d.AddressReg = w.Value; break;
                case 0x13: d.LengthReg = w.Value; break;
                case 0x15:
                    if (!(w.Value & ApuStatusDmc)) d.BytesRemaining = 0;
                    break;
                default:  // the start of a sample: its first byte from the next bit on
                    dmc_start();
                    d.BitsRemaining = 0;
                    if (bit_tick == kNever) bit_tick = w.Tick + rate;
                    break;
            }
            next = skip(next + 1);
            event_tick = event_at(next);
        } else if (fetch_byte(d)) {
            play_bit(d, level);
            bit_tick += rate;
        } else {
            bit_tick = kNever;  // the sample is over
        }
        v = level * kDmcUnit;
        e = std::min(event_tick, bit_tick);
    });
    d.Phase = bit_tick == kNever ? 0 : bit_tick - kFrameTicks;
    d.Level = uint8_t(level);
}

// ------------------------------------------------------------ the frame's log

// The writes and clocks for the other four channels, each applied to its own
// channel where it falls.
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

void apply_square(SquareChannel& s, bool ones_complement, uint32_t base, const SoundWrite& w) {
    switch (w.Register) {
        case SoundEventQuarter: clock_envelope(s); break;
        case SoundEventHalf:
            clock_length(s, s.LengthHalt);
            clock_sweep(s, ones_complement);
            break;
        case 0x15: {
            const uint8_t bit = uint8_t(1u << (base / 4));
            s.Enabled = w.Value & bit ? 1 : 0;
            if (!s.Enabled) s.Length = 0;
            break;
        }
        default: write_square(s, w.Register - base, w.Value); break;
    }
}

void apply_triangle(TriangleChannel& t, const SoundWrite& w) {
    const uint8_t v = w.Value;
    switch (w.Register) {
        case SoundEventQuarter:
            if (t.ReloadFlag)
                t.LinearCounter = t.LinearReload;
            else if (t.LinearCounter)
                --t.LinearCounter;
            if (!t.Control) t.ReloadFlag = 0;
            break;
        case SoundEventHalf: clock_length(t, t.Control); break;
        case 0x15:
            t.Enabled = v & ApuStatusTriangle ? 1 : 0;
            if (!t.Enabled) t.Length = 0;
            break;
        case 0x08:
            t.Control = v & 0x80;
            t.LinearReload = v & 0x7F;
            break;
        case 0x0A: t.Period = uint16_t((t.Period & 0x700) | v); break;
        case 0x0B:
            t.Period = uint16_t((t.Period & 0xFF) | (v & 7) << 8);
            t.ReloadFlag = 1;
            if (t.Enabled) t.Length = LengthTable[v >> 3];
            break;
        default: break;
    }
}

void apply_noise(NoiseChannel& n, const SoundWrite& w) {
    const uint8_t v = w.Value;
    switch (w.Register) {
        case SoundEventQuarter: clock_envelope(n); break;
        case SoundEventHalf: clock_length(n, n.LengthHalt); break;
        case 0x15:
            n.Enabled = v & ApuStatusNoise ? 1 : 0;
            if (!n.Enabled) n.Length = 0;
            break;
        case 0x0C:
            n.Volume = v & ApuVolumeBits;
            n.ConstantVolume = v & ApuConstantVolume;
            n.LengthHalt = v & ApuLengthHalt;
            break;
        case 0x0E:
            n.PeriodIndex = v & 0x0F;
            n.ShortMode = v & 0x80;
            n.Period = NoisePeriods[v & 0x0F];
            break;
        case 0x0F:
            n.EnvelopeCounter = 0;
            n.EnvelopePhase = n.Volume;
            if (n.Enabled) n.Length = LengthTable[v >> 3];
            break;
        default: break;
    }
}

// One channel over the frame: made in stretches between the log's entries
// that concern it (its registers first to last, $4015 and the clocks), each
// applied at the sample it falls in.
template <typename Make, typename Apply>
void run_channel(uint32_t first_reg, uint32_t last_reg, Make make, Apply apply) {
    const SoundLogRecord& log = SoundLog;
    uint32_t at = 0;
    for (uint32_t i = 0; i < log.Count; ++i) {
        const SoundWrite& w = log.Writes[i];
        const uint32_t r = w.Register;
        if ((r < first_reg || r > last_reg) && r != 0x15 && r != SoundEventQuarter &&
            r != SoundEventHalf)
            continue;
        if (w.Sample > at) {
            make(at, uint32_t(w.Sample));
            at = w.Sample;
        }
        apply(w);
    }
    if (at < SamplesPerFrame) make(at, SamplesPerFrame);
}

// The five channels' levels of one frame, advancing them by one frame; then
// the two tables' indexes summed in place (a loop the compiler runs eight
// samples at a time): the pulses' in Levels[kPulse1], the others' in
// Levels[kTriangle].
void make_levels() {
    (void)kTablesBuilt;
    apu_end_frame_clock();
    SoundLogRecord& log = SoundLog;
    for (uint32_t i = 0; i < log.Count; ++i)
        log.Writes[i].Sample = uint16_t(sample_of(std::clamp(log.Writes[i].Tick, 0, kFrameTicks)));
    run_channel(
        0x00, 0x03, [](uint32_t a, uint32_t b) { pulse(Square1, true, Levels[kPulse1], a, b); },
        [](const SoundWrite& w) { apply_square(Square1, true, 0, w); });
    run_channel(
        0x04, 0x07, [](uint32_t a, uint32_t b) { pulse(Square2, false, Levels[kPulse2], a, b); },
        [](const SoundWrite& w) { apply_square(Square2, false, 4, w); });
    run_channel(
        0x08, 0x0B, [](uint32_t a, uint32_t b) { triangle(Triangle, Levels[kTriangle], a, b); },
        [](const SoundWrite& w) { apply_triangle(Triangle, w); });
    run_channel(
        0x0C, 0x0F, [](uint32_t a, uint32_t b) { noise(Noise, Levels[kNoise], a, b); },
        [](const SoundWrite& w) { apply_noise(Noise, w); });
    dmc(Dmc, Levels[kDmc]);
    apu_clock_next_frame();
    uint16_t* pulses = Levels[kPulse1];
    uint16_t* others = Levels[kTriangle];
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        pulses[i] = uint16_t(pulses[i] + Levels[kPulse2][i]);
        others[i] = uint16_t(others[i] + Levels[kNoise][i] + Levels[kDmc][i]);
    }
}

inline int32_t mixed(uint32_t i) {
    return int32_t(PulseMix[Levels[kPulse1][i]]) + int32_t(TndMix[Levels[kTriangle][i]]);
}

// The output stage's high-pass over the frame, sample i's input from in(i):
// y = x - x' + R y', R = 1 - 2 pi 37 / 44100 in 1/65536; x in 1/256 of an
// 8-bit step, y in 1/65536 of those. Rounded once, to 16 bits.
template <typename Input>
inline void output_stage(Input in, int16_t* out16) {
    constexpr int64_t kKeep = 65190;
    int32_t last_in = OutputFilter.LastInput;
    int64_t last_out = OutputFilter.LastOutput;
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) {
        const int32_t x = in(i);
        last_out = (int64_t(x - last_in) << 16) + ((last_out * kKeep) >> 16);
        last_in = x;
        out16[i] = int16_t(std::clamp<int64_t>((last_out + 0x8000) >> 16, -32768, 32767));
    }
    OutputFilter = OutputFilterRecord{last_in, last_out};
}

}  // namespace

void apu_mix(int32_t* mix) {
    make_levels();
    for (uint32_t i = 0; i < SamplesPerFrame; ++i) mix[i] = mixed(i);
}

void apu_output_stage(const int32_t* mix, int16_t* out16, uint8_t* out8) {
    output_stage([mix](uint32_t i) { return mix[i]; }, out16);
    if (out8) apu_round8(out16, out8);
}

void apu_mix_output(int16_t* out16) {
    make_levels();
    output_stage(mixed, out16);
}

void apu_round8(const int16_t* in, uint8_t* out) {
    for (uint32_t i = 0; i < SamplesPerFrame; ++i)
        out[i] = uint8_t(std::min(255, (in[i] + 0x8080) >> 8));
}
