#include "core/power.h"

#include <cstdio>
#include <cstdlib>

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/bus.h"
#include "core/machine.h"
#include "cpu/n6502.h"
#include "cpu/shortcuts.h"
#include "ppu/ppu.h"

void power_up() {
    MachineState.NmiEnabled = 0;
    MachineState.InVblank = 0;
    PpuRegisters.MidFrameAddressWrite = 0;
    MachineState.Halted = 0;
    if (!allocate_memories()) {
        std::fputs("qel: not enough memory for the machine\n", stderr);
        std::exit(1);
    }
    PpuPowerUp();
    ncpu.RAM = CpuRam;
    ncpu.SRAM = SaveRam - 0x6000;
    ncpu.ROM = PrgWindow - 0x8000;
    ncpu.trapbadops = 1;
    ncpu.readtrap = bus_read;
    ncpu.writetrap = bus_write;
    ncpu.repeatabletrap = bus_repeatable;
    ncpu.devicestate = bus_device_state;
    ncpu.soundquiet = apu_status_quiet_cycles;
    shortcuts_forget();
    if (!load_cartridge()) {
        MachineState.Halted = 1;
        return;
    }
    cpu_reset();
}

void cpu_reset() {
    ncpu.rF = 0x26;  // I set: the frame counter's interrupt waits for the game's CLI
    ncpu.rY = 0;
    ncpu.rX = 0;
    ncpu.rA = 0;
    ncpu.totalcycles = 0;
    ncpu.cycles = 0;
    ncpu.rS = 0xFF;
    ncpu.rPC = uint16_t(PrgWindow[0x7FFC] | (PrgWindow[0x7FFD] << 8));
    shortcuts_forget();
    apu_reset();
}

void shut_down() {
    free_memories();
    free_cartridge();
}
