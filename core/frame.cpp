#include "core/frame.h"

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/machine.h"
#include "cpu/n6502.h"
#include "ppu/ppu.h"

namespace {
constexpr int32_t kVisibleLines = 240;
constexpr int32_t kTrailingLines = 20;
// CPU cycles between the vertical-blank bit and the NMI, taken from the first
// trailing line: enough for a main loop that polls $2002 to read the bit once
// before the NMI handler's own read takes it away (on the console too the
// bit comes a little before the NMI).
constexpr uint32_t kVblankLead = 8;

// Longer than any instruction's overshoot of its budget.
constexpr int32_t kInstructionOvershoot = 7;

// A budget that a sprite DMA ran past (ncpu.cycles holds the overshoot)
// hands the rest on in whole budgets, rounded to the nearest: budgets keep
// their length, which the CPU's wait-loop tables are built for.
int32_t run_budget(uint32_t cycles) {
    ncpu.totalcycles += cycles;
    if (ncpu.cycles < -kInstructionOvershoot) {
        if (-ncpu.cycles * 2 >= int32_t(cycles)) {
            ncpu.cycles += int32_t(cycles);
            return 0;
        }
        ncpu.cycles = 0;
    }
    return n6502_run_budget(int32_t(cycles));
}

// The sound clock after a budget: it ran until used up, the last
// instruction's overshoot with it (a charged budget leaves the same).
void end_sound_line(uint32_t cycles) {
    const int32_t left = ncpu.cycles;
    const int32_t ran = left <= 0 ? int32_t(cycles) - (left < -8 ? -8 : left) : int32_t(cycles);
    apu_end_line(ran, !(ncpu.rF & 0x04));
}

int32_t run_lines() {
    if (MachineState.Halted) return 0;
    BuildSpriteTables();
    PpuStartFrame();
    MachineState.InVblank = 0;
    MachineState.Scanline = 0;
    apu_begin_frame();
    const uint32_t line = MachineState.CyclesPerLine;
    while (MachineState.Scanline < kVisibleLines) {
        MachineState.FrameLine = uint32_t(MachineState.Scanline);
        run_budget(line);
        end_sound_line(line);
        mapper_line_tick(line);
        RenderBackgroundLine();
        ++MachineState.Scanline;
    }
    PpuRegisters.MidFrameAddressWrite = 0;
    MachineState.FrameLine = kVisibleLines;
    run_budget(3 * line);
    end_sound_line(3 * line);
    mapper_line_tick(3 * line);
    MachineState.InVblank = 1;
    PpuRegisters.PpuStatus |= PpuStatusVblank;
    MachineState.FrameLine = kVisibleLines + 3;
    run_budget(kVblankLead);
    end_sound_line(kVblankLead);
    if (MachineState.NmiEnabled) n6502_nmi();
    for (int32_t i = 0; i < kTrailingLines; ++i) {
        MachineState.FrameLine = uint32_t(kVisibleLines + 3 + i);
        // The first trailing line gave its first cycles to the lead above.
        const uint32_t budget = i == 0 ? line - kVblankLead : line;
        if (run_budget(budget) != 0) return -1;
        end_sound_line(budget);
        mapper_line_tick(line);
    }
    return 0;
}
}  // namespace

int32_t run_frame() {
    const int32_t result = run_lines();
    n6502_settle();
    return result;
}
