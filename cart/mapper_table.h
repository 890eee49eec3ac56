// The mappers' table and what their files share: bank copies that stay
// inside the images, and the interrupt line.
#pragma once
#include <cstdint>

struct MapperEntry {
    uint16_t Number;
    const char* Name;
    void (*Start)();                                 // lays out the first banks
    void (*Write)(uint8_t value, uint16_t address);  // $8000-$FFFF (null: nothing)
    void (*Tick)(uint32_t cycles);                   // after each line budget (null: nothing)
    uint32_t CyclesPerLine;
    uint8_t LowWrites;  // has registers in $4020-$7FFF (Write sees those too)
    uint8_t Tiles;      // switches on the $FD/$FE pattern fetches (mapper_latch_tile)
};
// Every mapper the machine runs, by number; null when there is none.
const MapperEntry* find_mapper(uint16_t number);
// The running cartridge's entry (mapper 0's before any load).
extern const MapperEntry* ActiveMapper;

// Copies PRG unit `unit` (of `size` bytes, reduced to the image) into the PRG
// window at window_offset; CHR the same into the pattern area (nothing
// without CHR ROM).
void copy_prg(uint32_t unit, uint32_t size, uint32_t window_offset);
void copy_chr(uint32_t unit, uint32_t size, uint32_t pattern_offset);
// PRG units of `size` bytes in the image.
uint32_t prg_units(uint32_t size);

// The cartridge holds or lets go the CPU's interrupt line.
void set_irq_line(bool held);

// The families, one file each.
void axrom_start();
void axrom_write(uint8_t value, uint16_t address);
void color_dreams_write(uint8_t value, uint16_t address);
void gxrom_write(uint8_t value, uint16_t address);
void discrete_32k_start();
void bnrom_start();
void bnrom_write(uint8_t value, uint16_t address);
void camerica_write(uint8_t value, uint16_t address);
void unrom512_start();
void unrom512_write(uint8_t value, uint16_t address);
void action53_start();
void action53_write(uint8_t value, uint16_t address);

void mmc2_start();
void mmc4_start();
void mmc2_write(uint8_t value, uint16_t address);
void mmc4_write(uint8_t value, uint16_t address);
bool mmc2_latch_tile(uint32_t pattern_address);

void vrc_start();
void vrc_write(uint8_t value, uint16_t address);
void vrc_tick(uint32_t cycles);

void fme7_start();
void fme7_write(uint8_t value, uint16_t address);
void fme7_tick(uint32_t cycles);

void namco108_start();
void namco108_write(uint8_t value, uint16_t address);
