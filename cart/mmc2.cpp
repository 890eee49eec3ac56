// MMC2 (9) and MMC4 (10): PRG banks at $8000, and two CHR banks for each 4 KB
// half of the pattern area, the one shown chosen by a latch that the
// picture unit's fetches of tiles $FD and $FE set. MapperRegisters: Prg[0]
// the PRG bank, Chr[0]-Chr[3] the banks of $B000, $C000, $D000 and $E000
// ($0000 with $FD, with $FE; $1000 with $FD, with $FE), Latch[0] and
// Latch[1] the halves' latches (0: $FD, 1: $FE).
#include "cart/cartridge.h"
#include "cart/mapper_table.h"

namespace {

void map_half(uint32_t half) {
    const MapperRegisterRecord& r = MapperRegisters;
    copy_chr(r.Chr[half * 2 + r.Latch[half]], 4096, half * 0x1000);
}

void start_chr() {
    for (uint16_t& c : MapperRegisters.Chr) c = 0;
    MapperRegisters.Latch[0] = MapperRegisters.Latch[1] = 1;
    map_half(0);
    map_half(1);
}

// $A000 PRG (in 8 KB units on the MMC2, 16 KB on the MMC4), $B000-$E000 CHR,
// $F000 the arrangement.
void write_registers(uint8_t value, uint16_t address, uint32_t prg_size) {
    MapperRegisterRecord& r = MapperRegisters;
    switch (address & 0xF000) {
        case 0xA000:
            r.Prg[0] = value & 15;
            copy_prg(value & 15, prg_size, 0);
            break;
        case 0xB000:
        case 0xC000:
        case 0xD000:
        case 0xE000: {
            const uint32_t k = ((address >> 12) & 7) - 3;  // 0-3
            r.Chr[k] = value & 31;
            if (r.Latch[k >> 1] == (k & 1)) map_half(k >> 1);
            break;
        }
        case 0xF000: CartridgeImage.VerticalMirroring = (value & 1) ? 0 : 1; break;
        default: break;
    }
}

}  // namespace

// The last three 8 KB banks stay at $A000-$FFFF.
void mmc2_start() {
    const uint32_t units = prg_units(8192);
    copy_prg(0, 8192, 0x0000);
    for (uint32_t k = 1; k < 4; ++k) copy_prg(units - 4 + k, 8192, k * 0x2000);
    start_chr();
}

// The last 16 KB bank stays at $C000.
void mmc4_start() {
    map_prg_bank(0, 0);
    map_prg_bank(CartridgeImage.PrgBanks - 1, 0x4000);
    start_chr();
}

void mmc2_write(uint8_t value, uint16_t address) { write_registers(value, address, 8192); }

void mmc4_write(uint8_t value, uint16_t address) { write_registers(value, address, 16384); }

// Fetches of the high plane of tile $FD or $FE set the latch of their half:
// on the MMC2 the $0000 half only at the tile's first row ($0FD8, $0FE8),
// otherwise at any row.
bool mmc2_latch_tile(uint32_t pattern_address) {
    const uint32_t half = (pattern_address >> 12) & 1;
    const uint32_t in_half = pattern_address & 0xFFF;
    const uint32_t tile = in_half >> 4;
    if ((tile != 0xFD && tile != 0xFE) || (in_half & 8) == 0) return false;
    if (CartridgeImage.MapperNumber == 9 && half == 0 && (in_half & 7) != 0) return false;
    const uint8_t latch = tile == 0xFE ? 1 : 0;
    if (MapperRegisters.Latch[half] == latch) return false;
    MapperRegisters.Latch[half] = latch;
    map_half(half);
    return true;
}
