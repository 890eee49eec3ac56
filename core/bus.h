// The CPU's bus beyond RAM and PRG: picture and sound registers, the joypad
// port, the save RAM and the mapper registers.
#pragma once
#include <cstdint>

uint32_t bus_read(uint32_t address);
uint32_t bus_write(uint32_t value, uint32_t address);
// Whether a CPU access to address answers and acts by bus_device_state alone
// (the joypad port and the save RAM's reads), and that state.
bool bus_repeatable(uint32_t address, bool write);
uint64_t bus_device_state();
