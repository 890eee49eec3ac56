// Sunsoft FME-7 (69): a command register at $8000-$9FFF chooses what the
// next write to $A000-$BFFF fills: eight 1 KB CHR banks, the $6000 control,
// three 8 KB PRG banks, the arrangement, and a 16-bit counter of CPU cycles
// that interrupts when it passes 0. The sound registers at $C000-$FFFF (the
// 5B's three tone channels) are not there. MapperRegisters: Command;
// Chr[0]-Chr[7]; Prg[0]-Prg[2] ($8000, $A000, $C000); Mode the $6000 control
// (save RAM always answers there; ROM at $6000 is not mapped); IrqControl
// bits 0 (interrupts) and 7 (counting); IrqCounter.
#include "cart/cartridge.h"
#include "cart/mapper_table.h"

void fme7_start() {
    MapperRegisterRecord& r = MapperRegisters;
    r = MapperRegisterRecord{};
    set_irq_line(false);
    for (uint32_t k = 0; k < 3; ++k) {
        r.Prg[k] = uint8_t(k);
        copy_prg(k, 8192, k * 0x2000);
    }
    copy_prg(prg_units(8192) - 1, 8192, 0x6000);
    for (uint32_t k = 0; k < 8; ++k) {
        r.Chr[k] = uint16_t(k);
        copy_chr(k, 1024, k * 0x400);
    }
}

void fme7_write(uint8_t value, uint16_t address) {
    MapperRegisterRecord& r = MapperRegisters;
    if (address < 0xA000) {
        r.Command = value & 15;
        return;
    }
    if (address >= 0xC000) return;
    const uint32_t c = r.Command;
    if (c < 8) {
        r.Chr[c] = value;
        copy_chr(value, 1024, c * 0x400);
    } else if (c == 8) {
        r.Mode = value;
    } else if (c < 12) {
        r.Prg[c - 9] = value & 0x3F;
        copy_prg(value & 0x3F, 8192, (c - 9) * 0x2000);
    } else if (c == 12) {
        static const uint32_t kArrangements[4] = {1, 0, MirrorSingleLow, MirrorSingleHigh};
        CartridgeImage.VerticalMirroring = kArrangements[value & 3];
    } else if (c == 13) {
        // Any write here answers the interrupt.
        r.IrqControl = value & 0x81;
        set_irq_line(false);
    } else if (c == 14) {
        r.IrqCounter = uint16_t((r.IrqCounter & 0xFF00) | value);
    } else {
        r.IrqCounter = uint16_t((r.IrqCounter & 0x00FF) | (value << 8));
    }
}

void fme7_tick(uint32_t cycles) {
    MapperRegisterRecord& r = MapperRegisters;
    if (!(r.IrqControl & 0x80)) return;
    const bool passes_zero = cycles > r.IrqCounter;
    r.IrqCounter = uint16_t(r.IrqCounter - cycles);
    if (passes_zero && (r.IrqControl & 1)) set_irq_line(true);
}
