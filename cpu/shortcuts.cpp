// The CPU's shortcuts. Within one budget of the frame driver nothing but the
// CPU changes memory: no interrupt, no DMA, no picture or sound work. Some
// budgets therefore end in a state known without running them, and are
// charged instead. Each shortcut, what it assumes and what ends it:
//
// Wait loop (within a run, wait_loop in shortcuts.h). A short loop closed by
// a backward branch or JMP within 32 bytes, seen twice in a row in one run,
// whose body (along the path its forward branches take) loop_shape accepts:
// it only reads RAM, ROM, save RAM, $2002 or $4015 (charged only up to the
// sound clock's next change, apu_status_quiet_cycles), and
// comes back to its head with every register and flag as it left it
// (ReadsOnly), or differs only in X or Y stepped by one before its closing
// BNE (CountX, CountY). Assumes one iteration costs exactly what its
// instructions cost (else it left the loop's path). The iterations the budget
// still holds are charged at once. Ends with the budget. A loop loop_shape
// refuses is not decoded again until the next n6502_settle.
//
// Idle budgets (rest_in_loop, n6502_run_budget). A ReadsOnly wait charged at
// the end of a frame driver's budget that does not read $2002 cannot end by
// itself: the line work between budgets changes none of what it reads, and
// only an interrupt takes the CPU out. Assumes the CPU's registers are still
// as the budget left them (same_registers with Idle.rest). The following
// budgets are charged without running, moving the CPU's place in the loop by
// the instructions' costs. Ends at n6502_settle (the frame's end, or an
// interrupt) or as soon as anything changed the registers.
//
// Steady loop, four phases (n6502_run_budget):
// - Watching: budgets run as usual. A backward JMP (not to itself) taken last
//   in two budgets in a row, with no back-off pending, makes it Seeking.
// - Seeking: budgets run until that JMP lands on its head (at most 4 budgets,
//   else back to Watching); there the CPU, the devices' state and RAM are
//   kept and it becomes Tracing.
// - Tracing: instructions run one at a time, every device access checked by
//   ncpu.repeatabletrap (answers and acts by ncpu.devicestate alone), until
//   the JMP comes back to the head. Assumes nothing but the CPU acts within
//   the iteration. Steady when registers, devices' state and all of RAM are as
//   at the head and no access was unrepeatable: then Replaying. Otherwise (or
//   after 1024 instructions, or at n6502_settle) back to Watching, with a
//   back-off of 1, 3, 7 ... up to 64 settles before the next try.
// - Replaying: budgets are charged without running, moving the CPU's place
//   in the traced iteration. Assumes the registers are as the trace left them.
//   Ends at n6502_settle, which runs from the head to that place, or when
//   the registers changed.
//
// Charged budgets (both idle and steady): a loop whose period fits its
// residue table (where a budget ending r cycles into an iteration leaves the
// CPU) moves through any budget by one lookup. Otherwise a run of budgets of
// one size costs one compare and one count; the place is moved through them
// by a search when the size changes or at n6502_settle.
#include "cpu/shortcuts.h"

#include <algorithm>
#include <cstring>

bool ShortcutsOn = true;
ShortcutRecord Shortcuts;
RunOnRecord RunOn;

void shortcuts_forget() { Shortcuts = ShortcutRecord{}; }

namespace {

// The record's parts by their short names.
constexpr IdleCandidate& Candidate = Shortcuts.Candidate;
constexpr IdleLoop& Idle = Shortcuts.Idle;
constexpr SteadyLoop& Steady = Shortcuts.Steady;
constexpr Charges& Charged = Shortcuts.Charged;
constexpr LoopPlace& ChargedPlace = Shortcuts.ChargedPlace;
constexpr JumpSeen& BackJump = Shortcuts.BackJump;

inline bool quiet_read(uint32_t a) { return a < 0x2000 || a >= 0x6000 || (a & 0xE007) == 0x2002; }
// A quiet read there reads $2002, which the picture unit changes between budgets.
inline bool status_read(uint32_t a) { return a >= 0x2000 && a < 0x6000; }

}  // namespace

namespace {

// One instruction of a loop body as loop_shape accepts it.
struct BodyStep {
    bool ok;
    uint8_t size, cycles;
    bool sets_nz, reads_status, reads_sound;
    int8_t forward;  // a forward branch's offset (0: not a branch)
};

__attribute__((always_inline)) inline BodyStep body_step(const uint8_t* base, uint32_t pc,
                                                         bool x_free, bool y_free, bool nz_set,
                                                         uint8_t x, uint8_t y) {
    constexpr BodyStep kNo{false, 0, 0, false, false, false, 0};
    const uint8_t op = base[pc];
    const uint32_t abs = base[pc + 1] | (base[pc + 2] << 8);
    BodyStep b{true, 2, 2, true, false, false, 0};
    switch (op) {
        case 0xA9:
        case 0xC9:
        case 0x29:
        case 0x09:
        case 0x49:  // A, immediate
            break;
        case 0xA2:
        case 0xE0:
            if (!x_free) return kNo;
            break;
        case 0xA0:
        case 0xC0:
            if (!y_free) return kNo;
            break;
        case 0xA5:
        case 0x24:
        case 0xC5:
        case 0x25:
        case 0x05:
        case 0x45:  // page zero
            b.cycles = 3;
            break;
        case 0xA6:
        case 0xE4:
            if (!x_free) return kNo;
            b.cycles = 3;
            break;
        case 0xA4:
        case 0xC4:
            if (!y_free) return kNo;
            b.cycles = 3;
            break;
        case 0xB5:
        case 0xB4:
            if (!x_free || (op == 0xB4 && !y_free)) return kNo;
            b.cycles = 4;
            break;
        case 0xB6:
            if (!y_free || !x_free) return kNo;
            b.cycles = 4;
            break;
        case 0xAD:
        case 0x2C:
        case 0xCD:
        case 0x2D:
        case 0x0D:
        case 0x4D:  // absolute
        case 0xAE:
        case 0xEC:
        case 0xAC:
        case 0xCC:
            if ((op == 0xAE || op == 0xEC) && !x_free) return kNo;
            if ((op == 0xAC || op == 0xCC) && !y_free) return kNo;
            if (abs == 0x4015) {
                b.reads_sound = true;  // up to the sound clock's next change
            } else {
                if (!quiet_read(abs)) return kNo;
                b.reads_status = status_read(abs);
            }
            b.size = 3, b.cycles = 4;
            break;
        case 0xBD:
        case 0xBC:  // absolute, X
            if (!x_free || (op == 0xBC && !y_free) || !quiet_read((abs + x) & 0xFFFF)) return kNo;
            b.reads_status = status_read((abs + x) & 0xFFFF);
            b.size = 3, b.cycles = 4;
            break;
        case 0xB9:
        case 0xBE:  // absolute, Y
            if (!y_free || (op == 0xBE && !x_free) || !quiet_read((abs + y) & 0xFFFF)) return kNo;
            b.reads_status = status_read((abs + y) & 0xFFFF);
            b.size = 3, b.cycles = 4;
            break;
        case 0xAA:
        case 0x8A:
            if (!x_free) return kNo;
            b.size = 1;
            break;
        case 0xA8:
        case 0x98:
            if (!y_free) return kNo;
            b.size = 1;
            break;
        case 0x18:
        case 0x38:
        case 0xEA: b.size = 1, b.sets_nz = false; break;
        case 0x50:
        case 0x70:
        case 0x90:
        case 0xB0:  // forward, on V or C
            if (int8_t(base[pc + 1]) <= 0) return kNo;
            b.sets_nz = false, b.forward = int8_t(base[pc + 1]);
            break;
        case 0x10:
        case 0x30:
        case 0xD0:
        case 0xF0:  // forward, on N or Z
            if (int8_t(base[pc + 1]) <= 0 || !nz_set) return kNo;
            b.sets_nz = false, b.forward = int8_t(base[pc + 1]);
            break;
        default: return kNo;
    }
    return b;
}

// The devices a step reads.
enum : uint8_t { kReadsStatus = 1, kReadsSound = 2 };
inline uint8_t device_reads(const BodyStep& b) {
    return uint8_t((b.reads_status ? kReadsStatus : 0) | (b.reads_sound ? kReadsSound : 0));
}

// The paths through a loop body, each forward branch taken or not: the one
// whose cost is want is kept (else the first found, forward branches not
// taken first). An instruction loop_shape refuses ends only the paths
// through it.
constexpr uint32_t kMaxPaths = 16;
struct BodyPaths {
    const uint8_t* base;
    uint32_t end;
    bool x_free, y_free;
    uint8_t x, y;
    int32_t want;
    LoopSteps* kept;  // null, or where the kept path's instructions go
    LoopSteps* path;  // the path walked, listed when kept is not null
    uint32_t forks = 0;
    bool found = false, matched = false, twice = false;
    int32_t cost = 0;
    uint8_t reads = 0;  // kReadsStatus, kReadsSound

    void walk(uint32_t pc, int32_t cost_so_far, bool nz_set, uint8_t status, uint32_t depth) {
        while (pc != end) {
            if (pc > end) return;
            const BodyStep b = body_step(base, pc, x_free, y_free, nz_set, x, y);
            if (!b.ok) return;
            if (kept && depth < kMaxLoopSteps - 1) {
                path->pc[depth] = uint16_t(pc);
                path->cost[depth] = b.cycles;
            }
            ++depth;
            nz_set |= b.sets_nz;
            status |= device_reads(b);
            if (b.forward && forks < kMaxPaths) {
                ++forks;
                // Not taken, then taken: one cycle more, and one for a new page.
                const uint32_t next = pc + 2, target = next + uint32_t(b.forward);
                const uint8_t taken = uint8_t(((next ^ target) & 0xFF00) ? 4 : 3);
                walk(next, cost_so_far + b.cycles, nz_set, status, depth);
                // Without the steps asked for, the first path of that cost
                // will do: which one runs changes nothing a charge leaves.
                if (matched && !kept) return;
                if (kept && depth - 1 < kMaxLoopSteps - 1) path->cost[depth - 1] = taken;
                walk(target, cost_so_far + taken, nz_set, status, depth);
                return;
            }
            pc += b.size;
            cost_so_far += b.cycles;
        }
        const bool match = cost_so_far == want;
        if (found && (matched || !match)) {
            twice |= match;
            return;
        }
        found = true, matched = match;
        cost = cost_so_far, reads = status;
        if (kept) {
            const uint32_t count = depth < kMaxLoopSteps ? depth : kMaxLoopSteps;
            std::copy(path->pc, path->pc + count, kept->pc);
            std::copy(path->cost, path->cost + count, kept->cost);
            kept->count = count;
        }
    }
};

}  // namespace

// The shape of the loop body [head, branch), branch being the branch (or
// JMP) back: of the path through it whose cost is want, if any.
LoopShape loop_shape(const uint8_t* base, uint32_t head, uint32_t branch, uint8_t x, uint8_t y,
                     int32_t want, LoopSteps* steps) {
    // A counting loop ends in the counter step and BNE; nothing else in it
    // may use that register, and its branches test flags that the loop's own
    // reads set, not the counter's.
    const uint8_t last = base[branch - 1];
    LoopKind kind = ReadsOnly;
    if (base[branch] == 0xD0 && (last == 0xCA || last == 0xE8)) kind = CountX;
    if (base[branch] == 0xD0 && (last == 0x88 || last == 0xC8)) kind = CountY;
    const uint32_t end = kind == ReadsOnly ? branch : branch - 1;
    if (!steps) {
        // First the path with no forward branch taken, the one most waits
        // take (and the only one a counting loop's forward branches take).
        bool nz_set = kind == ReadsOnly, ok = true;
        uint8_t status = 0;
        int32_t cost = kind == ReadsOnly ? 0 : 2;
        for (uint32_t pc = head; ok && pc < end;) {
            const BodyStep b = body_step(base, pc, kind != CountX, kind != CountY, nz_set, x, y);
            ok = b.ok;
            nz_set |= b.sets_nz;
            status |= device_reads(b);
            pc += b.size;
            cost += b.cycles;
            ok &= pc <= end;
        }
        if (ok && (cost == want || want < 0 || kind != ReadsOnly))
            return LoopShape{kind, cost, bool(status & kReadsStatus), bool(status & kReadsSound)};
        if (kind != ReadsOnly) return LoopShape{NotALoop, 0, false};
    }
    LoopSteps path;
    BodyPaths paths{base, end, kind != CountX, kind != CountY, x, y, want, steps, &path};
    // A counting loop's forward branches count as not taken (its short
    // runs would pay for the other paths each time). N and Z come from the
    // counter.
    if (kind != ReadsOnly) paths.forks = kMaxPaths;
    paths.walk(head, kind == ReadsOnly ? 0 : 2, kind == ReadsOnly, 0, 0);
    if (!paths.found) return LoopShape{NotALoop, 0, false};
    // Two paths of the cost measured: which one runs is not known, so the
    // loop is not taken for idle (as one that reads $2002).
    return LoopShape{kind, paths.cost, (paths.reads & kReadsStatus) || paths.twice,
                     bool(paths.reads & kReadsSound)};
}

namespace {

// start[] from the instructions' costs; returns the period.
int32_t sum_starts(const uint8_t* cost, uint32_t count, int32_t* start) {
    start[0] = 0;
    for (uint32_t i = 0; i < count; ++i) start[i + 1] = start[i] + cost[i];
    return start[count];
}

void advance(LoopPlace& p, const int32_t* start, int32_t left) {
    if (left <= 0) {
        p.overshoot = left;
        return;
    }
    const int32_t period = start[p.count];
    if (left != p.budget) {
        p.budget = left;
        p.whole = (left - 1) / period * period;
    }
    const int32_t target = start[p.at] + left - p.whole;  // at most start[at] + period
    uint32_t end;
    int32_t reached;
    if (target <= period) {
        end = uint32_t(std::lower_bound(start + p.at + 1, start + p.count + 1, target) - start);
        reached = start[end];
    } else {
        end = uint32_t(std::lower_bound(start + 1, start + p.at + 1, target - period) - start);
        reached = period + start[end];
    }
    p.at = end == p.count ? 0 : end;
    p.overshoot = target - reached;
}

// The residue table of a loop whose instructions start at start[0..count].
void fill_residues(const int32_t* start, uint32_t count, LoopResidue* residue) {
    const int32_t period = start[count];
    residue[0] = LoopResidue{0, 0};
    uint32_t k = 1;
    for (int32_t r = 1; r < period; ++r) {
        while (start[k] < r) ++k;
        residue[r] = LoopResidue{uint16_t(k == count ? 0 : k), int16_t(r - start[k])};
    }
}

// As advance, by the residue table.
inline void advance_by_residue(LoopPlace& p, const int32_t* start, const LoopResidue* residue,
                               int32_t left) {
    if (left <= 0) {
        p.overshoot = left;
        return;
    }
    const LoopResidue e = residue[uint32_t(start[p.at] + left) % uint32_t(start[p.count])];
    p.at = e.at;
    p.overshoot = e.overshoot;
}

bool same_registers(const n6502cpu& a, const n6502cpu& b) {
    return a.rA == b.rA && a.rS == b.rS && a.rX == b.rX && a.rY == b.rY && a.rF == b.rF &&
           a.rPC == b.rPC && a.zero == b.zero && a.over == b.over && a.carry == b.carry &&
           a.sign == b.sign && a.PCBASE == b.PCBASE && a.ROM == b.ROM && a.RAM == b.RAM;
}

}  // namespace

// At the end of a budget that charged an idle loop: the loop's instructions
// and where in them the CPU stopped.
void rest_in_loop() {
    const IdleCandidate c = Candidate;
    Candidate.found = false;
    LoopSteps& st = Idle.steps;
    const LoopShape k = loop_shape(ncpu.PCBASE, c.head, c.branch, c.x, c.y, c.cost, &st);
    if (k.kind != ReadsOnly || k.reads_status || k.reads_sound || st.count + 1 > kMaxLoopSteps)
        return;
    st.pc[st.count] = uint16_t(c.branch);
    st.cost[st.count++] = uint8_t(c.back);
    const int32_t period = sum_starts(st.cost, st.count, Idle.start);
    if (period != k.cost + c.back || period > kMaxIdlePeriod) return;
    uint32_t at = 0;
    while (at < st.count && st.pc[at] != ncpu.rPC) ++at;
    if (at == st.count) return;
    Idle.place = LoopPlace{st.count, at, ncpu.cycles};
    fill_residues(Idle.start, st.count, Idle.residue);
    Idle.head = ncpu;
    Idle.head.rA = c.a, Idle.head.rX = c.x, Idle.head.rY = c.y;
    Idle.head.zero = c.zero, Idle.head.over = c.over, Idle.head.carry = c.carry;
    Idle.head.sign = c.sign;
    Idle.head.rF = n6502_pack(ncpu.rF, c.zero, c.over, c.carry, c.sign);
    Idle.head.rPC = uint16_t(c.head);
    Idle.rest = ncpu;
    Idle.active = true;
}

namespace {

// ---- steady loops ----
// A main loop that polls the joypad until the next interrupt, closed by a
// backward JMP, repeats the same iteration once the iteration leaves RAM,
// registers and the devices it touches as it found them: nothing else
// changes them until an interrupt. Such a loop is found from a backward JMP
// taken twice, then one iteration is run an instruction at a time and
// traced, from its head to its head. If it proves steady, the following
// budgets move the CPU's place in the trace by the instructions' costs,
// and n6502_settle runs from the head to that place.

// The bus while tracing: an access the device cannot repeat marks the trace
// unsafe, and the device sees in ncpu.cycles the budget left before the
// instruction (TracedLeft), as it would in a budget run as usual.
uint32_t traced_read(uint32_t a) {
    if (!ncpu.repeatabletrap(a, false)) Steady.unsafe = true;
    ncpu.cycles = Shortcuts.TracedLeft;
    return Shortcuts.RealRead(a);
}
uint32_t traced_write(uint32_t v, uint32_t a) {
    if (!ncpu.repeatabletrap(a, true)) Steady.unsafe = true;
    ncpu.cycles = Shortcuts.TracedLeft;
    return Shortcuts.RealWrite(v, a);
}

void give_up() {
    Steady.phase = Watching;
    Steady.hits = 0;
    Steady.wait = Steady.backoff;
    Steady.backoff = std::min<uint32_t>(Steady.backoff * 2 + 1, 64);
}

// The CPU has just come back to the head: the trace is steady when the
// iteration left everything as it was.
void close_trace(int32_t left) {
    const n6502cpu& o = Steady.open;
    if (Steady.unsafe || !same_registers(ncpu, o) || ncpu.devicestate() != Steady.devices ||
        std::memcmp(ncpu.RAM, Steady.ram, sizeof Steady.ram) != 0 || Steady.count == 0) {
        give_up();
        return;
    }
    const int32_t period = sum_starts(Steady.cost, Steady.count, Steady.start);
    Steady.tabled = period <= kMaxSteadyPeriod;
    if (Steady.tabled) fill_residues(Steady.start, Steady.count, Steady.residue);
    Steady.phase = Replaying;
    Steady.backoff = 0;
    Steady.open = ncpu;
    Steady.place = LoopPlace{Steady.count, 0, 0};
    advance(Steady.place, Steady.start, left);
}

// A budget run an instruction at a time, tracing the iteration from the head.
int32_t step_budget(int32_t left) {
    Shortcuts.RealRead = ncpu.readtrap;
    Shortcuts.RealWrite = ncpu.writetrap;
    int32_t result = 0;
    while (left > 0) {
        if (ncpu.rPC == Steady.head && Steady.last_pc == Steady.jump && Steady.count > 0) {
            close_trace(left);
            if (Steady.phase == Replaying) {
                ncpu.cycles = Steady.place.overshoot;  // the rest of the budget, charged
                return 0;
            }
            break;
        }
        const uint32_t pc = ncpu.rPC;
        ncpu.readtrap = traced_read;
        ncpu.writetrap = traced_write;
        Shortcuts.TracedLeft = left;
        ncpu.cycles = 1;
        result = n6502_execute();
        ncpu.readtrap = Shortcuts.RealRead;
        ncpu.writetrap = Shortcuts.RealWrite;
        if (result != 0) {
            ncpu.cycles = left;
            give_up();
            return result;
        }
        const int32_t cost = 1 - ncpu.cycles;
        left -= cost;
        Steady.last_pc = pc;
        if (Steady.unsafe || Steady.count == kMaxTrace) {
            give_up();
            break;
        }
        Steady.pc[Steady.count] = uint16_t(pc);
        Steady.cost[Steady.count++] = uint8_t(cost);
    }
    if (left > 0) {  // given up in mid-budget: the rest runs as usual
        ncpu.cycles = left;
        return n6502_execute();
    }
    ncpu.cycles = left;
    return result;
}

// A budget run as usual until the loop's JMP lands on its head: the trace
// begins there.
int32_t seek_budget(int32_t cycles) {
    ncpu.cycles = cycles;
    Shortcuts.StopAt = Steady.head;
    Shortcuts.Stopped = false;
    const int32_t result = n6502_execute();
    Shortcuts.StopAt = ~0u;
    if (result != 0 || !Shortcuts.Stopped) {
        if (result != 0 || ++Steady.budgets > 4) give_up();
        return result;
    }
    Steady.phase = Tracing;
    Steady.open = ncpu;
    Steady.devices = ncpu.devicestate();
    std::memcpy(Steady.ram, ncpu.RAM, sizeof Steady.ram);
    Steady.count = 0;
    Steady.unsafe = false;
    Steady.last_pc = Steady.jump;
    return step_budget(ncpu.cycles);
}

// After a budget run as usual: a backward JMP taken at the end of two
// budgets in a row may close a steady loop.
void watch_jumps() {
    if (BackJump.target == ~0u) return;
    if (BackJump.target == Steady.head && BackJump.from == Steady.jump) {
        ++Steady.hits;
    } else {
        Steady.head = BackJump.target;
        Steady.jump = BackJump.from;
        Steady.hits = 1;
    }
    BackJump.target = ~0u;
    if (Steady.hits >= 2 && Steady.wait == 0 && ncpu.repeatabletrap && ncpu.devicestate) {
        Steady.phase = Seeking;
        Steady.budgets = 0;
        Steady.last_pc = ~0u;
    }
}

// The place the charged budgets have reached, followed budget by budget
// (leave_charged_budget) so that each leaves its overshoot in ncpu.cycles.

void move_charged() {
    if (Charged.count > 0) {
        if (Charged.loop == IdleCharged && Idle.active)
            Idle.place = ChargedPlace;
        else if (Charged.loop == SteadyCharged && Steady.phase == Replaying)
            Steady.place = ChargedPlace;
    }
    Charged = Charges{NoLoop, 0, 0, false};
}

// A budget charged without running leaves in ncpu.cycles what running it
// would have (its last instruction's overshoot): the sound clock counts it.
inline __attribute__((always_inline)) void leave_charged_budget(bool first, int32_t cycles) {
    if (Charged.loop == IdleCharged) {
        if (first) ChargedPlace = Idle.place;
        advance_by_residue(ChargedPlace, Idle.start, Idle.residue, cycles);
    } else {
        if (first) ChargedPlace = Steady.place;
        if (Steady.tabled)
            advance_by_residue(ChargedPlace, Steady.start, Steady.residue, cycles);
        else
            advance(ChargedPlace, Steady.start, cycles);
    }
    ncpu.cycles = ChargedPlace.overshoot;
}
}  // namespace

int32_t n6502_run_budget(int32_t cycles) {
    if (!ShortcutsOn) {
        ncpu.cycles = cycles;
        return n6502_execute();
    }
    if (Charged.loop != NoLoop) {
        if (cycles == Charged.budget || Charged.any_size) {
            ++Charged.count;
            leave_charged_budget(false, cycles);
            return 0;
        }
        move_charged();
    }
    if (Idle.active && same_registers(ncpu, Idle.rest)) {
        Charged = Charges{IdleCharged, cycles, 1, true};
        leave_charged_budget(true, cycles);
        return 0;
    }
    switch (Steady.phase) {
        case Replaying:
            if (same_registers(ncpu, Steady.open)) {
                Charged = Charges{SteadyCharged, cycles, 1, Steady.tabled};
                leave_charged_budget(true, cycles);
                return 0;
            }
            Steady.phase = Watching;
            break;
        case Seeking: return seek_budget(cycles);
        case Tracing: return step_budget(cycles);
        case Watching: break;
    }
    ncpu.cycles = cycles;
    Shortcuts.RestAllowed = true;
    int32_t result = n6502_execute();
    // Lines run on: a line that left no idle loop and closed no backward JMP
    // (which the idle and steady shortcuts look at) goes on into the next line
    // when the frame driver finds nothing at its end that could interrupt the CPU.
    while (result == 0 && RunOn.next && !Idle.active && !Shortcuts.Stopped &&
           BackJump.target == ~0u) {
        const int32_t more = RunOn.next(!(ncpu.rF & 0x04));
        if (more <= 0) break;
        ncpu.cycles += more;
        result = n6502_execute();
    }
    Shortcuts.RestAllowed = false;
    if (result == 0 && !Idle.active) watch_jumps();
    return result;
}

void n6502_settle() {
    move_charged();
    Shortcuts.RefusedHead = ~0u;
    BackJump.target = ~0u;
    if (Steady.wait) --Steady.wait;
    if (Steady.phase == Replaying) {
        Steady.phase = Watching;
        Steady.hits = 0;
        if (same_registers(ncpu, Steady.open)) {
            // From the head, the instructions before the one it stands at.
            ncpu.cycles = Steady.start[Steady.place.at];
            n6502_execute();
            ncpu.cycles = Steady.place.overshoot;
        }
    } else if (Steady.phase != Watching) {
        give_up();  // the trace is cut short
    }
    if (!Idle.active) return;
    Idle.active = false;
    if (!same_registers(ncpu, Idle.rest)) return;
    // From the loop's head, the instructions before the one it stands at.
    const n6502cpu& h = Idle.head;
    ncpu.rA = h.rA, ncpu.rX = h.rX, ncpu.rY = h.rY, ncpu.rS = h.rS, ncpu.rF = h.rF;
    ncpu.zero = h.zero, ncpu.over = h.over, ncpu.carry = h.carry, ncpu.sign = h.sign;
    ncpu.rPC = h.rPC;
    ncpu.cycles = Idle.start[Idle.place.at];
    n6502_execute();
    ncpu.cycles = Idle.place.overshoot;
}
