// The cartridge: the iNES image, its bank layout and the mapper registers.
#pragma once
#include <cstddef>
#include <cstdint>

struct CartridgeImageRecord {
    uint8_t* PrgImage;  // PrgBanks x 16384 bytes, in file order
    uint8_t* ChrImage;  // ChrBanks x 8192 bytes, in file order
    uint32_t PrgBanks;
    uint32_t ChrBanks;  // 0: the pattern area is CHR RAM
    uint8_t MapperNumber;
    uint32_t VerticalMirroring;  // 1: $2000 shares with $2800; 0: $2000 shares with $2400
    uint8_t Battery;             // header byte 6 bit 1: the save RAM is kept between runs
};
extern CartridgeImageRecord CartridgeImage;

// Why the last load_cartridge failed, in one short sentence (empty after a
// successful load).
extern const char* CartridgeLoadFailure;

// Loads MachineState.CartridgeFileName and lays out its first banks.
bool load_cartridge();
// The same from an iNES image in memory, with the same checks and reasons.
bool load_cartridge_image(const uint8_t* bytes, size_t size);
void free_cartridge();

// MMC1 registers.
extern uint8_t Mmc1LargePrg;
extern uint8_t Mmc1Shift;
extern uint8_t Mmc1Count;
extern uint8_t Mmc1PrgSize;
extern uint8_t Mmc1Chr4k;
extern uint8_t Mmc1PrgOuter;
extern uint16_t Mmc1PrgTarget;

// MMC3 registers.
extern uint8_t Mmc3IrqEnabled;
extern uint8_t Mmc3FixedLayout;
extern uint8_t Mmc3BankSelect;
extern uint8_t Mmc3Counter;
extern uint8_t Mmc3Latch;
extern uint16_t Mmc3R6Target;
extern uint16_t Mmc3R7Target;
extern uint16_t Mmc3ChrInvert;

void mapper_write(uint8_t value, uint16_t address);
// Bank copies that skip what is in place already. After anything else has
// written the PRG window or the pattern area (a cartridge load, a state
// load), forget_mapped_banks must be called.
void forget_mapped_banks();
void map_prg_bank(uint32_t bank, uint32_t window_offset);  // 16 KB
void map_first_chr();                                      // 8 KB of CHR ROM, if there is any
void mmc3_line_tick();
void mmc3_vblank_reload();
