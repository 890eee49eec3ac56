// The 6502 interpreter on small programs placed straight into its memories,
// with recording bus callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "core/machine.h"
#include "cpu/n6502.h"
#include "tests/test_support.h"

namespace {

struct BusEvent {
    char kind;  // 'r' or 'w'
    uint32_t address;
    uint32_t value;
};
std::vector<BusEvent> Events;
uint8_t ReadAnswer = 0;
uint32_t WriteAnswer = 0;
uint8_t* MovedRom = nullptr;  // where a rebase request moves the ROM pointer

uint32_t record_read(uint32_t address) {
    Events.push_back({'r', address, 0});
    return 0xFFFFFF00u | ReadAnswer;  // only the low byte may count
}

uint32_t record_write(uint32_t value, uint32_t address) {
    Events.push_back({'w', address, value});
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

// ---------------------------------------------------------------- flag cells

TEST_F(Cpu, EveryStatusByteSurvivesUnpackAndPack) {
    for (unsigned f = 0; f < 256; ++f) {
        const n6502flags& e = flagtable[f];
        EXPECT_EQ(n6502_pack(uint8_t(f), e.zero, e.over, e.carry, e.sign), f) << f;
        EXPECT_LE(e.carry, 1);
        EXPECT_LE(e.over, 1);
    }
}

TEST_F(Cpu, StatusSurvivesARunThatTouchesNoFlags) {
    place(0x8000, {0xEA});  // NOP
    for (unsigned f = 0; f < 256; ++f) {
        ncpu.rF = uint8_t(f);
        run_at(0x8000, 1);
        EXPECT_EQ(ncpu.rF, f);
    }
}

// ---------------------------------------------------------- addressing modes

TEST_F(Cpu, IndirectPointersWrapInsidePageZero) {
    CpuRam[0x00FF] = 0x34;
    CpuRam[0x0000] = 0x02;
    CpuRam[0x0100] = 0x12;  // would be the high byte if the pointer left page zero
    CpuRam[0x0234] = 0x5A;
    CpuRam[0x0235] = 0x6B;
    place(0x8000, {0xA2, 0x00, 0xA1, 0xFF,    // LDX #0; LDA ($FF,X)
                   0xA0, 0x01, 0xB1, 0xFF,    // LDY #1; LDA ($FF),Y
                   0xA2, 0x10, 0xA1, 0xEF});  // LDX #$10; LDA ($EF,X)
    run_at(0x8000, 2);
    EXPECT_EQ(ncpu.rA, 0x5A);
    run_at(0x8004, 2);
    EXPECT_EQ(ncpu.rA, 0x6B);
    run_at(0x8008, 2);
    EXPECT_EQ(ncpu.rA, 0x5A);
}

TEST_F(Cpu, IndirectIndexedAddsYAndWrapsAt64K) {
    CpuRam[0x10] = 0xF0;
    CpuRam[0x11] = 0xFF;
    CpuRam[0x0010] = 0xF0;                    // same byte: $FFF0 + $20 wraps to $0010
    place(0x8000, {0xA0, 0x20, 0xB1, 0x10});  // LDY #$20; LDA ($10),Y
    run_at(0x8000, 2);
    EXPECT_EQ(ncpu.rA, 0xF0);
}

TEST_F(Cpu, ZeroPageIndexWrapsInsidePageZero) {
    CpuRam[0x10] = 0x77;
    CpuRam[0x110] = 0x11;
    place(0x8000, {0xA2, 0x20, 0xB5, 0xF0, 0xA0, 0x30, 0xB6, 0xE0});  // LDA $F0,X; LDX $E0,Y
    run_at(0x8000, 4);
    EXPECT_EQ(ncpu.rA, 0x77);
    EXPECT_EQ(ncpu.rX, 0x77);
}

TEST_F(Cpu, JumpIndirectPointerNeverCarriesIntoNextPage) {
    CpuRam[0x10FF & 0x7FF] = 0x34;
    CpuRam[0x1000 & 0x7FF] = 0x92;
    CpuRam[0x1100 & 0x7FF] = 0x55;
    place(0x8000, {0x6C, 0xFF, 0x10});
    EXPECT_EQ((ncpu.rPC = 0x8000, step()), 5);
    EXPECT_EQ(ncpu.rPC, 0x9234);
}

TEST_F(Cpu, IndexedModesPayNothingForAPageCrossing) {
    CpuRam[0x1300 & 0x7FF] = 0x42;
    place(0x8000, {0xA2, 0x01, 0xBD, 0xFF, 0x12, 0x9D, 0xFF, 0x12});
    run_at(0x8000, 1);
    EXPECT_EQ(step(), 4);  // LDA $12FF,X reads $1300
    EXPECT_EQ(ncpu.rA, 0x42);
    EXPECT_EQ(step(), 5);  // STA abs,X always costs 5
}

TEST_F(Cpu, RamMirrorsFoldToTheFirstTwoKilobytes) {
    CpuRam[0] = 0x3C;
    place(0x8000, {0xAD, 0x00, 0x08, 0xAE, 0x00, 0x10, 0xAC, 0x00, 0x18,  // loads
                   0xA9, 0x66, 0x8D, 0xFF, 0x1F});                        // STA $1FFF
    run_at(0x8000, 5);
    EXPECT_EQ(ncpu.rA, 0x66);
    EXPECT_EQ(ncpu.rX, 0x3C);
    EXPECT_EQ(ncpu.rY, 0x3C);
    EXPECT_EQ(CpuRam[0x7FF], 0x66);
    EXPECT_TRUE(Events.empty());
}

// ---------------------------------------------------------------- arithmetic

TEST_F(Cpu, BinaryAddSubtractCompareAndBit) {
    place(0x8000, {0xA9, 0x50, 0x69, 0x50});  // LDA #$50; ADC #$50
    run_at(0x8000, 2);
    EXPECT_EQ(ncpu.rA, 0xA0);
    EXPECT_EQ(ncpu.rF & (C | Z | V | N), V | N);

    place(0x8010, {0x38, 0xA9, 0x00, 0xE9, 0x01});  // SEC; LDA #0; SBC #1
    run_at(0x8010, 3);
    EXPECT_EQ(ncpu.rA, 0xFF);
    EXPECT_EQ(ncpu.rF & (C | Z | V | N), N);

    place(0x8020, {0xA9, 0x40, 0xC9, 0x40});  // CMP #$40 with A = $40
    run_at(0x8020, 2);
    EXPECT_EQ(ncpu.rF & (C | Z | N), C | Z);

    CpuRam[0x10] = 0xC0;
    place(0x8030, {0xA9, 0x00, 0x24, 0x10});  // BIT $10
    run_at(0x8030, 2);
    EXPECT_EQ(ncpu.rF & (Z | V | N), Z | V | N);
    EXPECT_EQ(ncpu.rA, 0);
}

TEST_F(Cpu, CompareLeavesOverflowAlone) {
    place(0x8000, {0xA9, 0x7F, 0x69, 0x01, 0xC9, 0x10});  // ADC sets V; CMP keeps it
    run_at(0x8000, 3);
    EXPECT_TRUE(flag(V));
    EXPECT_TRUE(flag(C));
}

TEST_F(Cpu, RotatesCarryThroughBit0And7) {
    place(0x8000, {0x38, 0xA9, 0x80, 0x2A, 0x6A, 0x6A});  // SEC; LDA #$80; ROL; ROR; ROR
    run_at(0x8000, 3);
    EXPECT_EQ(ncpu.rA, 0x01);
    EXPECT_TRUE(flag(C));
    step();
    EXPECT_EQ(ncpu.rA, 0x80);
    EXPECT_TRUE(flag(C));
    step();
    EXPECT_EQ(ncpu.rA, 0xC0);
    EXPECT_FALSE(flag(C));
    EXPECT_TRUE(flag(N));
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
    for (int i = 0; i < 4; ++i) EXPECT_EQ(step(), 4);
    ncpu.rF = 0x22;
    ncpu.rPC = 0x8002;
    EXPECT_EQ(step(), 6);  // binary (Indirect,X) again costs 6
}

// --------------------------------------------------------- stack, interrupts

TEST_F(Cpu, PhpPushesBit4AsTheStatusHoldsIt) {
    set_vector(0xFFFE, 0x9000);
    place(0x8000, {0x08, 0x00});                    // PHP; BRK
    place(0x9000, {0x08, 0xA9, 0x00, 0x48, 0x28});  // PHP; LDA #0; PHA; PLP
    run_at(0x8000, 1);
    EXPECT_EQ(CpuRam[0x1FF], 0x22);
    step();  // BRK
    EXPECT_EQ(CpuRam[0x1FC], 0x32);
    step();  // PHP after BRK
    EXPECT_EQ(CpuRam[0x1FB], 0x36);
    step();
    step();
    step();  // PLP of $00
    EXPECT_EQ(ncpu.rF, 0x20);
}

TEST_F(Cpu, JsrAndRtsRoundTrip) {
    place(0xC000, {0x20, 0x00, 0x90});
    place(0x9000, {0x60});
    run_at(0xC000, 1);
    EXPECT_EQ(CpuRam[0x1FF], 0xC0);
    EXPECT_EQ(CpuRam[0x1FE], 0x02);
    EXPECT_EQ(ncpu.rPC, 0x9000);
    step();
    EXPECT_EQ(ncpu.rPC, 0xC003);
    EXPECT_EQ(ncpu.rS, 0xFF);
}

TEST_F(Cpu, RtsFromFFFFResumesAtZero) {
    CpuRam[0x1FE] = 0xFF;
    CpuRam[0x1FF] = 0xFF;
    ncpu.rS = 0xFD;
    place(0x8000, {0x60});
    CpuRam[0] = 0xE8;  // INX at $0000
    run_at(0x8000, 2);
    EXPECT_EQ(ncpu.rX, 1);
    EXPECT_EQ(ncpu.rPC, 0x0001);
}

TEST_F(Cpu, BrkIgnoresIAndRtiRestoresEverything) {
    set_vector(0xFFFE, 0x9000);
    place(0xC000, {0x00, 0xFF, 0xE8});  // BRK, padding byte, INX
    place(0x9000, {0x40});              // RTI
    ncpu.rF = 0x22 | I | C;
    ncpu.rPC = 0xC000;
    EXPECT_EQ(step(), 7);
    EXPECT_EQ(CpuRam[0x1FF], 0xC0);
    EXPECT_EQ(CpuRam[0x1FE], 0x02);
    EXPECT_EQ(CpuRam[0x1FD], 0x22 | I | C | B);
    EXPECT_EQ(ncpu.rPC, 0x9000);
    EXPECT_TRUE(flag(I));
    step();
    EXPECT_EQ(ncpu.rPC, 0xC002);
    EXPECT_EQ(ncpu.rF, 0x22 | I | C | B);
    step();
    EXPECT_EQ(ncpu.rX, 1);
}

TEST_F(Cpu, StackWrapsWithinPageOne) {
    ncpu.rS = 0x00;
    place(0x8000, {0xA9, 0x5E, 0x48, 0x68});
    run_at(0x8000, 2);
    EXPECT_EQ(CpuRam[0x100], 0x5E);
    EXPECT_EQ(ncpu.rS, 0xFF);
    step();
    EXPECT_EQ(ncpu.rS, 0x00);
}

TEST_F(Cpu, InterruptEntries) {
    set_vector(0xFFFA, 0x8123);
    set_vector(0xFFFE, 0x8456);
    ncpu.rPC = 0xC001;
    ncpu.rF = 0x32;
    n6502_nmi();
    EXPECT_EQ(CpuRam[0x1FD], 0x22);
    EXPECT_EQ(ncpu.rF, 0x26);
    EXPECT_EQ(ncpu.rPC, 0x8123);
    EXPECT_EQ(ncpu.rS, 0xFC);

    // With I set the maskable request does nothing at all and is forgotten.
    n6502_int();
    EXPECT_EQ(ncpu.rPC, 0x8123);
    EXPECT_EQ(ncpu.rS, 0xFC);

    ncpu.rF = 0x22;
    n6502_int();
    EXPECT_EQ(ncpu.rPC, 0x8456);
    EXPECT_EQ(ncpu.rS, 0xF9);
    EXPECT_EQ(CpuRam[0x1FA], 0x22);
    EXPECT_EQ(ncpu.rF, 0x26);
}

// ------------------------------------------------------- budget and branches

TEST_F(Cpu, RunWithNoBudgetDoesNothing) {
    place(0x8000, {0xE8});
    for (int32_t budget : {0, -5}) {
        ncpu.rPC = 0x8000;
        ncpu.rF = 0xE7;
        ncpu.cycles = budget;
        EXPECT_EQ(n6502_execute(), 0);
        EXPECT_EQ(ncpu.rPC, 0x8000);
        EXPECT_EQ(ncpu.rX, 0);
        EXPECT_EQ(ncpu.rF, 0xE7);
        EXPECT_EQ(ncpu.cycles, budget);
    }
}

TEST_F(Cpu, LastInstructionMayOverdrawTheBudget) {
    set_vector(0xFFFE, 0x9000);
    place(0x8000, {0x00});
    ncpu.rPC = 0x8000;
    ncpu.cycles = 1;
    n6502_execute();
    EXPECT_EQ(ncpu.cycles, -6);

    place(0x8100, {0xE8, 0xE8, 0xE8, 0xE8, 0xE8});  // five 2-cycle INX
    ncpu.rPC = 0x8100;
    ncpu.rX = 0;
    ncpu.cycles = 5;
    n6502_execute();
    EXPECT_EQ(ncpu.rX, 3);
    EXPECT_EQ(ncpu.cycles, -1);
    EXPECT_EQ(ncpu.totalcycles, 0u);
}

TEST_F(Cpu, BranchCostsAndTargets) {
    place(0xC010, {0xD0, 0x05});
    ncpu.rF = 0x20;  // Z clear
    ncpu.rPC = 0xC010;
    EXPECT_EQ(step(), 3);
    EXPECT_EQ(ncpu.rPC, 0xC017);

    place(0xC010, {0xD0, 0xE0});
    ncpu.rPC = 0xC010;
    EXPECT_EQ(step(), 4);
    EXPECT_EQ(ncpu.rPC, 0xBFF2);

    ncpu.rF = 0x22;  // Z set: not taken
    ncpu.rPC = 0xC010;
    EXPECT_EQ(step(), 2);
    EXPECT_EQ(ncpu.rPC, 0xC012);
}

// ------------------------------------------------------------ invalid opcodes

TEST_F(Cpu, InvalidOpcodesAreOneByteWhenSkipped) {
    place(0x8000, {0x04, 0xE8, 0x0C, 0xE8, 0xFF});
    ncpu.rPC = 0x8000;
    EXPECT_EQ(step(), 4);
    EXPECT_EQ(ncpu.rPC, 0x8001);
    step();  // the byte after $04 runs as INX
    EXPECT_EQ(ncpu.rX, 1);
    step();
    step();
    EXPECT_EQ(ncpu.rX, 2);
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

TEST_F(Cpu, EveryOpcodeOutsideTheDocumentedSetIsSkipped) {
    static const uint8_t invalid[] = {
        0x02, 0x03, 0x04, 0x07, 0x0B, 0x0C, 0x0F, 0x12, 0x13, 0x14, 0x17, 0x1A, 0x1B, 0x1C, 0x1F,
        0x22, 0x23, 0x27, 0x2B, 0x2F, 0x32, 0x33, 0x34, 0x37, 0x3A, 0x3B, 0x3C, 0x3F, 0x42, 0x43,
        0x44, 0x47, 0x4B, 0x4F, 0x52, 0x53, 0x54, 0x57, 0x5A, 0x5B, 0x5C, 0x5F, 0x62, 0x63, 0x64,
        0x67, 0x6B, 0x6F, 0x72, 0x73, 0x74, 0x77, 0x7A, 0x7B, 0x7C, 0x7F, 0x80, 0x82, 0x83, 0x87,
        0x89, 0x8B, 0x8F, 0x92, 0x93, 0x97, 0x9B, 0x9C, 0x9E, 0x9F, 0xA3, 0xA7, 0xAB, 0xAF, 0xB2,
        0xB3, 0xB7, 0xBB, 0xBF, 0xC2, 0xC3, 0xC7, 0xCB, 0xCF, 0xD2, 0xD3, 0xD4, 0xD7, 0xDA, 0xDB,
        0xDC, 0xDF, 0xE2, 0xE3, 0xE7, 0xEB, 0xEF, 0xF2, 0xF3, 0xF4, 0xF7, 0xFA, 0xFB, 0xFC, 0xFF};
    static_assert(sizeof invalid == 105);
    for (uint8_t op : invalid) {
        place(0x8000, {op});
        ncpu.rPC = 0x8000;
        ncpu.rF = 0x22;
        EXPECT_EQ(step(), 4) << int(op);
        EXPECT_EQ(ncpu.rPC, 0x8001) << int(op);
        EXPECT_EQ(ncpu.rS, 0xFF);
    }
}

// ----------------------------------------------------------- bus callbacks

TEST_F(Cpu, ReadModifyWriteMakesOneReadThenOneWrite) {
    ReadAnswer = 0x41;
    place(0x8000, {0xEE, 0x02, 0x20, 0x8D, 0x00, 0x20, 0x8D, 0x00, 0x80});
    run_at(0x8000, 3);
    ASSERT_EQ(Events.size(), 4u);
    EXPECT_EQ(Events[0].kind, 'r');
    EXPECT_EQ(Events[0].address, 0x2002u);
    EXPECT_EQ(Events[1].kind, 'w');
    EXPECT_EQ(Events[1].value, 0x42u);  // only the low byte of the read counted
    EXPECT_EQ(Events[2].kind, 'w');     // STA $2000 never reads
    EXPECT_EQ(Events[2].address, 0x2000u);
    EXPECT_EQ(Events[3].address, 0x8000u);
    EXPECT_EQ(PrgWindow[0], 0xEE);  // writes never touch the PRG window
}

TEST_F(Cpu, PrgReadsNeverReachTheBus) {
    PrgWindow[0x7FFF] = 0x99;
    place(0x8000, {0xAD, 0xFF, 0xFF, 0xAD, 0x16, 0x40});
    run_at(0x8000, 2);
    ASSERT_EQ(Events.size(), 1u);
    EXPECT_EQ(Events[0].address, 0x4016u);
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

// ---------------------------------------------------------- region crossings

TEST_F(Cpu, CodeRunsFromLowRamIntoPrgAcross8000) {
    place(0x7FFE, {0xA9, 0x12});  // LDA #$12 at $7FFE (fetched from CPU RAM)
    place(0x8000, {0xE8});
    run_at(0x7FFE, 2);
    EXPECT_EQ(ncpu.rA, 0x12);
    EXPECT_EQ(ncpu.rX, 1);
    EXPECT_EQ(ncpu.rPC, 0x8001);
}

TEST_F(Cpu, InstructionStraddling8000TakesEachByteFromItsOwnAddress) {
    place(0x7FFF, {0xA2, 0x34});  // LDX #$34: opcode in RAM, operand in PRG
    place(0x7FFE, {0xAD});        // and LDA abs at $7FFE: operand $7FFF/$8000
    run_at(0x7FFF, 1);
    EXPECT_EQ(ncpu.rX, 0x34);
    EXPECT_EQ(ncpu.rPC, 0x8001);

    PrgWindow[0x7FFF] = 0x5C;
    place(0x7FFE, {0xAD, 0xFF});
    PrgWindow[0] = 0xFF;  // LDA $FFFF
    run_at(0x7FFE, 1);
    EXPECT_EQ(ncpu.rA, 0x5C);
    EXPECT_EQ(ncpu.rPC, 0x8001);
}

TEST_F(Cpu, BranchesCross8000BothWays) {
    place(0x8000, {0xD0, 0xFC});  // BNE back to $7FFE
    place(0x7FFE, {0xD0, 0x7F});  // BNE forward to $807F
    place(0x807F, {0xE8});
    ncpu.rF = 0x20;
    run_at(0x8000, 1);
    EXPECT_EQ(ncpu.rPC, 0x7FFE);
    step();
    EXPECT_EQ(ncpu.rPC, 0x807F);
    step();
    EXPECT_EQ(ncpu.rX, 1);
}

TEST_F(Cpu, CodeRunsPastFFFFIntoZeroPage) {
    place(0xFFFE, {0xA9, 0x21});  // LDA #$21, then $0000
    CpuRam[0] = 0xE8;
    run_at(0xFFFE, 2);
    EXPECT_EQ(ncpu.rA, 0x21);
    EXPECT_EQ(ncpu.rX, 1);
    EXPECT_EQ(ncpu.rPC, 0x0001);

    place(0xFFFF, {0xA0});  // LDY #imm with its operand at $0000
    CpuRam[0] = 0x66;
    run_at(0xFFFF, 1);
    EXPECT_EQ(ncpu.rY, 0x66);
    EXPECT_EQ(ncpu.rPC, 0x0001);
}

TEST_F(Cpu, BranchForwardPastFFFFWraps) {
    place(0xFFF0, {0xD0, 0x20});  // $FFF2 + $20 = $0012
    CpuRam[0x12] = 0xE8;
    ncpu.rF = 0x20;
    run_at(0xFFF0, 2);
    EXPECT_EQ(ncpu.rX, 1);
    EXPECT_EQ(ncpu.rPC, 0x0013);
}

TEST_F(Cpu, BranchBackFromZeroPageWrapsIntoPrg) {
    place(0x0010, {0xD0, 0xDE});  // $0012 - $22 = $FFF0
    place(0xFFF0, {0xE8});
    ncpu.rF = 0x20;
    run_at(0x0010, 2);
    EXPECT_EQ(ncpu.rX, 1);
    EXPECT_EQ(ncpu.rPC, 0xFFF1);
}

TEST_F(Cpu, CodeRunningPast7FFFInWorkRamFoldsIntoTheMirror) {
    place(0x07FF, {0xE8});  // INX at $07FF, then $0800 = $0000
    CpuRam[0] = 0xC8;       // INY
    CpuRam[0x800] = 0x00;   // never fetched
    run_at(0x07FF, 2);
    EXPECT_EQ(ncpu.rX, 1);
    EXPECT_EQ(ncpu.rY, 1);
    EXPECT_EQ(ncpu.rPC, 0x0001);
}

TEST_F(Cpu, JumpIntoAMirrorRunsTheFirstTwoKilobytes) {
    CpuRam[3] = 0xE8;
    place(0x8000, {0x4C, 0x03, 0x08});
    run_at(0x8000, 2);
    EXPECT_EQ(ncpu.rX, 1);
    EXPECT_EQ(ncpu.rPC, 0x0004);
}

TEST_F(Cpu, JsrFromAStraddlingInstructionReturnsCorrectly) {
    place(0x7FFE, {0x20, 0x00, 0x90});  // JSR $9000 across $8000
    place(0x9000, {0x60});
    run_at(0x7FFE, 1);
    EXPECT_EQ(ncpu.rPC, 0x9000);
    step();
    EXPECT_EQ(ncpu.rPC, 0x8001);
}

}  // namespace
