// Emulated 6502 instructions per second, in line-sized budgets.
#include <benchmark/benchmark.h>

#include <cstring>

#include "core/machine.h"
#include "cpu/n6502.h"

namespace {

uint32_t bench_read(uint32_t) { return 0; }
uint32_t bench_write(uint32_t, uint32_t) { return 0; }

// A loop that mixes loads, stores, ALU work, indexed and indirect addressing,
// branches and a subroutine call: it sums a 256-byte table through a pointer.
const uint8_t kProgram[] = {
    0xA9, 0x00,        // $8000 LDA #$00
    0x85, 0x10,        //       STA $10       pointer low
    0xA9, 0x03,        //       LDA #$03
    0x85, 0x11,        //       STA $11       pointer high ($0300)
    0xA0, 0x00,        // $8008 LDY #$00
    0xA2, 0x00,        //       LDX #$00
    0x18,              // $800C CLC
    0xB1, 0x10,        //       LDA ($10),Y
    0x7D, 0x00, 0x04,  //       ADC $0400,X
    0x9D, 0x00, 0x04,  //       STA $0400,X
    0x29, 0x7F,        //       AND #$7F
    0x45, 0x20,        //       EOR $20
    0x85, 0x20,        //       STA $20
    0x20, 0x30, 0x80,  //       JSR $8030
    0xE8,              //       INX
    0xC8,              //       INY
    0xD0, 0xE8,        //       BNE $800C
    0x4C, 0x08, 0x80,  //       JMP $8008
};
const uint8_t kSubroutine[] = {
    0xA5, 0x20,  // $8030 LDA $20
    0x4A,        //       LSR A
    0xC9, 0x40,  //       CMP #$40
    0x90, 0x02,  //       BCC +2
    0xE6, 0x21,  //       INC $21
    0x60,        //       RTS
};

void CpuInstructions(benchmark::State& state) {
    allocate_memories();
    std::memcpy(PrgWindow, kProgram, sizeof kProgram);
    std::memcpy(PrgWindow + 0x30, kSubroutine, sizeof kSubroutine);
    for (int i = 0; i < 256; ++i) CpuRam[0x300 + i] = uint8_t(i * 7);
    ncpu = n6502cpu{};
    ncpu.RAM = CpuRam;
    ncpu.SRAM = SaveRam - 0x6000;
    ncpu.ROM = PrgWindow - 0x8000;
    ncpu.trapbadops = 1;
    ncpu.readtrap = bench_read;
    ncpu.writetrap = bench_write;
    ncpu.rF = 0x22;
    ncpu.rS = 0xFF;
    ncpu.rPC = 0x8000;

    // The loop averages about 3.4 cycles an instruction; count exactly by
    // stepping one iteration of it instruction by instruction.
    int64_t cycles = 0;
    for (auto _ : state) {
        for (int line = 0; line < 262; ++line) {
            ncpu.cycles = 113;
            n6502_execute();
            cycles += 113 - ncpu.cycles;
        }
    }
    // Cost of one pass of the inner loop (17 instructions): measured below.
    static const double kCyclesPerInstruction = [] {
        n6502cpu saved = ncpu;
        ncpu.rPC = 0x800C;
        int instructions = 0, spent = 0;
        do {
            ncpu.cycles = 1;
            n6502_execute();
            spent += 1 - ncpu.cycles;
            ++instructions;
        } while (ncpu.rPC != 0x800C);
        ncpu = saved;
        return double(spent) / instructions;
    }();
    state.SetItemsProcessed(int64_t(double(cycles) / kCyclesPerInstruction));
    state.counters["cycles/s"] = benchmark::Counter(double(cycles), benchmark::Counter::kIsRate);
    free_memories();
}
BENCHMARK(CpuInstructions)->Unit(benchmark::kMicrosecond);

}  // namespace
