// The CPU's shortcuts: budgets of the frame driver that end exactly as running
// them would, charged without running every instruction (see shortcuts.cpp for
// when each one holds). The interpreter calls the inline hooks below; the frame
// driver reaches the rest through n6502_run_budget and n6502_settle.
#pragma once
#include <algorithm>
#include <cstdint>

#include "cpu/n6502.h"

// Whether the shortcuts run (console_set_shortcuts). Off, every budget runs
// instruction by instruction and every bank copy is made.
extern bool ShortcutsOn;

// Returns everything the shortcuts have learnt of the running program to its
// power-up value: power-up, reset and a loaded state call it.
void shortcuts_forget();

// ---- wait loops: what an iteration of a short loop does ----

// What an iteration changes: nothing, or X or Y by one.
enum LoopKind : uint8_t { NotALoop, ReadsOnly, CountX, CountY };
struct LoopShape {
    LoopKind kind;
    int32_t cost;              // cycles of one iteration, the branch back excluded
    bool reads_status;         // reads $2002, which the picture unit changes between budgets
    bool reads_sound = false;  // reads $4015, which the sound clock changes in time
};

// The instructions of one iteration, the branch back last.
constexpr uint32_t kMaxLoopSteps = 34;
struct LoopSteps {
    uint32_t count;
    uint16_t pc[kMaxLoopSteps];
    uint8_t cost[kMaxLoopSteps];
};

// The shape of the loop body [head, branch) of the code at base (indexed by
// 6502 address), branch being the backward branch (or JMP) that closes it,
// with X and Y as they stand, along the path through its forward branches
// that costs want cycles (a negative want: the first path, forward branches
// not taken first). Without such a path, the cost is another path's. With
// steps, also lists the path's instructions.
LoopShape loop_shape(const uint8_t* base, uint32_t head, uint32_t branch, uint8_t x, uint8_t y,
                     int32_t want = -1, LoopSteps* steps = nullptr);

// A place in a loop run over and over, moved through budgets as running it
// would: whole instructions while cycles are left. start[k] is the cycles
// of the instructions before instruction k; start[count] is the period.
struct LoopPlace {
    uint32_t count;
    uint32_t at;         // the CPU stands before instruction at
    int32_t overshoot;   // ncpu.cycles as the last budget left it
    int32_t budget = 0;  // the last budget moved through,
    int32_t whole = 0;   // and the cycles of its whole iterations
};

// Where a budget that ends r cycles into an iteration (r below the period)
// leaves the CPU: before instruction at, overshoot cycles past the end.
// A loop whose period is at most its table's size is moved through any
// budget by one lookup.
struct LoopResidue {
    uint16_t at;
    int16_t overshoot;
};
constexpr int32_t kMaxIdlePeriod = 128;
constexpr int32_t kMaxSteadyPeriod = 1024;

// ---- what the shortcuts keep ----

struct LoopState {
    uint8_t a, x, y, zero, over, carry, sign;
    int32_t cyc;
};
struct LoopSeen {
    uint32_t head = ~0u, branch = ~0u;  // ~0u: nothing seen in this budget
    LoopState state;
};
struct JumpSeen {
    uint32_t target = ~0u, from = ~0u;
};
struct IdleCandidate {
    bool found;
    uint32_t head, branch;
    int32_t back, cost;                        // the branch back's cycles, and the body's
    uint8_t a, x, y, zero, over, carry, sign;  // at the loop's head
};
struct IdleLoop {
    bool active;
    LoopSteps steps;
    LoopPlace place;
    int32_t start[kMaxLoopSteps + 1];
    LoopResidue residue[kMaxIdlePeriod];
    n6502cpu head;  // the CPU at the loop's head
    n6502cpu rest;  // ncpu as the last run left it
};
enum SteadyPhase : uint8_t { Watching, Seeking, Tracing, Replaying };
constexpr uint32_t kMaxTrace = 1024;
struct SteadyLoop {
    SteadyPhase phase;
    uint32_t head, jump;  // the loop's head and its JMP
    uint32_t hits;        // budgets in a row whose last backward JMP was this one
    uint32_t budgets;     // budgets spent seeking the head
    uint32_t wait;        // settles left before the next try
    uint32_t backoff;     // settles to wait after the next failure
    uint32_t last_pc;     // the instruction stepped last
    bool unsafe;          // the iteration used a device it cannot repeat
    uint32_t count;
    uint16_t pc[kMaxTrace];
    uint8_t cost[kMaxTrace];
    LoopPlace place;
    int32_t start[kMaxTrace + 1];
    bool tabled;  // the period fits residue, which is filled
    LoopResidue residue[kMaxSteadyPeriod];
    n6502cpu open;       // the CPU at the head where the trace began
    uint64_t devices;    // and the devices' state
    uint8_t ram[0x800];  // and RAM
};
// Budgets charged to an idle or steady loop: of any size when the loop's
// residues are tabled, else of one size, and then not yet moved through (a
// line's budget costs one compare and one count).
enum ChargedLoop : uint8_t { NoLoop, IdleCharged, SteadyCharged };
struct Charges {
    ChargedLoop loop;
    int32_t budget;
    uint32_t count;
    bool any_size;
};

// Everything the shortcuts keep from one instruction, budget or frame to the
// next; shortcuts_forget returns it to these values.
struct ShortcutRecord {
    // The last short backward branch taken in this run, and the registers then.
    LoopSeen Seen;
    // The last loop found not to be a wait: it is not decoded again until the
    // next n6502_settle (at worst a loop goes uncharged, never wrongly charged).
    uint32_t RefusedHead = ~0u, RefusedBranch = ~0u;
    // The last backward JMP (not to itself) taken: it may close a steady loop.
    JumpSeen BackJump;
    // A backward JMP to here ends the run at once (seeking a steady loop's head).
    uint32_t StopAt = ~0u;
    bool Stopped = false;
    // A wait loop charged in this run that may make the next budgets idle.
    IdleCandidate Candidate{};
    IdleLoop Idle{};
    SteadyLoop Steady{};
    Charges Charged{};
    // The place the charged budgets have reached, followed budget by budget.
    LoopPlace ChargedPlace{};
    bool RestAllowed = false;  // the run is a frame driver's budget
    // While tracing a steady loop: the bus callbacks the trace wraps, and
    // the budget left before the instruction being traced.
    n6502readtrap RealRead = nullptr;
    n6502writetrap RealWrite = nullptr;
    int32_t TracedLeft = 0;
};
extern ShortcutRecord Shortcuts;

// At the end of a budget that charged a wait loop reading only RAM, ROM or
// save RAM: finds the loop's instructions and where in them the CPU stopped.
void rest_in_loop();

// ---- lines run on ----
// A frame driver's budget that ends with no wait loop or backward JMP closed
// in its line may run on into the next line's budget, the registers as the
// run left them, when nothing at the line's end can interrupt the CPU: the
// frame driver (next) then moves the sound clock over the line and leaves
// the line's drawing for later. Before the CPU next reaches a device (the
// frame driver puts its own traps in front of the bus's meanwhile), and when
// the run ends, the lines left behind are drawn: a device sees the machine
// as it would have line by line.
struct RunOnRecord {
    // The next line's budget, or 0: the run stops here (its argument: I is clear).
    int32_t (*next)(bool interrupts_allowed) = nullptr;
};
extern RunOnRecord RunOn;

// ---- the interpreter's hooks ----

// At the start of each run: loops seen in another budget tell nothing of this one.
inline void shortcuts_begin_run() {
    Shortcuts.Seen.head = ~0u;
    Shortcuts.Candidate.found = false;
    Shortcuts.Idle.active = false;
    Shortcuts.Charged.loop = NoLoop;
}

// Iterations of period cycles from here (cyc cycles left) whose reads of
// $4015 answer as the last one did.
inline int32_t quiet_iterations(int32_t cyc, int32_t period) {
    return ncpu.soundquiet ? ncpu.soundquiet(cyc) / period : 0;
}

// A short backward branch from branch to head, taken at a cost of back
// cycles, with the interpreter's registers and budget as they stand: the
// second time in a row that it closes the same loop, a wait loop's remaining
// iterations are charged at once (see loop_shape).
__attribute__((always_inline)) inline void wait_loop(const uint8_t* base, uint32_t head,
                                                     uint32_t branch, int32_t back, uint8_t a,
                                                     uint8_t& x, uint8_t& y, uint8_t& zero,
                                                     uint8_t over, uint8_t carry, uint8_t& sign,
                                                     int32_t& cyc) {
    ShortcutRecord& s = Shortcuts;
    if (head == s.RefusedHead && branch == s.RefusedBranch) return;
    // Every wait comes back with A, V and C as it left them: a loop that
    // changed them is charged nothing this time, and is refused when it
    // cannot be a wait at all (a delay that counts A down, most often).
    const LoopState& was = s.Seen.state;
    if (s.Seen.head == head && s.Seen.branch == branch &&
        (was.a != a || was.over != over || was.carry != carry)) {
        if (loop_shape(base, head, branch, x, y).kind == NotALoop) {
            s.RefusedHead = head;
            s.RefusedBranch = branch;
            return;
        }
    } else if (s.Seen.head == head && s.Seen.branch == branch) {
        const int32_t period = was.cyc - cyc;
        const LoopShape k = loop_shape(base, head, branch, x, y, period - back);
        if (k.kind == NotALoop) {
            s.RefusedHead = head;
            s.RefusedBranch = branch;
        } else if (k.cost + back != period) {
            // The iteration left the loop's path: nothing is charged.
        } else if (k.kind == ReadsOnly) {
            if (was.a == a && was.x == x && was.y == y && was.zero == zero && was.over == over &&
                was.carry == carry && was.sign == sign) {
                int32_t n = (cyc - 1) / period;
                if (k.reads_sound) n = std::min(n, quiet_iterations(cyc, period));
                cyc -= n * period;
                if (!k.reads_status && !k.reads_sound)
                    s.Candidate = IdleCandidate{true, head, branch, back, k.cost, a,
                                                x,    y,    zero,   over, carry,  sign};
            }
        } else if (k.kind == CountX ? was.y == y : was.x == x) {
            uint8_t& r = k.kind == CountX ? x : y;
            const uint8_t step = base[branch - 1];
            const bool down = step == 0xCA || step == 0x88;
            const int32_t room = down ? r - 1 : 255 - r;
            const int32_t budget = k.reads_sound
                                       ? std::min((cyc - 1) / period, quiet_iterations(cyc, period))
                                       : (cyc - 1) / period;
            const int32_t n = room < budget ? room : budget;
            r = uint8_t(down ? r - n : r + n);
            zero = sign = r;
            cyc -= n * period;
        }
    }
    s.Seen = LoopSeen{head, branch, {a, x, y, zero, over, carry, sign, cyc}};
}
