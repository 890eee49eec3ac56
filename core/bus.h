// The CPU's bus beyond RAM and PRG: picture and sound registers, the joypad
// port, the save RAM and the mapper registers.
#pragma once
#include <cstdint>

uint32_t bus_read(uint32_t address);
uint32_t bus_write(uint32_t value, uint32_t address);
