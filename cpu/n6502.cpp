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

#include "cpu/shortcuts.h"

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

// A short backward branch: the shortcuts may charge a wait loop's iterations.
#define WAIT_LOOP(h_, b_, back_)                                                          \
    do {                                                                                  \
        if constexpr (kShortcuts)                                                         \
            wait_loop(PCBASE, (h_), (b_), (back_), A, X, Y, zero, over, carry, sign, cyc); \
    } while (0)

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
            if (off_ < 0 && off_ >= -34 && t2_ < n_ - 2 &&                 \
                uintptr_t(fp) < fetchend)                                   \
                WAIT_LOOP(uint32_t(t2_), uint32_t(n_ - 2), back_);          \
            DISPATCH();                                                     \
        }                                                                   \
        ++fp;                                                               \
        NEXT(2);                                                            \
    } while (0)

// The whole run, with the shortcuts' hooks (kShortcuts) or without.
template <bool kShortcuts>
static int32_t execute() {
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
    if constexpr (kShortcuts) shortcuts_begin_run();
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
    // A jump to itself waits out the budget: nothing it does changes.
    if (kShortcuts && UNLIKELY(w <= uint32_t(PC() - 3))) {
        if (w == uint32_t(PC() - 3))
            cyc -= (cyc - 1) / 3 * 3;
        else {
            const uint32_t from = uint32_t(PC() - 3);
            Shortcuts.BackJump = JumpSeen{w, from};  // a loop may close here
            // A short loop closed by the JMP may be a wait, as one closed by a branch.
            if (from - w <= 34 && uintptr_t(PCBASE) + w >= fetchlo)
                WAIT_LOOP(w, from, 3);
        }
        if (UNLIKELY(w == Shortcuts.StopAt)) {
            naturalizeESI(w);
            cyc -= 3;
            Shortcuts.Stopped = true;
            goto done;
        }
    }
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
    ncpu.rF = PACK();
    {
        // The flag cells as the status byte gives them: a run leaves the same
        // cells however the budgets before it were split, run or charged.
        const n6502flags& e_ = flagtable[ncpu.rF];
        ncpu.zero = e_.zero;
        ncpu.over = e_.over;
        ncpu.carry = e_.carry;
        ncpu.sign = e_.sign;
    }
    ncpu.cycles = cyc;
    if constexpr (kShortcuts)
        if (Shortcuts.Candidate.found && Shortcuts.RestAllowed && result == 0) rest_in_loop();
    return result;
}

// clang-format on

int32_t n6502_execute() { return ShortcutsOn ? execute<true>() : execute<false>(); }

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

void n6502_nmi() {
    n6502_settle();
    take_interrupt(0xFFFA);
}

void n6502_int() {
    n6502_settle();
    if (ncpu.rF & 0x04) return;
    take_interrupt(0xFFFE);
}
