// Namco 108 (206): the MMC3's bank registers without its interrupt, its
// arrangement register or its PRG and CHR modes. $8000-$9FFF only: even
// addresses choose a register (Command), odd ones fill it: 0-1 2 KB of CHR
// at $0000 and $0800, 2-5 1 KB at $1000-$1C00, 6-7 8 KB of PRG at $8000 and
// $A000 (Prg[0], Prg[1]; Chr[0]-Chr[5]). The last 16 KB stay at $C000.
#include "cart/cartridge.h"
#include "cart/mapper_table.h"

namespace {

void fill(uint32_t reg, uint8_t value) {
    MapperRegisterRecord& r = MapperRegisters;
    if (reg < 2) {
        r.Chr[reg] = value & 0x3E;
        copy_chr((value & 0x3E) >> 1, 2048, reg * 0x800);
    } else if (reg < 6) {
        r.Chr[reg] = value & 0x3F;
        copy_chr(value & 0x3F, 1024, 0x1000 + (reg - 2) * 0x400);
    } else {
        r.Prg[reg - 6] = value & 0x0F;
        copy_prg(value & 0x0F, 8192, (reg - 6) * 0x2000);
    }
}

}  // namespace

void namco108_start() {
    MapperRegisters = MapperRegisterRecord{};
    map_prg_bank(0, 0);
    map_prg_bank(CartridgeImage.PrgBanks - 1, 0x4000);
    map_first_chr();
    static const uint8_t kFirst[8] = {0, 2, 4, 5, 6, 7, 0, 1};
    for (uint32_t reg = 0; reg < 8; ++reg) fill(reg, kFirst[reg]);
}

void namco108_write(uint8_t value, uint16_t address) {
    if (address >= 0xA000) return;
    if (address & 1)
        fill(MapperRegisters.Command & 7, value);
    else
        MapperRegisters.Command = value & 7;
}
