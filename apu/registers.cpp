// The CPU's side of the sound unit: every write goes into the frame's log for
// the mix, and the sound clock answers what the CPU reads ($4015) and raises
// the interrupts, on the CPU's own time.
#include <algorithm>
#include <cstring>

#include "apu/apu.h"
#include "core/frame.h"
#include "core/machine.h"
#include "cpu/n6502.h"

const uint8_t LengthTable[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
                                 12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30};
const uint16_t NoisePeriods[16] = {4,   8,   16,  32,  64,  96,   128,  160,
                                   202, 254, 380, 508, 762, 1016, 2034, 4068};
const uint16_t DmcRates[16] = {428, 380, 340, 320, 286, 254, 226, 214,
                               190, 160, 142, 128, 106, 84,  72,  54};
uint8_t NoiseSequence[NoiseSequenceSize];

SquareChannel Square1;
SquareChannel Square2;
TriangleChannel Triangle;
NoiseChannel Noise;
DmcChannel Dmc;
OutputFilterRecord OutputFilter;
SoundLogRecord SoundLog;
SoundClockRecord SoundClock;
uint32_t SoundTicksPerCycle;
int32_t SoundNextEvent;

namespace {

// The frame counter's steps in CPU cycles from its start, four-step and
// five-step; a sequence lasts the last entry.
constexpr int32_t kStepCycles[2][6] = {{7457, 14913, 22371, 29829, 29830, 0},
                                       {7457, 14913, 22371, 29829, 37281, 37282}};
constexpr uint8_t kSteps[2] = {4, 5};
enum : uint8_t { kQuarter = 1, kHalf = 2, kIrq = 4 };
constexpr uint8_t kStepClocks[2][5] = {
    {kQuarter, kQuarter | kHalf, kQuarter, kQuarter | kHalf | kIrq, 0},
    {kQuarter, kQuarter | kHalf, kQuarter, 0, kQuarter | kHalf}};

// The sound clock counts the CPU's cycles as the console's frame makes them
// (29780 a frame), in the frame's ticks: a longer budget (mapper 1) leaves
// the frame counter at its rate in time.
constexpr int32_t clock_ticks(int32_t cycles) {
    return int32_t(int64_t(cycles) * FrameTicks / ConsoleFrameCycles);
}

// A CPU cycle of the frame in ticks: FrameTicks / the frame's cycles each,
// in 32.32 fixed point.
int32_t tick_of_cycle(uint32_t cycle) {
    static uint32_t scaled_for;
    static uint64_t scale;
    if (scaled_for != MachineState.CyclesPerLine) {
        scaled_for = MachineState.CyclesPerLine;
        const uint64_t frame_cycles = frame_cycle_of_line(FrameLines);
        scale = frame_cycles ? (uint64_t(FrameTicks) << 32) / frame_cycles : 0;
        SoundTicksPerCycle = uint32_t(scale >> 16);
    }
    return int32_t((cycle * scale) >> 32);
}

uint32_t budget_of(uint32_t line) { return frame_line_budgets()[line]; }

uint32_t current_line() { return std::min(MachineState.FrameLine, FrameLines - 1); }

// The cycles the running budget has used by the instruction now running
// (ncpu.cycles is what was left before it).
int32_t cycles_used() {
    const int32_t budget = int32_t(budget_of(current_line()));
    return std::clamp(budget - ncpu.cycles, 0, budget);
}

// The sound clock counts the cycles the CPU has run, a budget's overshoot
// included, in ticks: what a program times by its own instructions.
int32_t clock_now() { return SoundClock.LineStart + tick_of_cycle(uint32_t(cycles_used())); }

// Where a moment of the sound clock falls in the frame's sound: from the
// start of the running budget.
int32_t frame_tick(int32_t clock) {
    const int32_t line_start = tick_of_cycle(frame_line_starts()[current_line()]);
    return std::clamp(line_start + clock - SoundClock.LineStart, 0, FrameTicks);
}

void log_event(int32_t clock, uint8_t reg, uint8_t value) {
    SoundLogRecord& log = SoundLog;
    if (log.Count == SoundLogSize) return;
    int32_t tick = frame_tick(clock);
    if (log.Count && tick < log.Writes[log.Count - 1].Tick) tick = log.Writes[log.Count - 1].Tick;
    log.Writes[log.Count++] = SoundWrite{tick, 0, reg, value};
}

void clock_lengths() {
    SoundClockRecord& c = SoundClock;
    for (uint32_t i = 0; i < 4; ++i)
        if (c.Length[i] && !(c.Halted & (1u << i))) --c.Length[i];
}

void frame_clocks(int32_t tick, uint8_t clocks) {
    if (clocks & kQuarter) log_event(tick, SoundEventQuarter, 0);
    if (clocks & kHalf) {
        log_event(tick, SoundEventHalf, 0);
        clock_lengths();
    }
    if ((clocks & kIrq) && !SoundClock.IrqInhibit) SoundClock.FrameIrq = 1;
}

int32_t dmc_period() { return clock_ticks(8 * int32_t(SoundClock.DmcRate)); }

// The reader fills the empty buffer with the sample's next byte.
void dmc_fetch() {
    SoundClockRecord& c = SoundClock;
    c.DmcBufferFull = 1;
    if (--c.DmcBytes > 0) return;
    if (c.DmcLoop)
        c.DmcBytes = c.DmcLengthReg * 16 + 1;
    else if (c.DmcIrqEnable)
        c.DmcIrq = 1;
}

// The steps' ticks from the sequence's start.
struct StepTicks {
    int32_t t[2][6];
    constexpr StepTicks() : t() {
        for (uint32_t m = 0; m < 2; ++m)
            for (uint32_t k = 0; k < 6; ++k) t[m][k] = clock_ticks(kStepCycles[m][k]);
    }
};
constexpr StepTicks kStepTicks;

// The next moment the clock has work a line's end must see: a step, or the
// boundary where a playing delta sample takes its last byte and raises its
// interrupt. The boundaries before it change only what a read of $4015 or a
// write brings the clock up to see, so they wait for the clock's next move.
void find_next_event() {
    const SoundClockRecord& c = SoundClock;
    SoundNextEvent = c.SequenceStart + kStepTicks.t[c.FiveStep ? 1 : 0][c.Step];
    if (c.DmcBytes > 0 && c.DmcIrqEnable && !c.DmcLoop) {
        const int32_t last = c.DmcBoundary + (c.DmcBytes - 1) * dmc_period();
        if (last < SoundNextEvent) SoundNextEvent = last;
    }
}

// Brings the clock to tick `to`: the frame counter's steps and the delta
// channel's byte boundaries on the way. An idle delta channel's boundaries
// are brought along only when a sample starts.
void advance(int32_t to) {
    SoundClockRecord& c = SoundClock;
    if (to <= c.Now) return;
    const bool dmc_idle = c.DmcBytes == 0 && !c.DmcBufferFull;
    for (;;) {
        const uint32_t mode = c.FiveStep ? 1 : 0;
        const int32_t at = c.SequenceStart + kStepTicks.t[mode][c.Step];
        if (at > to) break;
        frame_clocks(at, kStepClocks[mode][c.Step]);
        if (++c.Step == kSteps[mode]) {
            c.Step = 0;
            c.SequenceStart += kStepTicks.t[mode][kSteps[mode]];
        }
    }
    if (!dmc_idle) {
        const int32_t period = dmc_period();
        for (; c.DmcBoundary <= to; c.DmcBoundary += period) {
            c.DmcBufferFull = 0;  // the output unit takes the byte
            if (c.DmcBytes > 0) dmc_fetch();
        }
    }
    c.Now = to;
    find_next_event();
}

// An idle delta channel's next boundary after now.
void dmc_catch_up() {
    SoundClockRecord& c = SoundClock;
    const int32_t period = dmc_period();
    if (c.DmcBoundary <= c.Now) c.DmcBoundary += ((c.Now - c.DmcBoundary) / period + 1) * period;
}

void write_clock(uint16_t address, uint8_t v, int32_t now) {
    SoundClockRecord& c = SoundClock;
    auto set_halt = [&](uint32_t channel, bool halt) {
        c.Halted = uint8_t(halt ? c.Halted | 1u << channel : c.Halted & ~(1u << channel));
    };
    auto load_length = [&](uint32_t channel) {
        if (c.Enabled & (1u << channel)) c.Length[channel] = LengthTable[v >> 3];
    };
    switch (address) {
        case 0x4000: set_halt(0, v & ApuLengthHalt); break;
        case 0x4004: set_halt(1, v & ApuLengthHalt); break;
        case 0x4008: set_halt(2, v & 0x80); break;
        case 0x400C: set_halt(3, v & ApuLengthHalt); break;
        case 0x4003: load_length(0); break;
        case 0x4007: load_length(1); break;
        case 0x400B: load_length(2); break;
        case 0x400F: load_length(3); break;
        case 0x4010: {
            if (c.DmcBytes == 0 && !c.DmcBufferFull) dmc_catch_up();
            // The bit in progress ends at the old rate, the rest of the
            // output unit's eight at the new one.
            const int32_t old_bit = clock_ticks(c.DmcRate);
            const int32_t bits = std::max(1, (c.DmcBoundary - now + old_bit - 1) / old_bit);
            c.DmcRate = DmcRates[v & 0x0F];
            c.DmcBoundary += (bits - 1) * (clock_ticks(c.DmcRate) - old_bit);
            c.DmcLoop = v & 0x40;
            c.DmcIrqEnable = v & 0x80;
            if (!c.DmcIrqEnable) c.DmcIrq = 0;
            break;
        }
        case 0x4013: c.DmcLengthReg = v; break;
        case 0x4015:
            c.Enabled = v & 0x0F;
            for (uint32_t i = 0; i < 4; ++i)
                if (!(v & (1u << i))) c.Length[i] = 0;
            c.DmcIrq = 0;
            if (!(v & ApuStatusDmc)) {
                c.DmcBytes = 0;
            } else if (c.DmcBytes == 0) {
                if (!c.DmcBufferFull) dmc_catch_up();
                c.DmcBytes = c.DmcLengthReg * 16 + 1;
                log_event(now, SoundEventDmcStart, 0);
                if (!c.DmcBufferFull) dmc_fetch();
            }
            break;
        case 0x4017:
            c.FiveStep = v & ApuFrameFiveStep;
            c.IrqInhibit = v & ApuFrameIrqInhibit;
            if (c.IrqInhibit) c.FrameIrq = 0;
            c.SequenceStart = now;
            c.Step = 0;
            if (c.FiveStep) frame_clocks(now, kQuarter | kHalf);
            break;
        default: break;
    }
}

}  // namespace

void apu_begin_frame() {
    tick_of_cycle(0);  // the scale for this cartridge's line budget
    find_next_event();
    // A frame that ran without a mix: its clocks are dropped with its log.
    if (SoundClock.LineStart > FrameTicks / 2) {
        apu_end_frame_clock();
        apu_clock_next_frame();
    }
    SoundLog.Count = 0;
}

// The frame's end: where its last budget ended, or a whole frame on for a mix
// made without running the frame.
int32_t frame_end() { return std::max(SoundClock.LineStart, FrameTicks); }

void apu_end_frame_clock() { advance(frame_end()); }

void apu_clock_next_frame() {
    SoundClockRecord& c = SoundClock;
    const int32_t end = frame_end();
    advance(end);
    if (c.DmcBytes == 0 && !c.DmcBufferFull) dmc_catch_up();
    c.Now -= end;
    c.SequenceStart -= end;
    c.DmcBoundary -= end;
    c.LineStart = 0;
    SoundLog.Count = 0;
    find_next_event();
}

void apu_line_event(bool interrupts_allowed) {
    SoundClockRecord& c = SoundClock;
    advance(c.LineStart);
    if ((c.FrameIrq || c.DmcIrq) && interrupts_allowed) n6502_int();
}

void apu_write(uint16_t address, uint8_t v) {
    advance(clock_now());
    const int32_t now = SoundClock.Now;
    if (address != 0x4017) log_event(now, uint8_t(address & 0x1F), v);
    write_clock(address, v, now);
    find_next_event();
}

uint8_t apu_status() {
    advance(clock_now());
    SoundClockRecord& c = SoundClock;
    uint8_t s = 0;
    for (uint32_t i = 0; i < 4; ++i)
        if (c.Length[i]) s |= uint8_t(1u << i);
    if (c.DmcBytes) s |= ApuStatusDmc;
    if (c.FrameIrq) s |= ApuStatusFrameIrq;
    if (c.DmcIrq) s |= ApuStatusDmcIrq;
    c.FrameIrq = 0;
    return s;
}

int32_t apu_status_quiet_cycles(int32_t left) {
    const int32_t kept = ncpu.cycles;
    ncpu.cycles = left;
    const int32_t now = clock_now();
    ncpu.cycles = kept;
    const SoundClockRecord& c = SoundClock;
    if (c.FrameIrq || c.Now > now || SoundTicksPerCycle == 0) return 0;
    // The clock stands at the last read: the next step (lengths, the frame
    // interrupt) or the delta sample's last byte changes what it reads.
    int32_t next = c.SequenceStart + kStepTicks.t[c.FiveStep ? 1 : 0][c.Step];
    if (c.DmcBytes > 0 && !c.DmcLoop)
        next = std::min(next, c.DmcBoundary + (c.DmcBytes - 1) * dmc_period());
    // A cycle's tick is rounded down: two ticks to spare.
    if (next - now <= 2) return 0;
    return int32_t((int64_t(next - now - 2) << 16) / (int64_t(SoundTicksPerCycle) + 1));
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
    Noise.Position = 1;
    Dmc = DmcChannel{};
    Dmc.Rate = DmcRates[0];
    SoundLog.Count = 0;
    // As if $00 were written to $4017 a few cycles before the CPU starts.
    SoundClock = SoundClockRecord{};
    SoundClock.DmcRate = DmcRates[0];
    // Between frames: the next one starts at tick 0.
    SoundClock.SequenceStart = -clock_ticks(10);
    SoundClock.DmcBoundary = SoundClock.Now + dmc_period();
    tick_of_cycle(0);
    find_next_event();
}
