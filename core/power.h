// Power-up, reset and shut-down of the machine.
#pragma once

// Allocates and wires the machine and tries to load CartridgeFileName; the
// machine comes up halted when that fails.
void power_up();
// Resets the CPU registers to the reset vector and the sound channels.
void cpu_reset();
// Frees the memories and the cartridge images.
void shut_down();
