#include "core/frame.h"

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/machine.h"
#include "cpu/n6502.h"
#include "ppu/ppu.h"

namespace {
constexpr int32_t kVisibleLines = 240;
constexpr int32_t kTrailingLines = 20;

int32_t run_budget(uint32_t cycles) {
    ncpu.totalcycles += cycles;
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
        mmc3_line_tick();
        RenderBackgroundLine();
        ++MachineState.Scanline;
    }
    PpuRegisters.MidFrameAddressWrite = 0;
    MachineState.FrameLine = kVisibleLines;
    run_budget(3 * line);
    end_sound_line(3 * line);
    mmc3_vblank_reload();
    MachineState.InVblank = 1;
    PpuRegisters.PpuStatus |= PpuStatusVblank;
    if (MachineState.NmiEnabled) n6502_nmi();
    for (int32_t i = 0; i < kTrailingLines; ++i) {
        MachineState.FrameLine = uint32_t(kVisibleLines + 3 + i);
        if (run_budget(line) != 0) return -1;
        end_sound_line(line);
    }
    return 0;
}
}  // namespace

int32_t run_frame() {
    const int32_t result = run_lines();
    n6502_settle();
    return result;
}
