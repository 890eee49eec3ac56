// The boards of plain latches: AxROM (7), Color Dreams (11), GxROM (66),
// BNROM and NINA-001 (34), Camerica (71) and UNROM 512 (30). Their registers
// are the bits of one write; MapperRegisters keeps what was written last.
#include "cart/cartridge.h"
#include "cart/mapper_table.h"
#include "core/machine.h"

namespace {

void map_prg32(uint32_t bank) { copy_prg(bank, 32768, 0); }

}  // namespace

// The first 32 KB and the first 8 KB of CHR.
void discrete_32k_start() {
    map_prg32(0);
    map_first_chr();
}

// AxROM: bits 0-2 choose 32 KB, bit 4 the one page all four nametables show.
void axrom_start() {
    discrete_32k_start();
    CartridgeImage.VerticalMirroring = MirrorSingleLow;
}

void axrom_write(uint8_t value, uint16_t) {
    MapperRegisters.Prg[0] = value & 7;
    map_prg32(value & 7);
    CartridgeImage.VerticalMirroring = (value & 0x10) ? MirrorSingleHigh : MirrorSingleLow;
}

// Color Dreams: bits 0-1 choose 32 KB of PRG, bits 4-7 8 KB of CHR.
void color_dreams_write(uint8_t value, uint16_t) {
    MapperRegisters.Prg[0] = value & 3;
    MapperRegisters.Chr[0] = value >> 4;
    map_prg32(value & 3);
    copy_chr(value >> 4, 8192, 0);
}

// GxROM: bits 4-5 choose 32 KB of PRG, bits 0-1 8 KB of CHR.
void gxrom_write(uint8_t value, uint16_t) {
    MapperRegisters.Prg[0] = (value >> 4) & 3;
    MapperRegisters.Chr[0] = value & 3;
    map_prg32((value >> 4) & 3);
    copy_chr(value & 3, 8192, 0);
}

// Mapper 34 is two boards: BNROM (a 32 KB bank from any write to
// $8000-$FFFF, CHR RAM) and NINA-001 (registers at $7FFD-$7FFF, 4 KB CHR
// banks). The NES 2.0 submapper tells them apart (1 NINA-001, 2 BNROM), else
// CHR ROM beyond 8 KB means NINA-001.
void bnrom_start() {
    const uint8_t sub = CartridgeImage.Submapper;
    MapperRegisters.Mode = sub == 1 || (sub != 2 && CartridgeImage.ChrBanks > 1) ? 1 : 0;
    discrete_32k_start();
}

void bnrom_write(uint8_t value, uint16_t address) {
    if (!MapperRegisters.Mode) {
        if (address < 0x8000) return;
        MapperRegisters.Prg[0] = value;
        map_prg32(value);
        return;
    }
    switch (address) {
        case 0x7FFD:
            MapperRegisters.Prg[0] = value & 1;
            map_prg32(value & 1);
            break;
        case 0x7FFE:
            MapperRegisters.Chr[0] = value & 15;
            copy_chr(value & 15, 4096, 0x0000);
            break;
        case 0x7FFF:
            MapperRegisters.Chr[1] = value & 15;
            copy_chr(value & 15, 4096, 0x1000);
            break;
        default: break;
    }
}

// Camerica: $C000-$FFFF choose the 16 KB at $8000 (the last is fixed at
// $C000); on the Fire Hawk board $8000-$9FFF bit 4 chooses one page for the
// nametables (submapper 1, or any write there).
void camerica_write(uint8_t value, uint16_t address) {
    if (address >= 0xC000) {
        MapperRegisters.Prg[0] = value & 15;
        copy_prg(value & 15, 16384, 0);
    } else if (address < 0xA000 && (address >= 0x9000 || CartridgeImage.Submapper == 1)) {
        CartridgeImage.VerticalMirroring = (value & 0x10) ? MirrorSingleHigh : MirrorSingleLow;
    }
}

// UNROM 512: bits 0-4 choose the 16 KB at $8000, bit 7 the nametable page
// when the header asks for one page (byte 6 bits 0 and 3 = 0 and 1). Bits
// 5-6 choose among 32 KB of CHR RAM, which this machine keeps at 8 KB; the
// flash saving of the battery board is not there, so on it only writes to
// $C000-$FFFF reach the register.
void unrom512_start() {
    map_prg_bank(0, 0);
    map_prg_bank(CartridgeImage.PrgBanks - 1, 0x4000);
    map_first_chr();
    MapperRegisters.Mode = CartridgeImage.VerticalMirroring >= MirrorSingleLow ? 1 : 0;
}

void unrom512_write(uint8_t value, uint16_t address) {
    if (CartridgeImage.Battery && address < 0xC000) return;
    MapperRegisters.Prg[0] = value & 31;
    copy_prg(value & 31, 16384, 0);
    if (MapperRegisters.Mode)
        CartridgeImage.VerticalMirroring = (value & 0x80) ? MirrorSingleHigh : MirrorSingleLow;
}
