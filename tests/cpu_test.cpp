// The 6502 interpreter on small programs placed straight into its memories,
// with recording bus callbacks.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "core/machine.h"
#include "cpu/n6502.h"
#include "tests/test_support.h"

namespace {

std::string Events;  // "r2002 w2002=42 ..."
uint8_t ReadAnswer = 0;
uint32_t WriteAnswer = 0;
uint8_t* MovedRom = nullptr;  // where a rebase request moves the ROM pointer

std::string hex(uint32_t v, int digits) {
    char s[9];
    std::snprintf(s, sizeof s, "%0*X", digits, v);
    return s;
}

uint32_t record_read(uint32_t address) {
    Events += "r" + hex(address, 4) + " ";
    return 0xFFFFFF00u | ReadAnswer;  // only the low byte may count
}

uint32_t record_write(uint32_t value, uint32_t address) {
    Events += "w" + hex(address, 4) + "=" + hex(value, 2) + " ";
    if (WriteAnswer && MovedRom) ncpu.ROM = MovedRom;
    return WriteAnswer;
}

class Cpu : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(allocate_memories());
        wire_bare_cpu(record_read, record_write);
        ncpu.rF = 0x22;
        ncpu.rS = 0xFF;
        Events.clear();
        ReadAnswer = 0;
        WriteAnswer = 0;
        MovedRom = nullptr;
    }
    void TearDown() override { free_memories(); }

    // Places bytes where the CPU fetches the given 6502 address.
    static void place(uint32_t address, std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) {
            address &= 0xFFFF;
            if (address >= 0x8000)
                PrgWindow[address - 0x8000] = b;
            else if (address >= 0x6000)
                SaveRam[address - 0x6000] = b;
            else if (address < 0x2000)
                CpuRam[address & 0x7FF] = b;
            else
                CpuRam[address] = b;
            ++address;
        }
    }
    static void set_vector(uint32_t at, uint16_t target) {
        place(at, {uint8_t(target), uint8_t(target >> 8)});
    }
    // Runs exactly one instruction and returns its cost.
    static int step() {
        ncpu.cycles = 1;
        EXPECT_EQ(n6502_execute(), 0);
        return 1 - ncpu.cycles;
    }
    static void run_at(uint16_t pc, int instructions) {
        ncpu.rPC = pc;
        for (int i = 0; i < instructions; ++i) step();
    }
    static bool flag(uint8_t mask) { return (ncpu.rF & mask) != 0; }
};

constexpr uint8_t C = 0x01, Z = 0x02, I = 0x04, D = 0x08, B = 0x10, V = 0x40, N = 0x80;

TEST_F(Cpu, RamMirrorsFoldToTheFirstTwoKilobytes) {
    CpuRam[0] = 0x3C;
    place(0x8000, {0xAD, 0x00, 0x08, 0xAE, 0x00, 0x10, 0xAC, 0x00, 0x18,  // loads
                   0xA9, 0x66, 0x8D, 0xFF, 0x1F});                        // STA $1FFF
    run_at(0x8000, 5);
    EXPECT_EQ(std::tuple(ncpu.rA, ncpu.rX, ncpu.rY, CpuRam[0x7FF]),
              std::tuple(0x66, 0x3C, 0x3C, 0x66));
    EXPECT_EQ(Events, "");
}

TEST_F(Cpu, DecimalModeAddsAndSubtractsInPackedBcd) {
    struct Case {
        uint8_t op, a, m, carry_in, a_out, carry_out;
    } cases[] = {
        {0x69, 0x19, 0x28, 0, 0x47, 0}, {0x69, 0x99, 0x01, 0, 0x00, 1},
        {0x69, 0x58, 0x46, 1, 0x05, 1}, {0xE9, 0x10, 0x01, 1, 0x09, 1},
        {0xE9, 0x00, 0x01, 1, 0x99, 0}, {0xE9, 0x46, 0x12, 1, 0x34, 1},
        {0xE9, 0x40, 0x13, 0, 0x26, 1},
    };
    for (const Case& c : cases) {
        ncpu.rF = uint8_t(0x22 | D | (c.carry_in ? C : 0));
        ncpu.rA = c.a;
        place(0x8000, {c.op, c.m});
        ncpu.rPC = 0x8000;
        EXPECT_EQ(step(), 4);
        EXPECT_EQ(ncpu.rA, c.a_out) << std::hex << int(c.op) << " " << int(c.a) << " " << int(c.m);
        EXPECT_EQ(flag(C), bool(c.carry_out));
        EXPECT_EQ(flag(Z), c.a_out == 0);
    }
}

TEST_F(Cpu, DecimalAddCostsFourInEveryMode) {
    CpuRam[0x10] = 0x01;
    CpuRam[0x20] = 0x10;
    CpuRam[0x21] = 0x00;
    ncpu.rF = 0x22 | D;
    place(0x8000, {0x65, 0x10, 0x61, 0x20, 0x71, 0x20, 0xF5, 0x10});
    ncpu.rPC = 0x8000;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(step(), 4);  // binary costs: the cost table
}

// (PHP and BRK push bit 4 as the status holds it: instr_test-v5's 01-basics
// and 15-brk.) The interrupts push it clear.
TEST_F(Cpu, InterruptsPushTheStatusWithBit4Clear) {
    set_vector(0xFFFA, 0x9000);
    ncpu.rF = 0x30;
    n6502_nmi();
    EXPECT_EQ(CpuRam[0x1FD], 0x20);
    ncpu.rF = 0x32;  // I clear, B set as a PLP may leave it
    n6502_int();
    EXPECT_EQ(CpuRam[0x1FA], 0x22);
}

TEST_F(Cpu, NoBudgetRunsNothingAndTheLastInstructionMayOverdraw) {
    place(0x8100, {0xE8, 0xE8, 0xE8, 0xE8, 0xE8});  // five 2-cycle INX
    for (int32_t budget : {0, -5, 5}) {
        ncpu.rPC = 0x8100;
        ncpu.rF = 0xE7;
        ncpu.rX = 0;
        ncpu.cycles = budget;
        EXPECT_EQ(n6502_execute(), 0);
        EXPECT_EQ(ncpu.rX, budget > 0 ? 3 : 0);
        EXPECT_EQ(ncpu.rF, budget > 0 ? 0x65 : 0xE7);  // INX cleared N and Z
        EXPECT_EQ(ncpu.cycles, budget > 0 ? -1 : budget);
    }
    EXPECT_EQ(ncpu.totalcycles, 0u);
}

// Every opcode's cost in one table: the console's base costs, no charge for
// a page crossed by an indexed mode, 4 for the 105 opcodes outside the
// documented set (run as one-byte no-ops). Branches are measured not taken
// (flags all clear takes BPL, BVC, BCC and BNE: 3).
// clang-format off
constexpr uint8_t kCost[256] = {
//  0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F
    7, 6, 0, 0, 0, 3, 5, 0, 3, 2, 2, 0, 0, 4, 6, 0,  // 0
    3, 5, 0, 0, 0, 4, 6, 0, 2, 4, 0, 0, 0, 4, 7, 0,  // 1
    6, 6, 0, 0, 3, 3, 5, 0, 4, 2, 2, 0, 4, 4, 6, 0,  // 2
    2, 5, 0, 0, 0, 4, 6, 0, 2, 4, 0, 0, 0, 4, 7, 0,  // 3
    6, 6, 0, 0, 0, 3, 5, 0, 3, 2, 2, 0, 3, 4, 6, 0,  // 4
    3, 5, 0, 0, 0, 4, 6, 0, 2, 4, 0, 0, 0, 4, 7, 0,  // 5
    6, 6, 0, 0, 0, 3, 5, 0, 4, 2, 2, 0, 5, 4, 6, 0,  // 6
    2, 5, 0, 0, 0, 4, 6, 0, 2, 4, 0, 0, 0, 4, 7, 0,  // 7
    0, 6, 0, 0, 3, 3, 3, 0, 2, 0, 2, 0, 4, 4, 4, 0,  // 8
    3, 6, 0, 0, 4, 4, 4, 0, 2, 5, 2, 0, 0, 5, 0, 0,  // 9
    2, 6, 2, 0, 3, 3, 3, 0, 2, 2, 2, 0, 4, 4, 4, 0,  // A
    2, 5, 0, 0, 4, 4, 4, 0, 2, 4, 2, 0, 4, 4, 4, 0,  // B
    2, 6, 0, 0, 3, 3, 5, 0, 2, 2, 2, 0, 4, 4, 6, 0,  // C
    3, 5, 0, 0, 0, 4, 6, 0, 2, 4, 0, 0, 0, 4, 7, 0,  // D
    2, 6, 0, 0, 3, 3, 5, 0, 2, 2, 2, 0, 4, 4, 6, 0,  // E
    2, 5, 0, 0, 0, 4, 6, 0, 2, 4, 0, 0, 0, 4, 7, 0,  // F
};
// clang-format on

TEST_F(Cpu, EveryOpcodeCostsItsTableEntryAndInvalidOnesAreOneByte) {
    int invalid = 0;
    for (int op = 0; op < 256; ++op) {
        // Operands $FF $00: page zero $FF and absolute $00FF, both work RAM;
        // the indexed modes cross into the next page, which costs nothing.
        place(0x0300, {uint8_t(op), 0xFF, 0x00});
        set_vector(0xFFFE, 0x0400);
        ncpu.rF = 0x20;
        ncpu.rS = 0xF0;
        ncpu.rX = ncpu.rY = 1;
        ncpu.rPC = 0x0300;
        const int want = kCost[op] ? kCost[op] : 4;
        EXPECT_EQ(step(), want) << std::hex << "opcode " << op;
        if (kCost[op]) continue;
        ++invalid;
        EXPECT_EQ(ncpu.rPC, 0x0301) << std::hex << "opcode " << op;
        EXPECT_EQ(ncpu.rS, 0xF0);
    }
    EXPECT_EQ(invalid, 105);
    place(0xC010, {0xD0, 0xE0});  // a taken branch to another page pays one more
    ncpu.rF = 0x20;
    ncpu.rPC = 0xC010;
    EXPECT_EQ(step(), 4);
    EXPECT_EQ(ncpu.rPC, 0xBFF2);
}

TEST_F(Cpu, InvalidOpcodeStopsTheRunWhenNotSkipped) {
    ncpu.trapbadops = 0;
    place(0x8000, {0xE8, 0x02, 0xE8});
    ncpu.rPC = 0x8000;
    ncpu.cycles = 100;
    EXPECT_EQ(n6502_execute(), -1);
    EXPECT_EQ(ncpu.rPC, 0x8001);
    EXPECT_EQ(ncpu.rX, 1);
    EXPECT_EQ(ncpu.cycles, 98);  // the invalid opcode is not charged
    EXPECT_EQ(n6502_execute(), -1);
    EXPECT_EQ(ncpu.rPC, 0x8001);
}

TEST_F(Cpu, ReadModifyWriteMakesOneReadThenOneWrite) {
    ReadAnswer = 0x41;
    place(0x8000, {0xEE, 0x02, 0x20, 0x8D, 0x00, 0x20, 0x8D, 0x00, 0x80});
    run_at(0x8000, 3);
    EXPECT_EQ(Events, "r2002 w2002=42 w2000=00 w8000=00 ");  // the read's low byte only
    EXPECT_EQ(PrgWindow[0], 0xEE);                           // writes never touch the PRG window
}

TEST_F(Cpu, PrgReadsNeverReachTheBus) {
    PrgWindow[0x7FFF] = 0x99;
    place(0x8000, {0xAD, 0xFF, 0xFF, 0xAD, 0x16, 0x40});
    run_at(0x8000, 2);
    EXPECT_EQ(Events, "r4016 ");
}

TEST_F(Cpu, RebaseRequestContinuesAtTheSameAddressInTheMovedMemory) {
    std::vector<uint8_t> other(0x8000, 0xEA);
    other[0x4003] = 0xA9;  // LDA #$77 at $C003 in the new mapping
    other[0x4004] = 0x77;
    MovedRom = other.data() - 0x8000;
    WriteAnswer = 1;
    place(0xC000, {0x8D, 0x00, 0x90, 0xA9, 0x11});  // STA $9000; LDA #$11
    run_at(0xC000, 2);
    EXPECT_EQ(ncpu.rA, 0x77);
    EXPECT_EQ(ncpu.rPC, 0xC005);
}

// Code that runs, branches or jumps across the edges of the fetch regions
// ($7FFF/$8000, $5FFF/$6000, $FFFF/$0000, $07FF/$0800); INX marks arrival.
TEST_F(Cpu, FetchesCrossEveryRegionEdge) {
    struct Place {
        uint16_t at;
        std::vector<uint8_t> bytes;
    };
    struct Case {
        std::vector<Place> code;
        uint16_t start;
        int steps;
        uint16_t pc;
        uint8_t a, x;
    } cases[] = {
        // clang-format off
        {{{0x7FFE, {0xA9, 0x12}}, {0x8000, {0xE8}}}, 0x7FFE, 2, 0x8001, 0x12, 1},
        {{{0x7FFF, {0xA2, 0x34}}}, 0x7FFF, 1, 0x8001, 0, 0x34},  // LDX # straddling $8000
        {{{0x7FFE, {0xAD, 0xFF, 0xFF}}, {0xFFFF, {0x5C}}}, 0x7FFE, 1, 0x8001, 0x5C, 0},
        {{{0x8000, {0xD0, 0xFC}}, {0x7FFE, {0xD0, 0x7F}}, {0x807F, {0xE8}}}, 0x8000, 3, 0x8080, 0, 1},
        {{{0xFFFE, {0xA9, 0x21}}, {0x0000, {0xE8}}}, 0xFFFE, 2, 0x0001, 0x21, 1},
        {{{0xFFFF, {0xA9}}, {0x0000, {0x66}}}, 0xFFFF, 1, 0x0001, 0x66, 0},  // operand at $0000
        {{{0xFFF0, {0xD0, 0x20}}, {0x0012, {0xE8}}}, 0xFFF0, 2, 0x0013, 0, 1},
        {{{0x0010, {0xD0, 0xDE}}, {0xFFF0, {0xE8}}}, 0x0010, 2, 0xFFF1, 0, 1},
        {{{0x5FFF, {0xE8}}, {0x6000, {0xE8}}}, 0x5FFF, 2, 0x6001, 0, 2},
        {{{0x07FF, {0xE8}}, {0x0000, {0xE8}}}, 0x07FF, 2, 0x0001, 0, 2},
        {{{0x8000, {0x4C, 0x03, 0x08}}, {0x0003, {0xE8}}}, 0x8000, 2, 0x0004, 0, 1},  // JMP to a mirror
        {{{0x8100, {0x60}}, {0x0100, {0xFF, 0xFF}}, {0x0000, {0xE8}}}, 0x8100, 2, 0x0001, 0, 1},
        {{{0x7FFE, {0x20, 0x00, 0x90}}, {0x9000, {0x60}}, {0x8001, {0xE8}}}, 0x7FFE, 3, 0x8002, 0, 1},
        // clang-format on
    };
    for (const Case& c : cases) {
        for (const Place& p : c.code)
            for (size_t i = 0; i < p.bytes.size(); ++i) place(uint16_t(p.at + i), {p.bytes[i]});
        ncpu.rF = 0x20;
        ncpu.rS = 0xFF;
        ncpu.rA = ncpu.rX = 0;
        run_at(c.start, c.steps);
        const uint16_t start = c.start;
        EXPECT_EQ(std::tuple(ncpu.rPC, ncpu.rA, ncpu.rX), std::tuple(c.pc, c.a, c.x)) << start;
    }
}

}  // namespace
