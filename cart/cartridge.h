// The cartridge: the iNES image, its bank layout and the mapper registers.
#pragma once
#include <cstddef>
#include <cstdint>

struct CartridgeImageRecord {
    uint8_t* PrgImage;  // PrgBanks x 16384 bytes, in file order
    uint8_t* ChrImage;  // ChrBanks x 8192 bytes, in file order
    uint32_t PrgBanks;
    uint32_t ChrBanks;           // 0: the pattern area is CHR RAM
    uint16_t MapperNumber;       // 0-4095 (bits 8-11 from an NES 2.0 header)
    uint32_t VerticalMirroring;  // 1: $2000 shares with $2800; 0: $2000 shares with $2400;
                                 // MirrorSingleLow/High: one page for all four
    uint8_t Battery;             // header byte 6 bit 1: the save RAM is kept between runs
    uint8_t Submapper;           // NES 2.0 byte 8 bits 4-7; 0 in an iNES header
    uint32_t PrgRamSize;         // bytes of PRG RAM the header asks for (8192 if it does not say)
    uint32_t ChrRamSize;         // bytes of CHR RAM the header asks for (8192 if it does not say)
};
// The arrangements a mapper can choose besides the two of the header.
constexpr uint32_t MirrorSingleLow = 2;   // every nametable address reads page A ($2000)
constexpr uint32_t MirrorSingleHigh = 3;  // every nametable address reads page B ($2400)
extern CartridgeImageRecord CartridgeImage;

// Why the last load_cartridge failed, in one short sentence (empty after a
// successful load).
extern const char* CartridgeLoadFailure;
// What the player should know about a cartridge that did load (it was made
// for a PAL console, say), in one short sentence; empty when nothing.
extern const char* CartridgeLoadNews;
// The name of the .nes file the cartridge came from: the file itself, or the
// one inside an archive (without its folders). Empty for an image in memory.
extern char CartridgeInnerName[4096];

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

// The registers of the other mappers, one record for all: each mapper uses
// the fields it names in its file under cart/.
struct MapperRegisterRecord {
    uint8_t Prg[4];        // PRG bank registers as written
    uint16_t Chr[8];       // CHR bank registers as written (VRC: 9 bits)
    uint8_t Latch[2];      // MMC2/MMC4: which of $FD (0) and $FE (1) rules $0000 and $1000
    uint8_t Command;       // FME-7, 206: the register the next data write fills
    uint8_t Mode;          // VRC4: PRG swap; Action 53: its mode; 34: 1 on a NINA-001
    uint8_t Outer;         // Action 53: the outer bank
    uint8_t IrqControl;    // VRC: bits A, E, M; FME-7: bit 0 interrupts, bit 7 counting
    uint8_t IrqLatch;      // VRC: the counter's reload value
    uint16_t IrqCounter;   // VRC (8 bits), FME-7 (16 bits)
    int32_t IrqPrescaler;  // VRC line mode: picture dots left until the next clock, 1-341
    uint8_t IrqLine;       // the cartridge holds the CPU's interrupt line
};
extern MapperRegisterRecord MapperRegisters;

// MMC3 revision B: a write to $C001 clears the counter so that the next
// clock reloads it.
extern uint8_t Mmc3Reload;

void mapper_write(uint8_t value, uint16_t address);
// Writes to $4020-$7FFF, for the mappers with registers there (the save RAM
// takes its own bytes first).
void mapper_low_write(uint8_t value, uint16_t address);
extern uint8_t MapperSeesLowWrites;
// Bank copies that skip what is in place already. After anything else has
// written the PRG window or the pattern area (a cartridge load, a state
// load), forget_mapped_banks must be called.
void forget_mapped_banks();
void map_prg_bank(uint32_t bank, uint32_t window_offset);  // 16 KB
void map_first_chr();                                      // 8 KB of CHR ROM, if there is any
// The frame driver's tick after every line budget (cycles: what the budget
// held): line counters and cycle counters step, and a cartridge holding the
// interrupt line gets it taken when the CPU allows.
void mapper_line_tick(uint32_t cycles);
// Its two halves: the counters' step, then the interrupt taken.
void mapper_count_line(uint32_t cycles);
void mapper_line_interrupt();
// One clock of the MMC3's counter (a rise of the PPU's A12).
void mmc3_line_tick();
// The PPU address moved from `before` to `after` through $2006 or $2007: the
// MMC3 counts a rise of A12.
inline void mapper_ppu_address(uint32_t before, uint32_t after) {
    if ((~before & after & 0x1000) && CartridgeImage.MapperNumber == 4) mmc3_line_tick();
}
// A background or sprite pattern fetch of tile $FD or $FE (pattern address of
// its row): the MMC2 and MMC4 switch their latches. Returns whether the
// pattern area changed.
bool mapper_latch_tile(uint32_t pattern_address);
// Nonzero for the mappers whose pattern latches the renderer must tell.
extern uint8_t MapperWatchesTiles;
