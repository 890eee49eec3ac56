#include "core/frame.h"

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/machine.h"
#include "cpu/n6502.h"
#include "cpu/shortcuts.h"
#include "ppu/ppu.h"

namespace {
constexpr int32_t kVisibleLines = 240;
constexpr int32_t kTrailingLines = 20;
// CPU cycles between the vertical-blank bit and the NMI, taken from the first
// trailing line: enough for a main loop that polls $2002 to read the bit once
// before the NMI handler's own read takes it away (on the console too the
// bit comes a little before the NMI).
constexpr uint32_t kVblankLead = 8;

// The console's line: 341 picture dots, 113 whole CPU cycles and two thirds.
constexpr uint32_t kConsoleLineCycles = 113;
constexpr uint32_t kConsoleLineDots = 341;
constexpr uint32_t kDotsPerCycle = 3;
// The dot of a line where its budget ends and the renderer draws it.
constexpr uint32_t kDrawDot = 128;

// Each budget runs from where the CPU stands: an instruction (or a sprite
// DMA) that ran past the end of the last budget took its extra cycles from
// this one, so the CPU keeps the frame's time exactly. A CPU that stopped
// early (an opcode it cannot run) leaves nothing to carry.
int32_t run_budget(uint32_t cycles) {
    ncpu.totalcycles += cycles;
    const int32_t overshoot = ncpu.cycles < 0 ? ncpu.cycles : 0;
    return n6502_run_budget(int32_t(cycles) + overshoot);
}

// The sound clock after a budget: its cycles (an overshoot is counted in the
// next budget, which it shortens).
void end_sound_line(uint32_t cycles) { apu_end_line(int32_t(cycles), !(ncpu.rF & 0x04)); }

// Each line's budget and start, made for the line length LineBudgetsFor once
// rather than at every use.
uint32_t LineBudgets[FrameLines];
uint32_t LineStarts[FrameLines + 1];
uint32_t LineBudgetsFor;

void make_line_tables() {
    LineBudgetsFor = MachineState.CyclesPerLine;
    for (uint32_t line = 0; line <= FrameLines; ++line)
        LineStarts[line] = frame_cycle_of_line(line);
    for (uint32_t line = 0; line < FrameLines; ++line)
        LineBudgets[line] = LineStarts[line + 1] - LineStarts[line];
}

}  // namespace

const uint32_t* frame_line_budgets() {
    if (LineBudgetsFor != MachineState.CyclesPerLine) make_line_tables();
    return LineBudgets;
}

const uint32_t* frame_line_starts() {
    if (LineBudgetsFor != MachineState.CyclesPerLine) make_line_tables();
    return LineStarts;
}

namespace {

// Lines run on (cpu/shortcuts.h): at the end of line FrameLine's budget,
// the CPU may go on into the next visible line while the line's end holds
// nothing that could interrupt it (interrupts_allowed: I is clear); its sound
// is moved over now, its drawing waits for catch_up_lines, which the bus's
// traps call first meanwhile.
struct LinesBehind {
    bool behind;
    n6502readtrap read;
    n6502writetrap write;
    // The run stopped where a counter raised the interrupt line: the line's
    // end has had its sound and its count, and waits for the interrupt.
    bool counted;
} Behind;

// The lines the CPU ran on through, drawn, and the bus's traps back.
void catch_up_lines() {
    if (!Behind.behind) return;
    Behind.behind = false;
    ncpu.readtrap = Behind.read;
    ncpu.writetrap = Behind.write;
    while (MachineState.Scanline < int32_t(MachineState.FrameLine)) {
        RenderBackgroundLine();
        ++MachineState.Scanline;
    }
}

// A device reached one line after the run went on draws that line from
// inside the trap, which costs more than it saves: a program that reaches a
// device on every line runs line by line for the rest of the frame.
void catch_up_for_device() {
    if (MachineState.FrameLine - uint32_t(MachineState.Scanline) <= 1) RunOn.next = nullptr;
    catch_up_lines();
}

uint32_t read_behind(uint32_t address) {
    catch_up_for_device();
    return ncpu.readtrap(address);
}

uint32_t write_behind(uint32_t value, uint32_t address) {
    catch_up_for_device();
    return ncpu.writetrap(value, address);
}

int32_t run_on_next(bool interrupts_allowed) {
    const uint32_t line = MachineState.FrameLine;
    if (line + 1 >= uint32_t(kVisibleLines) || (ncpu.irqline && interrupts_allowed) ||
        !apu_end_quiet_line(int32_t(LineBudgets[line]), interrupts_allowed))
        return 0;
    mapper_count_line(LineBudgets[line]);
    if (ncpu.irqline && interrupts_allowed) {
        Behind.counted = true;
        return 0;
    }
    if (!Behind.behind) {
        Behind = LinesBehind{true, ncpu.readtrap, ncpu.writetrap, false};
        ncpu.readtrap = read_behind;
        ncpu.writetrap = write_behind;
    }
    MachineState.FrameLine = line + 1;
    const uint32_t next = LineBudgets[line + 1];
    ncpu.totalcycles += next;
    return int32_t(next);
}

int32_t run_lines() {
    if (MachineState.Halted) return 0;
    const uint32_t* const line_budget = frame_line_budgets();
    BuildSpriteTables();
    PpuStartFrame();
    MachineState.InVblank = 0;
    MachineState.Scanline = 0;
    apu_begin_frame();
    RunOn.next = ShortcutsOn ? run_on_next : nullptr;
    while (MachineState.Scanline < kVisibleLines) {
        MachineState.FrameLine = uint32_t(MachineState.Scanline);
        run_budget(line_budget[MachineState.FrameLine]);
        catch_up_lines();
        // The line the run ended in.
        const uint32_t budget = line_budget[MachineState.FrameLine];
        if (Behind.counted) {
            Behind.counted = false;
            mapper_line_interrupt();
        } else {
            end_sound_line(budget);
            mapper_line_tick(budget);
        }
        RenderBackgroundLine();
        ++MachineState.Scanline;
    }
    RunOn.next = nullptr;
    PpuRegisters.MidFrameAddressWrite = 0;
    MachineState.FrameLine = VblankLine;
    const uint32_t before_vblank = line_budget[VblankLine];
    run_budget(before_vblank);
    end_sound_line(before_vblank);
    mapper_line_tick(before_vblank);
    MachineState.InVblank = 1;
    PpuRegisters.PpuStatus |= PpuStatusVblank;
    MachineState.FrameLine = VblankLine + 1;
    run_budget(kVblankLead);
    end_sound_line(kVblankLead);
    if (MachineState.NmiEnabled) n6502_nmi();
    // The lines of vertical blank, then the line before the picture.
    for (int32_t i = 0; i <= kTrailingLines; ++i) {
        const uint32_t line = VblankLine + 1 + uint32_t(i);
        const uint32_t full = line_budget[line];
        MachineState.FrameLine = line;
        // The first trailing line gave its first cycles to the lead above.
        const uint32_t budget = i == 0 ? full - kVblankLead : full;
        if (run_budget(budget) != 0) return -1;
        end_sound_line(budget);
        mapper_line_tick(full);
    }
    return 0;
}
}  // namespace

uint32_t frame_cycle_of_line(uint32_t line) {
    const uint32_t cycles = MachineState.CyclesPerLine;
    const uint32_t line_dots =
        cycles == kConsoleLineCycles ? kConsoleLineDots : cycles * kDotsPerCycle;
    // From budget 241 on, lines start at the vertical-blank bit's dot 1.
    const uint32_t shift = line > VblankLine && line < FrameLines ? line_dots + 1 - kDrawDot : 0;
    return (line * line_dots + shift) / kDotsPerCycle;
}

int32_t run_frame() {
    const int32_t result = run_lines();
    n6502_settle();
    return result;
}
