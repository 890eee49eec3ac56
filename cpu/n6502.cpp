// The 6502 interpreter. One function holds the whole run: the registers, the
// flag cells and the fetch pointer live in locals, and every opcode is a label
// reached through n6502jmptable (computed goto), named op + decimal opcode.
//
// The fetch pointer always stays inside its memory block. Each region carries a
// window [fetchlo, fetchend) of positions from which a whole three-byte
// instruction can be fetched. Running on only moves the fetch pointer up, so
// one compare with fetchend per instruction, and one with fetchlo after a
// taken branch, send anything outside it (a branch across $8000 or $6000,
// running past $FFFF, $7FFF, $5FFF or $07FF, an instruction straddling the end
// of a block) to
// `refetch`, which re-selects the region from the 6502 address, or runs a
// straddling instruction from a three-byte copy of its bytes.
#include "cpu/n6502.h"

#include <algorithm>
#include <cstring>

n6502cpu ncpu;

namespace {

constexpr n6502flags flags_of(unsigned f) {
    return n6502flags{uint8_t((f & 0x02) ? 0 : 2), uint8_t((f >> 6) & 1), uint8_t(f & 1),
                      uint8_t(f & 0x80)};
}

// The bytes of an instruction that straddles the end of a block.
uint8_t StraddleCopy[4];

inline uint8_t fetchbyte(const uint8_t* rom, const uint8_t* ram, uint32_t pc) {
    pc &= 0xFFFF;
    if (pc >= 0x8000) return rom[pc];
    if (pc >= 0x6000) return ncpu.SRAM[pc];
    if (pc < 0x2000) return ram[pc & 0x7FF];
    return ram[pc];
}

// A data read from inside a run: a device read sees in ncpu.cycles the budget
// left before the instruction, its moment within the line.
inline uint8_t readbyte_at(const uint8_t* rom, const uint8_t* ram, uint32_t a, int32_t cyc) {
    if (a >= 0x8000) return rom[a];
    if (a < 0x2000) return ram[a & 0x7FF];
    ncpu.cycles = cyc;
    return uint8_t(ncpu.readtrap(a));
}

// ---- wait loops ----
// Within one budget nothing but the CPU changes memory: no interrupt, no DMA,
// no picture or sound work. A short loop that only reads memory (RAM, ROM,
// save RAM or the status register) and comes back to its head with every
// register and flag as it left it will do so again and again until the
// budget runs out. A loop that ends in DEX/DEY/INX/INY and BNE (a delay, or a
// poll with a time limit) differs from one iteration to the next only in
// that register. Once one whole iteration has been seen, and it cost exactly
// what the loop's instructions cost (so it did not leave the loop), the
// iterations the budget still holds are charged at once, with the register a
// counting loop would have reached: the run ends in exactly the state it
// would have reached step by step.
#if !defined(QEL_NO_SHORTCUTS)
struct LoopState {
    uint8_t a, x, y, zero, over, carry, sign;
    int32_t cyc;
};
struct LoopSeen {
    uint32_t head, branch;  // ~0u: nothing seen in this budget
    LoopState state;
} Seen{~0u, ~0u, {}};
// The last loop found not to be a wait: it is not decoded again until the
// frame ends (at worst a loop goes uncharged, never wrongly charged).
uint32_t RefusedHead = ~0u, RefusedBranch = ~0u;
// The last backward JMP (not to itself) taken: it may close a steady loop.
struct JumpSeen {
    uint32_t target, from;
};
JumpSeen BackJump{~0u, ~0u};
// A backward JMP to here ends the run at once (the steady-loop search).
uint32_t StopAt = ~0u;
bool Stopped;

// What an iteration changes: nothing, or X or Y by one.
enum LoopKind : uint8_t { NotALoop, ReadsOnly, CountX, CountY };
struct LoopShape {
    LoopKind kind;
    int32_t cost;       // cycles of one iteration, the branch back excluded
    bool reads_status;  // reads $2002, which the picture unit changes between budgets
};

// The instructions of one iteration, the branch back last.
constexpr uint32_t kMaxLoopSteps = 12;
struct LoopSteps {
    uint32_t count;
    uint16_t pc[kMaxLoopSteps];
    uint8_t cost[kMaxLoopSteps];
};

inline bool quiet_read(uint32_t a) { return a < 0x2000 || a >= 0x6000 || (a & 0xE007) == 0x2002; }
// A quiet read there reads $2002, which the picture unit changes between budgets.
inline bool status_read(uint32_t a) { return a >= 0x2000 && a < 0x6000; }

// The shape of the loop body [head, branch), branch being the branch back.
// Forward branches in the body count as not taken (the cost tells).
// With steps, also lists the body's instructions.
LoopShape loop_shape(const uint8_t* base, uint32_t head, uint32_t branch, uint8_t x, uint8_t y,
                     LoopSteps* steps = nullptr) {
    constexpr LoopShape kNot{NotALoop, 0, false};
    bool reads_status = false;
    if (steps) steps->count = 0;
    // A counting loop ends in the counter step and BNE; nothing else in it
    // may use that register, and its branches test flags that the loop's own
    // reads set, not the counter's.
    const uint8_t last = base[branch - 1];
    LoopKind kind = ReadsOnly;
    if (base[branch] == 0xD0 && (last == 0xCA || last == 0xE8)) kind = CountX;
    if (base[branch] == 0xD0 && (last == 0x88 || last == 0xC8)) kind = CountY;
    const uint32_t end = kind == ReadsOnly ? branch : branch - 1;
    const bool x_free = kind != CountX, y_free = kind != CountY;
    bool nz_set = kind == ReadsOnly;  // in a counting loop N and Z come from the counter
    int32_t cost = kind == ReadsOnly ? 0 : 2;
    for (uint32_t pc = head; pc < end;) {
        const uint8_t op = base[pc];
        const uint32_t abs = base[pc + 1] | (base[pc + 2] << 8);
        uint32_t size = 2, cycles = 2;
        bool sets_nz = true;
        switch (op) {
            case 0xA9:
            case 0xC9:
            case 0x29:
            case 0x09:
            case 0x49:  // A, immediate
                break;
            case 0xA2:
            case 0xE0:
                if (!x_free) return kNot;
                break;
            case 0xA0:
            case 0xC0:
                if (!y_free) return kNot;
                break;
            case 0xA5:
            case 0x24:
            case 0xC5:
            case 0x25:
            case 0x05:
            case 0x45:  // page zero
                cycles = 3;
                break;
            case 0xA6:
            case 0xE4:
                if (!x_free) return kNot;
                cycles = 3;
                break;
            case 0xA4:
            case 0xC4:
                if (!y_free) return kNot;
                cycles = 3;
                break;
            case 0xB5:
            case 0xB4:
                if (!x_free || (op == 0xB4 && !y_free)) return kNot;
                cycles = 4;
                break;
            case 0xB6:
                if (!y_free || !x_free) return kNot;
                cycles = 4;
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
                if ((op == 0xAE || op == 0xEC) && !x_free) return kNot;
                if ((op == 0xAC || op == 0xCC) && !y_free) return kNot;
                if (!quiet_read(abs)) return kNot;
                reads_status |= status_read(abs);
                size = 3, cycles = 4;
                break;
            case 0xBD:
            case 0xBC:  // absolute, X
                if (!x_free || (op == 0xBC && !y_free) || !quiet_read((abs + x) & 0xFFFF))
                    return kNot;
                reads_status |= status_read((abs + x) & 0xFFFF);
                size = 3, cycles = 4;
                break;
            case 0xB9:
            case 0xBE:  // absolute, Y
                if (!y_free || (op == 0xBE && !x_free) || !quiet_read((abs + y) & 0xFFFF))
                    return kNot;
                reads_status |= status_read((abs + y) & 0xFFFF);
                size = 3, cycles = 4;
                break;
            case 0xAA:
            case 0x8A:
                if (!x_free) return kNot;
                size = 1;
                break;
            case 0xA8:
            case 0x98:
                if (!y_free) return kNot;
                size = 1;
                break;
            case 0x18:
            case 0x38:
            case 0xEA: size = 1, sets_nz = false; break;
            case 0x50:
            case 0x70:
            case 0x90:
            case 0xB0:  // forward, on V or C
                if (int8_t(base[pc + 1]) <= 0) return kNot;
                sets_nz = false;
                break;
            case 0x10:
            case 0x30:
            case 0xD0:
            case 0xF0:  // forward, on N or Z
                if (int8_t(base[pc + 1]) <= 0 || !nz_set) return kNot;
                sets_nz = false;
                break;
            default: return kNot;
        }
        nz_set |= sets_nz;
        if (steps && steps->count < kMaxLoopSteps - 1) {
            steps->pc[steps->count] = uint16_t(pc);
            steps->cost[steps->count++] = uint8_t(cycles);
        }
        pc += size;
        cost += int32_t(cycles);
        if (pc > end) return kNot;
    }
    return LoopShape{kind, cost, reads_status};
}

// ---- idle budgets ----
// A wait loop that reads only RAM, ROM or save RAM cannot end by itself: the
// frame driver's line work between budgets changes none of them, and only an
// interrupt takes the CPU out. Once such a loop is charged at the end of a
// budget, the frame driver's next budgets are charged without running the
// CPU: it stands before a known instruction of the loop, found from the
// instructions' costs exactly as running them would end each budget.
// n6502_settle puts the registers there when anything needs them.
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

struct IdleCandidate {
    bool found;
    uint32_t head, branch;
    int32_t back;
    uint8_t a, x, y, zero, over, carry, sign;  // at the loop's head
} Candidate;
struct IdleLoop {
    bool active;
    LoopSteps steps;
    LoopPlace place;
    int32_t start[kMaxLoopSteps + 1];
    // Where a budget of table_budget cycles ends from each instruction.
    int32_t table_budget;
    uint8_t next[kMaxLoopSteps];
    int32_t over[kMaxLoopSteps];
    n6502cpu head;  // the CPU at the loop's head
    n6502cpu rest;  // ncpu as the last run left it
} Idle;
// Budgets of one size charged to an idle or steady loop and not yet moved
// through: a line's budget then costs one compare and one count.
enum ChargedLoop : uint8_t { NoLoop, IdleCharged, SteadyCharged };
struct Charges {
    ChargedLoop loop;
    int32_t budget;
    uint32_t count;
} Charged;
bool RestAllowed;  // the run is a frame driver's budget

bool same_registers(const n6502cpu& a, const n6502cpu& b) {
    return a.rA == b.rA && a.rS == b.rS && a.rX == b.rX && a.rY == b.rY && a.rF == b.rF &&
           a.rPC == b.rPC && a.zero == b.zero && a.over == b.over && a.carry == b.carry &&
           a.sign == b.sign && a.PCBASE == b.PCBASE && a.ROM == b.ROM && a.RAM == b.RAM;
}

// At the end of a budget that charged an idle loop: the loop's instructions
// and where in them the CPU stopped.
void rest_in_loop() {
    const IdleCandidate c = Candidate;
    Candidate.found = false;
    LoopSteps& st = Idle.steps;
    const LoopShape k = loop_shape(ncpu.PCBASE, c.head, c.branch, c.x, c.y, &st);
    if (k.kind != ReadsOnly || k.reads_status || st.count + 1 > kMaxLoopSteps) return;
    st.pc[st.count] = uint16_t(c.branch);
    st.cost[st.count++] = uint8_t(c.back);
    if (sum_starts(st.cost, st.count, Idle.start) != k.cost + c.back) return;
    uint32_t at = 0;
    while (at < st.count && st.pc[at] != ncpu.rPC) ++at;
    if (at == st.count) return;
    Idle.place = LoopPlace{st.count, at, ncpu.cycles};
    Idle.table_budget = 0;
    Idle.head = ncpu;
    Idle.head.rA = c.a, Idle.head.rX = c.x, Idle.head.rY = c.y;
    Idle.head.zero = c.zero, Idle.head.over = c.over, Idle.head.carry = c.carry;
    Idle.head.sign = c.sign;
    Idle.head.rF = n6502_pack(ncpu.rF, c.zero, c.over, c.carry, c.sign);
    Idle.head.rPC = uint16_t(c.head);
    Idle.rest = ncpu;
    Idle.active = true;
}
#endif

}  // namespace

const n6502flags flagtable[256] = {
#define R4(b) flags_of(b), flags_of(b + 1), flags_of(b + 2), flags_of(b + 3)
#define R16(b) R4(b), R4(b + 4), R4(b + 8), R4(b + 12)
#define R64(b) R16(b), R16(b + 16), R16(b + 32), R16(b + 48)
    R64(0), R64(64), R64(128), R64(192)
#undef R64
#undef R16
#undef R4
};

uint8_t n6502_pack(uint8_t f, uint8_t zero, uint8_t over, uint8_t carry, uint8_t sign) {
    return uint8_t((f & 0x3C) | (zero == 0 ? 0x02 : 0) | carry | ((over & 1) << 6) | (sign & 0x80));
}

// The conformance check builds cores that push B set (QEL_CONSOLE_PHP) and
// ignore D (QEL_CONSOLE_BINARY), as the console's CPU does, to tell test
// failures this machine's design explains from faults. Normal builds set
// neither.
#if defined(QEL_CONSOLE_PHP)
#define PHP_BREAK_BIT 0x10
#else
#define PHP_BREAK_BIT 0x00
#endif
#if defined(QEL_CONSOLE_BINARY)
#define DECIMAL_FLAG 0x00
#else
#define DECIMAL_FLAG 0x08
#endif

// clang-format off
#define LIKELY(x) __builtin_expect(!!(x), 1)
#define UNLIKELY(x) __builtin_expect(!!(x), 0)

// 6502 address of the fetch pointer.
#define PC() uint16_t(uintptr_t(fp) - uintptr_t(PCBASE))

#define naturalizeESI(pcv)                                   \
    do {                                                     \
        uint32_t p_ = (pcv) & 0xFFFF;                        \
        if (p_ >= 0x8000) {                                  \
            PCBASE = ROM;                                    \
            fetchlo = uintptr_t(ROM) + 0x8000;               \
            fetchend = fetchlo + 0x8000 - 2;                 \
        } else if (p_ < 0x2000) {                            \
            p_ &= 0x7FF;                                     \
            PCBASE = RAM;                                    \
            fetchlo = uintptr_t(RAM);                        \
            fetchend = fetchlo + 0x800 - 2;                  \
        } else if (p_ >= 0x6000) {                           \
            PCBASE = ncpu.SRAM;                              \
            fetchlo = uintptr_t(PCBASE) + 0x6000;            \
            fetchend = fetchlo + 0x2000 - 2;                 \
        } else {                                             \
            PCBASE = RAM;                                    \
            fetchlo = uintptr_t(RAM) + 0x2000;               \
            fetchend = fetchlo + 0x4000 - 2;                 \
        }                                                    \
        fp = reinterpret_cast<uint8_t*>(uintptr_t(PCBASE) + p_); \
    } while (0)

#define DISPATCH()                                                  \
    do {                                                            \
        if (UNLIKELY(uintptr_t(fp) >= fetchend)) goto refetch;      \
        goto* n6502jmptable[*fp++];                                 \
    } while (0)

// Charges an instruction's cost and starts the next one while budget remains.
#define NEXT(c)                      \
    do {                             \
        cyc -= (c);                  \
        if (cyc <= 0) goto done;     \
        DISPATCH();                  \
    } while (0)

#define FETCH8() (*fp++)
#define FETCH16() (fp += 2, uint32_t(fp[-2] | (fp[-1] << 8)))

#define READ(a) readbyte_at(ROM, RAM, (a), cyc)
#define WRITE(a, v)                                         \
    do {                                                    \
        uint32_t wa_ = (a);                                 \
        uint8_t wv_ = (v);                                  \
        if (wa_ < 0x2000) {                                 \
            RAM[wa_ & 0x7FF] = wv_;                         \
        } else if (ncpu.cycles = cyc, ncpu.writetrap(wv_, wa_)) { \
            uint16_t pc_ = PC();                            \
            cyc -= ncpu.stall;                              \
            ncpu.stall = 0;                                 \
            ROM = ncpu.ROM;                                 \
            naturalizeESI(pc_);                             \
        }                                                   \
    } while (0)

#define PUSH(v) (RAM[0x100 + S] = uint8_t(v), S = uint8_t(S - 1))
#define PULL() (S = uint8_t(S + 1), RAM[0x100 + S])
#define SETZN(r) (zero = sign = uint8_t(r))
#define UNPACK()                        \
    do {                                \
        const n6502flags& e_ = flagtable[f]; \
        zero = e_.zero;                 \
        over = e_.over;                 \
        carry = e_.carry;               \
        sign = e_.sign;                 \
    } while (0)
#define PACK() n6502_pack(f, zero, over, carry, sign)

// An instruction of c cycles that cleared I while a cartridge holds the
// interrupt line: the interrupt follows it at once.
#define HELD_IRQ(c)                                                     \
    do {                                                                \
        if (UNLIKELY(ncpu.irqline != 0) && !(f & 0x04)) {               \
            cyc -= (c);                                                 \
            uint16_t r_ = PC();                                         \
            PUSH(r_ >> 8);                                              \
            PUSH(r_ & 0xFF);                                            \
            PUSH(PACK() & ~0x10);                                       \
            f = uint8_t((f & ~0x10) | 0x04);                            \
            naturalizeESI(uint32_t(ROM[0xFFFE] | (ROM[0xFFFF] << 8)));  \
            NEXT(7);                                                    \
        }                                                               \
    } while (0)

// Effective addresses.
#define EA_ZPX() uint8_t(FETCH8() + X)
#define EA_ZPY() uint8_t(FETCH8() + Y)
#define EA_ABX() uint16_t(FETCH16() + X)
#define EA_ABY() uint16_t(FETCH16() + Y)
// The two pointer bytes of the indirect modes both come from page zero: a
// pointer at $FF takes its high byte from $00, as on the console.
#define EA_INX() (p_ = uint8_t(FETCH8() + X), uint32_t(RAM[p_] | (RAM[uint8_t(p_ + 1)] << 8)))
#define EA_INY() (p_ = FETCH8(), uint16_t((RAM[p_] | (RAM[uint8_t(p_ + 1)] << 8)) + Y))

// Operand values by mode.
#define M_IMM FETCH8()
#define M_ZP RAM[FETCH8()]
#define M_ZPX RAM[EA_ZPX()]
#define M_ZPY RAM[EA_ZPY()]
#define M_ABS READ(FETCH16())
#define M_ABX READ(EA_ABX())
#define M_ABY READ(EA_ABY())
#define M_INX READ(EA_INX())
#define M_INY READ(EA_INY())

#define BINADC(m)                                                  \
    do {                                                           \
        uint32_t s_ = uint32_t(A) + (m) + carry;                   \
        over = uint8_t(((~(A ^ (m)) & (A ^ s_)) >> 7) & 1);        \
        carry = uint8_t(s_ > 0xFF);                                \
        A = uint8_t(s_);                                           \
        SETZN(A);                                                  \
    } while (0)

// Decimal add; V is left as the binary sum would set it.
#define DECADC(m)                                                          \
    do {                                                                   \
        uint32_t s_ = uint32_t(A) + (m) + carry;                           \
        uint32_t b_ = s_ & 0xFF;                                           \
        uint32_t k_ = s_ > 0xFF;                                           \
        uint32_t h_ = ((A & 0x0F) + ((m) & 0x0F) + carry) > 0x0F;          \
        over = uint8_t(((~(A ^ (m)) & (A ^ s_)) >> 7) & 1);                \
        uint32_t r_ = b_;                                                  \
        if ((b_ & 0x0F) > 9 || h_) r_ = (r_ + 6) & 0xFF;                   \
        if (b_ > 0x99 || k_) {                                             \
            r_ = (r_ + 0x60) & 0xFF;                                       \
            carry = 1;                                                     \
        } else {                                                           \
            carry = 0;                                                     \
        }                                                                  \
        A = uint8_t(r_);                                                   \
        SETZN(A);                                                          \
    } while (0)

// Decimal subtract; V is left as the binary difference would set it.
#define DECSBC(m)                                                          \
    do {                                                                   \
        int32_t w_ = 1 - carry;                                            \
        int32_t d_ = int32_t(A) - int32_t(m) - w_;                         \
        uint32_t b_ = uint32_t(d_) & 0xFF;                                 \
        uint32_t k_ = d_ < 0;                                              \
        uint32_t h_ = int32_t(A & 0x0F) < int32_t((m) & 0x0F) + w_;        \
        uint32_t inv_ = uint8_t(~(m));                                     \
        over = uint8_t(((~(A ^ inv_) & (A ^ (A + inv_ + carry))) >> 7) & 1); \
        uint32_t r_ = b_;                                                  \
        if ((b_ & 0x0F) > 9 || h_) {                                       \
            if (r_ < 6) k_ = 1;                                            \
            r_ = (r_ - 6) & 0xFF;                                          \
        }                                                                  \
        if (b_ > 0x99 || d_ < 0) {                                         \
            r_ = (r_ - 0x60) & 0xFF;                                       \
            k_ = 1;                                                        \
        }                                                                  \
        A = uint8_t(r_);                                                   \
        carry = uint8_t(1 - k_);                                           \
        SETZN(A);                                                          \
    } while (0)

#define ADC_OP(mexpr, c)             \
    do {                             \
        uint8_t m_ = (mexpr);        \
        if (UNLIKELY(f & DECIMAL_FLAG)) { \
            DECADC(m_);              \
            NEXT(4);                 \
        }                            \
        BINADC(m_);                  \
        NEXT(c);                     \
    } while (0)

#define SBC_OP(mexpr, c)             \
    do {                             \
        uint8_t m_ = (mexpr);        \
        if (UNLIKELY(f & DECIMAL_FLAG)) { \
            DECSBC(m_);              \
            NEXT(4);                 \
        }                            \
        BINADC(uint8_t(~m_));        \
        NEXT(c);                     \
    } while (0)

#define LOAD_OP(reg, mexpr, c) \
    do {                       \
        reg = (mexpr);         \
        SETZN(reg);            \
        NEXT(c);               \
    } while (0)
#define ORA_OP(mexpr, c) LOAD_OP(A, A | (mexpr), c)
#define AND_OP(mexpr, c) LOAD_OP(A, A & (mexpr), c)
#define EOR_OP(mexpr, c) LOAD_OP(A, A ^ (mexpr), c)
#define CMP_OP(reg, mexpr, c)             \
    do {                                  \
        uint8_t m_ = (mexpr);             \
        carry = uint8_t(reg >= m_);       \
        SETZN(reg - m_);                  \
        NEXT(c);                          \
    } while (0)
#define BIT_OP(mexpr, c)                  \
    do {                                  \
        uint8_t m_ = (mexpr);             \
        sign = m_;                        \
        over = uint8_t((m_ >> 6) & 1);    \
        zero = uint8_t(A & m_);           \
        NEXT(c);                          \
    } while (0)

// Read-modify-write operations on a value v.
#define ASLV(v) (carry = uint8_t(v >> 7), v = uint8_t(v << 1), SETZN(v))
#define LSRV(v) (carry = uint8_t(v & 1), v = uint8_t(v >> 1), SETZN(v))
#define ROLV(v) (t_ = uint8_t((v << 1) | carry), carry = uint8_t(v >> 7), v = t_, SETZN(v))
#define RORV(v) (t_ = uint8_t((v >> 1) | (carry << 7)), carry = uint8_t(v & 1), v = t_, SETZN(v))
#define INCV(v) (v = uint8_t(v + 1), SETZN(v))
#define DECV(v) (v = uint8_t(v - 1), SETZN(v))

#define RMW_ZP(OPV, eaexpr, c)        \
    do {                              \
        uint8_t& v_ = RAM[eaexpr];    \
        OPV(v_);                      \
        NEXT(c);                      \
    } while (0)
#define RMW_MEM(OPV, eaexpr, c)       \
    do {                              \
        uint32_t a_ = (eaexpr);       \
        uint8_t v_ = READ(a_);        \
        OPV(v_);                      \
        WRITE(a_, v_);                \
        NEXT(c);                      \
    } while (0)

#define STORE(eaexpr, reg, c)  \
    do {                       \
        uint32_t a_ = (eaexpr); \
        WRITE(a_, reg);        \
        NEXT(c);               \
    } while (0)

#if defined(QEL_NO_SHORTCUTS)
#define WAIT_LOOP(h_, b_, back_) do {} while (0)
#else
// A short backward branch: the second time in a row that it closes the same
// loop, the loop may be a wait (see loop_kind).
#define WAIT_LOOP(h_, b_, back_)                                            \
    do {                                                                    \
        if ((h_) == RefusedHead && (b_) == RefusedBranch) break;          \
        if (Seen.head == (h_) && Seen.branch == (b_)) {                     \
            const LoopState& s_ = Seen.state;                               \
            const int32_t c_ = s_.cyc - cyc;                                \
            const LoopShape k_ = loop_shape(PCBASE, h_, b_, X, Y);          \
            if (k_.kind == NotALoop) {                                      \
                RefusedHead = (h_);                                         \
                RefusedBranch = (b_);                                       \
            } else if (k_.cost + (back_) != c_) {                           \
            } else if (k_.kind == ReadsOnly) {                              \
                if (s_.a == A && s_.x == X && s_.y == Y && s_.zero == zero && \
                    s_.over == over && s_.carry == carry && s_.sign == sign) { \
                    cyc -= (cyc - 1) / c_ * c_;                             \
                    if (!k_.reads_status)                                   \
                        Candidate = IdleCandidate{true, (h_), (b_), (back_), A, X, Y, \
                                                  zero, over, carry, sign}; \
                }                                                           \
            } else if (s_.a == A && s_.over == over && s_.carry == carry && \
                       (k_.kind == CountX ? s_.y == Y : s_.x == X)) {       \
                uint8_t& r_ = k_.kind == CountX ? X : Y;                    \
                const uint8_t step_ = PCBASE[(b_) - 1];                     \
                const bool down_ = step_ == 0xCA || step_ == 0x88;          \
                int32_t n_ = std::min<int32_t>(down_ ? r_ - 1 : 255 - r_, (cyc - 1) / c_); \
                r_ = uint8_t(down_ ? r_ - n_ : r_ + n_);                    \
                zero = sign = r_;                                           \
                cyc -= n_ * c_;                                             \
            }                                                               \
        }                                                                   \
        Seen = LoopSeen{(h_), (b_), {A, X, Y, zero, over, carry, sign, cyc}}; \
    } while (0)
#endif

#define BRANCH(cond)                                                        \
    do {                                                                    \
        if (cond) {                                                         \
            int8_t off_ = int8_t(FETCH8());                                 \
            uint16_t n_ = PC();                                             \
            uint16_t t2_ = uint16_t(n_ + off_);                             \
            fp = reinterpret_cast<uint8_t*>(uintptr_t(PCBASE) + t2_);       \
            const int32_t back_ = ((n_ ^ t2_) & 0xFF00) ? 4 : 3;            \
            cyc -= back_;                                                   \
            if (cyc <= 0) goto done;                                        \
            if (UNLIKELY(uintptr_t(fp) < fetchlo)) goto refetch;            \
            if (off_ < 0 && off_ >= -12 && t2_ < n_ - 2 &&                 \
                uintptr_t(fp) < fetchend)                                   \
                WAIT_LOOP(uint32_t(t2_), uint32_t(n_ - 2), back_);          \
            DISPATCH();                                                     \
        }                                                                   \
        ++fp;                                                               \
        NEXT(2);                                                            \
    } while (0)

int32_t n6502_execute() {
#include "cpu/n6502_table.inc"

    uint8_t A = ncpu.rA, S = ncpu.rS, X = ncpu.rX, Y = ncpu.rY;
    uint8_t f = ncpu.rF;
    uint8_t zero, over, carry, sign;
    uint8_t* ROM = ncpu.ROM;
    uint8_t* const RAM = ncpu.RAM;
    uint8_t* PCBASE;
    uint8_t* fp;
    uintptr_t fetchlo, fetchend;
    int32_t cyc = ncpu.cycles;
    int32_t result = 0;
    uint32_t p_;
    uint8_t t_;

    UNPACK();
#if !defined(QEL_NO_SHORTCUTS)
    Seen.head = ~0u;  // loops seen in another budget tell nothing of this one
    Candidate.found = false;
    Idle.active = false;
    Charged.loop = NoLoop;
#endif
    naturalizeESI(ncpu.rPC);
    if (cyc <= 0) goto done;
    DISPATCH();

refetch: {
    uint16_t pc = PC();
    naturalizeESI(pc);
    if (uintptr_t(fp) < fetchlo || uintptr_t(fp) >= fetchend) {
        // The instruction runs into the end of its block: fetch it from a copy
        // of its three bytes, each taken from its own 6502 address.
        for (uint32_t i = 0; i < 3; ++i) StraddleCopy[i] = fetchbyte(ROM, RAM, pc + i);
        PCBASE = reinterpret_cast<uint8_t*>(uintptr_t(StraddleCopy) - pc);
        fp = StraddleCopy;
        fetchlo = uintptr_t(StraddleCopy);
        fetchend = fetchlo + 1;
    }
    goto* n6502jmptable[*fp++];
}

badopcode:
    if (ncpu.trapbadops) NEXT(4);
    --fp;
    result = -1;
    goto leave;

    // ---- loads ----
op169: LOAD_OP(A, M_IMM, 2);
op165: LOAD_OP(A, M_ZP, 3);
op181: LOAD_OP(A, M_ZPX, 4);
op173: LOAD_OP(A, M_ABS, 4);
op189: LOAD_OP(A, M_ABX, 4);
op185: LOAD_OP(A, M_ABY, 4);
op161: LOAD_OP(A, M_INX, 6);
op177: LOAD_OP(A, M_INY, 5);
op162: LOAD_OP(X, M_IMM, 2);
op166: LOAD_OP(X, M_ZP, 3);
op182: LOAD_OP(X, M_ZPY, 4);
op174: LOAD_OP(X, M_ABS, 4);
op190: LOAD_OP(X, M_ABY, 4);
op160: LOAD_OP(Y, M_IMM, 2);
op164: LOAD_OP(Y, M_ZP, 3);
op180: LOAD_OP(Y, M_ZPX, 4);
op172: LOAD_OP(Y, M_ABS, 4);
op188: LOAD_OP(Y, M_ABX, 4);

    // ---- stores ----
op133: STORE(FETCH8(), A, 3);
op149: STORE(EA_ZPX(), A, 4);
op141: STORE(FETCH16(), A, 4);
op157: STORE(EA_ABX(), A, 5);
op153: STORE(EA_ABY(), A, 5);
op129: STORE(EA_INX(), A, 6);
op145: STORE(EA_INY(), A, 6);
op134: STORE(FETCH8(), X, 3);
op150: STORE(EA_ZPY(), X, 4);
op142: STORE(FETCH16(), X, 4);
op132: STORE(FETCH8(), Y, 3);
op148: STORE(EA_ZPX(), Y, 4);
op140: STORE(FETCH16(), Y, 4);

    // ---- transfers ----
op170: LOAD_OP(X, A, 2);  // TAX
op168: LOAD_OP(Y, A, 2);  // TAY
op138: LOAD_OP(A, X, 2);  // TXA
op152: LOAD_OP(A, Y, 2);  // TYA
op186: LOAD_OP(X, S, 2);  // TSX
op154:                    // TXS
    S = X;
    NEXT(2);

    // ---- logic ----
op9: ORA_OP(M_IMM, 2);
op5: ORA_OP(M_ZP, 3);
op21: ORA_OP(M_ZPX, 4);
op13: ORA_OP(M_ABS, 4);
op29: ORA_OP(M_ABX, 4);
op25: ORA_OP(M_ABY, 4);
op1: ORA_OP(M_INX, 6);
op17: ORA_OP(M_INY, 5);
op41: AND_OP(M_IMM, 2);
op37: AND_OP(M_ZP, 3);
op53: AND_OP(M_ZPX, 4);
op45: AND_OP(M_ABS, 4);
op61: AND_OP(M_ABX, 4);
op57: AND_OP(M_ABY, 4);
op33: AND_OP(M_INX, 6);
op49: AND_OP(M_INY, 5);
op73: EOR_OP(M_IMM, 2);
op69: EOR_OP(M_ZP, 3);
op85: EOR_OP(M_ZPX, 4);
op77: EOR_OP(M_ABS, 4);
op93: EOR_OP(M_ABX, 4);
op89: EOR_OP(M_ABY, 4);
op65: EOR_OP(M_INX, 6);
op81: EOR_OP(M_INY, 5);
op36: BIT_OP(M_ZP, 3);
op44: BIT_OP(M_ABS, 4);

    // ---- arithmetic ----
op105: ADC_OP(M_IMM, 2);
op101: ADC_OP(M_ZP, 3);
op117: ADC_OP(M_ZPX, 4);
op109: ADC_OP(M_ABS, 4);
op125: ADC_OP(M_ABX, 4);
op121: ADC_OP(M_ABY, 4);
op97: ADC_OP(M_INX, 6);
op113: ADC_OP(M_INY, 5);
op233: SBC_OP(M_IMM, 2);
op229: SBC_OP(M_ZP, 3);
op245: SBC_OP(M_ZPX, 4);
op237: SBC_OP(M_ABS, 4);
op253: SBC_OP(M_ABX, 4);
op249: SBC_OP(M_ABY, 4);
op225: SBC_OP(M_INX, 6);
op241: SBC_OP(M_INY, 5);
op201: CMP_OP(A, M_IMM, 2);
op197: CMP_OP(A, M_ZP, 3);
op213: CMP_OP(A, M_ZPX, 4);
op205: CMP_OP(A, M_ABS, 4);
op221: CMP_OP(A, M_ABX, 4);
op217: CMP_OP(A, M_ABY, 4);
op193: CMP_OP(A, M_INX, 6);
op209: CMP_OP(A, M_INY, 5);
op224: CMP_OP(X, M_IMM, 2);
op228: CMP_OP(X, M_ZP, 3);
op236: CMP_OP(X, M_ABS, 4);
op192: CMP_OP(Y, M_IMM, 2);
op196: CMP_OP(Y, M_ZP, 3);
op204: CMP_OP(Y, M_ABS, 4);

    // ---- increments and decrements ----
op230: RMW_ZP(INCV, FETCH8(), 5);
op246: RMW_ZP(INCV, EA_ZPX(), 6);
op238: RMW_MEM(INCV, FETCH16(), 6);
op254: RMW_MEM(INCV, EA_ABX(), 7);
op198: RMW_ZP(DECV, FETCH8(), 5);
op214: RMW_ZP(DECV, EA_ZPX(), 6);
op206: RMW_MEM(DECV, FETCH16(), 6);
op222: RMW_MEM(DECV, EA_ABX(), 7);
op232: LOAD_OP(X, uint8_t(X + 1), 2);  // INX
op200: LOAD_OP(Y, uint8_t(Y + 1), 2);  // INY
op202: LOAD_OP(X, uint8_t(X - 1), 2);  // DEX
op136: LOAD_OP(Y, uint8_t(Y - 1), 2);  // DEY

    // ---- shifts and rotates ----
op10: ASLV(A); NEXT(2);
op6: RMW_ZP(ASLV, FETCH8(), 5);
op22: RMW_ZP(ASLV, EA_ZPX(), 6);
op14: RMW_MEM(ASLV, FETCH16(), 6);
op30: RMW_MEM(ASLV, EA_ABX(), 7);
op74: LSRV(A); NEXT(2);
op70: RMW_ZP(LSRV, FETCH8(), 5);
op86: RMW_ZP(LSRV, EA_ZPX(), 6);
op78: RMW_MEM(LSRV, FETCH16(), 6);
op94: RMW_MEM(LSRV, EA_ABX(), 7);
op42: ROLV(A); NEXT(2);
op38: RMW_ZP(ROLV, FETCH8(), 5);
op54: RMW_ZP(ROLV, EA_ZPX(), 6);
op46: RMW_MEM(ROLV, FETCH16(), 6);
op62: RMW_MEM(ROLV, EA_ABX(), 7);
op106: RORV(A); NEXT(2);
op102: RMW_ZP(RORV, FETCH8(), 5);
op118: RMW_ZP(RORV, EA_ZPX(), 6);
op110: RMW_MEM(RORV, FETCH16(), 6);
op126: RMW_MEM(RORV, EA_ABX(), 7);

    // ---- flags ----
op24: carry = 0; NEXT(2);          // CLC
op56: carry = 1; NEXT(2);          // SEC
op184: over = 0; NEXT(2);          // CLV
op88: f &= uint8_t(~0x04); HELD_IRQ(2); NEXT(2);  // CLI
op120: f |= 0x04; NEXT(2);         // SEI
op216: f &= uint8_t(~0x08); NEXT(2);  // CLD
op248: f |= 0x08; NEXT(2);         // SED
op234: NEXT(2);                    // NOP

    // ---- stack ----
op72: PUSH(A); NEXT(3);            // PHA
op104: A = PULL(); SETZN(A); NEXT(4);  // PLA
op8: PUSH(PACK() | PHP_BREAK_BIT); NEXT(3);  // PHP
op40:                              // PLP
    f = uint8_t(PULL() | 0x20);
    UNPACK();
    HELD_IRQ(4);
    NEXT(4);

    // ---- control transfer ----
op76: {  // JMP absolute
    uint32_t w = FETCH16();
#if !defined(QEL_NO_SHORTCUTS)
    // A jump to itself waits out the budget: nothing it does changes.
    if (UNLIKELY(w <= uint32_t(PC() - 3))) {
        if (w == uint32_t(PC() - 3))
            cyc -= (cyc - 1) / 3 * 3;
        else
            BackJump = JumpSeen{w, uint32_t(PC() - 3)};  // a loop may close here
        if (UNLIKELY(w == StopAt)) {
            naturalizeESI(w);
            cyc -= 3;
            Stopped = true;
            goto done;
        }
    }
#endif
    naturalizeESI(w);
    NEXT(3);
}
op108: {  // JMP (absolute), the pointer never carries into the next page
    uint32_t p = FETCH16();
    uint32_t lo = READ(p);
    uint32_t hi = READ((p & 0xFF00) | ((p + 1) & 0xFF));
    naturalizeESI(lo | (hi << 8));
    NEXT(5);
}
op32: {  // JSR
    uint32_t w = FETCH16();
    uint16_t r = uint16_t(PC() - 1);
    PUSH(r >> 8);
    PUSH(r & 0xFF);
    naturalizeESI(w);
    NEXT(6);
}
op96: {  // RTS
    uint32_t lo = PULL();
    uint32_t hi = PULL();
    naturalizeESI(((hi << 8) | lo) + 1);
    NEXT(6);
}
op64: {  // RTI
    f = uint8_t(PULL() | 0x20);
    UNPACK();
    uint32_t lo = PULL();
    uint32_t hi = PULL();
    naturalizeESI((hi << 8) | lo);
    HELD_IRQ(6);
    NEXT(6);
}
op0: {  // BRK
    uint16_t r = uint16_t(PC() + 1);
    PUSH(r >> 8);
    PUSH(r & 0xFF);
    PUSH(PACK() | 0x10);
    f |= 0x14;
    naturalizeESI(uint32_t(ROM[0xFFFE] | (ROM[0xFFFF] << 8)));
    NEXT(7);
}

    // ---- branches ----
op16: BRANCH(!(sign & 0x80));  // BPL
op48: BRANCH(sign & 0x80);     // BMI
op80: BRANCH(over == 0);       // BVC
op112: BRANCH(over != 0);      // BVS
op144: BRANCH(carry == 0);     // BCC
op176: BRANCH(carry != 0);     // BCS
op208: BRANCH(zero != 0);      // BNE
op240: BRANCH(zero == 0);      // BEQ

done:
    result = 0;
leave:
    ncpu.rPC = PC();
    ncpu.PCBASE = PCBASE;
    ncpu.rA = A;
    ncpu.rS = S;
    ncpu.rX = X;
    ncpu.rY = Y;
    ncpu.zero = zero;
    ncpu.over = over;
    ncpu.carry = carry;
    ncpu.sign = sign;
    ncpu.rF = PACK();
    ncpu.cycles = cyc;
#if !defined(QEL_NO_SHORTCUTS)
    if (Candidate.found && RestAllowed && result == 0) rest_in_loop();
#endif
    return result;
}

// clang-format on

namespace {
void take_interrupt(uint32_t vector) {
    uint8_t* stack = ncpu.RAM + 0x100;
    stack[ncpu.rS] = uint8_t(ncpu.rPC >> 8);
    ncpu.rS = uint8_t(ncpu.rS - 1);
    stack[ncpu.rS] = uint8_t(ncpu.rPC);
    ncpu.rS = uint8_t(ncpu.rS - 1);
    uint8_t pushed = uint8_t(ncpu.rF & ~0x10);
    stack[ncpu.rS] = pushed;
    ncpu.rS = uint8_t(ncpu.rS - 1);
    ncpu.rF = uint8_t(pushed | 0x04);
    ncpu.rPC = uint16_t(ncpu.ROM[vector] | (ncpu.ROM[vector + 1] << 8));
}
}  // namespace

#if !defined(QEL_NO_SHORTCUTS)
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
enum SteadyPhase : uint8_t { Watching, Seeking, Tracing, Replaying };
constexpr uint32_t kMaxTrace = 1024;
struct SteadyLoop {
    SteadyPhase phase;
    uint32_t head, jump;  // the loop's head and its JMP
    uint32_t hits;        // budgets in a row whose last backward JMP was this one
    uint32_t budgets;     // budgets spent seeking the head
    uint32_t wait;        // frames left before the next try
    uint32_t backoff;     // frames to wait after the next failure
    uint32_t last_pc;     // the instruction stepped last
    bool unsafe;          // the iteration used a device it cannot repeat
    uint32_t count;
    uint16_t pc[kMaxTrace];
    uint8_t cost[kMaxTrace];
    LoopPlace place;
    int32_t start[kMaxTrace + 1];
    n6502cpu open;       // the CPU at the head where the trace began
    uint64_t devices;    // and the devices' state
    uint8_t ram[0x800];  // and RAM
} Steady;
n6502readtrap RealRead;
n6502writetrap RealWrite;

// The budget left before the instruction being traced: a device sees it in
// ncpu.cycles as it would in a budget run as usual.
int32_t TracedLeft;
uint32_t traced_read(uint32_t a) {
    if (!ncpu.repeatabletrap(a, false)) Steady.unsafe = true;
    ncpu.cycles = TracedLeft;
    return RealRead(a);
}
uint32_t traced_write(uint32_t v, uint32_t a) {
    if (!ncpu.repeatabletrap(a, true)) Steady.unsafe = true;
    ncpu.cycles = TracedLeft;
    return RealWrite(v, a);
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
    sum_starts(Steady.cost, Steady.count, Steady.start);
    Steady.phase = Replaying;
    Steady.backoff = 0;
    Steady.open = ncpu;
    Steady.place = LoopPlace{Steady.count, 0, 0};
    advance(Steady.place, Steady.start, left);
}

// A budget run an instruction at a time, tracing the iteration from the head.
int32_t step_budget(int32_t left) {
    RealRead = ncpu.readtrap;
    RealWrite = ncpu.writetrap;
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
        TracedLeft = left;
        ncpu.cycles = 1;
        result = n6502_execute();
        ncpu.readtrap = RealRead;
        ncpu.writetrap = RealWrite;
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
    StopAt = Steady.head;
    Stopped = false;
    const int32_t result = n6502_execute();
    StopAt = ~0u;
    if (result != 0 || !Stopped) {
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

}  // namespace
#endif

#if !defined(QEL_NO_SHORTCUTS)
namespace {

// The place the charged budgets have reached, followed budget by budget
// (leave_charged_budget) so that each leaves its overshoot in ncpu.cycles.
LoopPlace ChargedPlace;

void move_charged() {
    if (Charged.count > 0) {
        if (Charged.loop == IdleCharged && Idle.active)
            Idle.place = ChargedPlace;
        else if (Charged.loop == SteadyCharged && Steady.phase == Replaying)
            Steady.place = ChargedPlace;
    }
    Charged = Charges{NoLoop, 0, 0};
}

// A budget charged without running leaves in ncpu.cycles what running it
// would have (its last instruction's overshoot): the sound clock counts it.
void leave_charged_budget(bool first) {
    if (Charged.loop == IdleCharged) {
        if (first) ChargedPlace = Idle.place;
        ChargedPlace.overshoot = Idle.over[ChargedPlace.at];
        ChargedPlace.at = Idle.next[ChargedPlace.at];
    } else {
        if (first) ChargedPlace = Steady.place;
        advance(ChargedPlace, Steady.start, Charged.budget);
    }
    ncpu.cycles = ChargedPlace.overshoot;
}
}  // namespace
#endif

int32_t n6502_run_budget(int32_t cycles) {
#if !defined(QEL_NO_SHORTCUTS)
    if (Charged.loop != NoLoop) {
        if (cycles == Charged.budget) {
            ++Charged.count;
            leave_charged_budget(false);
            return 0;
        }
        move_charged();
    }
    if (Idle.active && same_registers(ncpu, Idle.rest)) {
        if (cycles != Idle.table_budget) {
            Idle.table_budget = cycles;
            for (uint32_t k = 0; k < Idle.place.count; ++k) {
                LoopPlace p{Idle.place.count, k, 0};
                advance(p, Idle.start, cycles);
                Idle.next[k] = uint8_t(p.at);
                Idle.over[k] = p.overshoot;
            }
        }
        Charged = Charges{IdleCharged, cycles, 1};
        leave_charged_budget(true);
        return 0;
    }
    switch (Steady.phase) {
        case Replaying:
            if (same_registers(ncpu, Steady.open)) {
                Charged = Charges{SteadyCharged, cycles, 1};
                leave_charged_budget(true);
                return 0;
            }
            Steady.phase = Watching;
            break;
        case Seeking: return seek_budget(cycles);
        case Tracing: return step_budget(cycles);
        case Watching: break;
    }
    ncpu.cycles = cycles;
    RestAllowed = true;
    const int32_t result = n6502_execute();
    RestAllowed = false;
    if (result == 0 && !Idle.active) watch_jumps();
    return result;
#else
    ncpu.cycles = cycles;
    return n6502_execute();
#endif
}

void n6502_settle() {
#if !defined(QEL_NO_SHORTCUTS)
    move_charged();
    RefusedHead = ~0u;
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
#endif
}

void n6502_nmi() {
    n6502_settle();
    take_interrupt(0xFFFA);
}

void n6502_int() {
    n6502_settle();
    if (ncpu.rF & 0x04) return;
    take_interrupt(0xFFFE);
}
