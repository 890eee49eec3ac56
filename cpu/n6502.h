// The 6502 interpreter: one process-wide context, run in budgets of cycles.
#pragma once
#include <cstdint>

using n6502readtrap = uint32_t (*)(uint32_t address);
using n6502writetrap = uint32_t (*)(uint32_t value, uint32_t address);

struct n6502cpu {
    uint8_t rA;
    uint8_t rS;
    uint8_t rX;
    uint8_t rY;
    uint8_t rF;
    uint16_t rPC;
    uint8_t trapbadops;
    // The four flag cells, consecutive so that one flagtable entry sets them all.
    uint8_t zero;   // Z is set exactly when this is 0
    uint8_t over;   // V: 0 or 1
    uint8_t carry;  // C: 0 or 1, never anything else
    uint8_t sign;   // N is bit 7 of this
    int32_t cycles;
    uint32_t totalcycles;
    uint8_t* PCBASE;
    uint8_t* ROM;   // PrgWindow - 0x8000
    uint8_t* RAM;   // CpuRam
    uint8_t* SRAM;  // SaveRam - 0x6000: code at $6000-$7FFF runs from save RAM
    n6502readtrap readtrap;
    n6502writetrap writetrap;
    // For the steady-loop shortcut of n6502_run_budget (null: none): whether
    // a trap access answers and acts by what devicestate returns alone, and
    // that state.
    bool (*repeatabletrap)(uint32_t address, bool write);
    uint64_t (*devicestate)();
    // For the wait-loop shortcut (null: none): with left cycles of the
    // running budget to go, for how many more cycles reads of $4015 answer
    // as they do now (their own clearing of the frame interrupt flag aside).
    int32_t (*soundquiet)(int32_t left);
    // Nonzero while a cartridge holds the interrupt line: CLI, PLP and RTI
    // take the interrupt as soon as they clear I.
    uint8_t irqline;
    // Cycles a device took from the CPU during a trapped write that returned
    // nonzero (sprite DMA): charged at once, past the budget's end if need be.
    int32_t stall;
};

extern n6502cpu ncpu;

// Flag cells for each status byte, in the order zero, over, carry, sign.
struct n6502flags {
    uint8_t zero, over, carry, sign;
};
extern const n6502flags flagtable[256];

// Runs whole instructions while ncpu.cycles is positive. Returns 0 when the
// budget is used up, -1 when it stopped at an invalid opcode (trapbadops = 0).
int32_t n6502_execute();
// One budget of the frame driver: sets ncpu.cycles and runs. With the
// shortcuts on (cpu/shortcuts.h), a budget spent in a wait loop or a steady
// main loop may be charged without running; the registers then stay as they
// were until n6502_settle.
int32_t n6502_run_budget(int32_t cycles);
// Puts the registers where the budgets charged without running left them.
// The frame driver calls it at the frame's end, the interrupts before they act; it
// also lets loops refused as waits be looked at again.
void n6502_settle();
// Takes the non-maskable interrupt now (between runs only).
void n6502_nmi();
// Takes the maskable interrupt unless I is set; a refused request is forgotten.
void n6502_int();

// Packs the flag cells and rF's bits 2-5 into a status byte.
uint8_t n6502_pack(uint8_t f, uint8_t zero, uint8_t over, uint8_t carry, uint8_t sign);
