// Konami VRC2 and VRC4 (21, 22, 23, 25): one chip wired to different address
// lines on each board. 8 KB PRG banks at $8000 (or $C000) and $A000, 1 KB CHR
// banks written a nibble at a time, and on the VRC4 an interrupt counter
// that counts lines or CPU cycles. MapperRegisters: Prg[0], Prg[1]; Chr[0]-
// Chr[7] (9 bits); Mode bit 1 the PRG swap; IrqControl bits 0 (on again after
// the answer), 1 (on), 2 (counts cycles); IrqLatch, IrqCounter (8 bits).
#include "cart/cartridge.h"
#include "cart/mapper_table.h"
#include "core/machine.h"

namespace {

// The VRC2 boards: mapper 22, and submapper 3 of 23 and 25.
bool is_vrc2() { return CartridgeImage.MapperNumber == 22 || CartridgeImage.Submapper == 3; }

// The register (0-3) within a group of $1000 that an address reaches: each
// board wires two address lines to the chip's two register lines, some of
// them crossed; the boards sharing a number use lines that do not overlap.
uint32_t register_of(uint16_t a) {
    auto line = [a](int n) { return uint32_t(a >> n) & 1; };
    switch (CartridgeImage.MapperNumber) {
        case 21: return (line(1) | line(6)) | (line(2) | line(7)) << 1;  // VRC4a, VRC4c
        case 22: return line(1) | line(0) << 1;                          // VRC2a
        case 23: return (line(0) | line(2)) | (line(1) | line(3)) << 1;  // VRC2b, VRC4f, VRC4e
        default: return (line(1) | line(3)) | (line(0) | line(2)) << 1;  // 25: VRC2c, VRC4b, VRC4d
    }
}

void map_prg() {
    const MapperRegisterRecord& r = MapperRegisters;
    const uint32_t units = prg_units(8192);
    const uint32_t swap = (r.Mode & 2) ? 0x4000 : 0;
    copy_prg(r.Prg[0], 8192, swap);
    copy_prg(r.Prg[1], 8192, 0x2000);
    copy_prg(units - 2, 8192, 0x4000 ^ swap);
    copy_prg(units - 1, 8192, 0x6000);
}

// The VRC2a's CHR lines start at the register's bit 1.
void map_chr(uint32_t k) {
    const uint32_t bank = MapperRegisters.Chr[k];
    copy_chr(CartridgeImage.MapperNumber == 22 ? bank >> 1 : bank, 1024, k * 0x400);
}

void clock_counter(uint32_t clocks) {
    MapperRegisterRecord& r = MapperRegisters;
    while (clocks) {
        const uint32_t to_top = 0xFFu - r.IrqCounter;
        if (clocks <= to_top) {
            r.IrqCounter = uint16_t(r.IrqCounter + clocks);
            return;
        }
        clocks -= to_top + 1;
        r.IrqCounter = r.IrqLatch;
        set_irq_line(true);
    }
}

}  // namespace

void vrc_start() {
    MapperRegisterRecord& r = MapperRegisters;
    r = MapperRegisterRecord{};
    r.Prg[1] = 1;
    r.IrqPrescaler = 341;
    set_irq_line(false);
    map_prg();
    for (uint32_t k = 0; k < 8; ++k) {
        r.Chr[k] = uint16_t(CartridgeImage.MapperNumber == 22 ? 2 * k : k);
        map_chr(k);
    }
}

void vrc_write(uint8_t value, uint16_t address) {
    MapperRegisterRecord& r = MapperRegisters;
    const uint32_t reg = register_of(address);
    const bool vrc2 = is_vrc2();
    switch (address & 0xF000) {
        case 0x8000:
            r.Prg[0] = value & 0x1F;
            map_prg();
            break;
        case 0x9000:
            if (vrc2 || reg < 2) {
                static const uint32_t kArrangements[4] = {1, 0, MirrorSingleLow, MirrorSingleHigh};
                CartridgeImage.VerticalMirroring = kArrangements[value & (vrc2 ? 1 : 3)];
            } else {
                r.Mode = value & 2;
                map_prg();
            }
            break;
        case 0xA000:
            r.Prg[1] = value & 0x1F;
            map_prg();
            break;
        case 0xB000:
        case 0xC000:
        case 0xD000:
        case 0xE000: {
            const uint32_t k = (((address >> 12) - 0xB) << 1) | (reg >> 1);
            if (reg & 1)
                r.Chr[k] = uint16_t((r.Chr[k] & 0x0F) | ((value & 0x1F) << 4));
            else
                r.Chr[k] = uint16_t((r.Chr[k] & 0x1F0) | (value & 0x0F));
            map_chr(k);
            break;
        }
        case 0xF000:
            if (vrc2) break;
            switch (reg) {
                case 0: r.IrqLatch = uint8_t((r.IrqLatch & 0xF0) | (value & 0x0F)); break;
                case 1: r.IrqLatch = uint8_t((r.IrqLatch & 0x0F) | (value << 4)); break;
                case 2:
                    r.IrqControl = value & 7;
                    if (value & 2) {
                        r.IrqCounter = r.IrqLatch;
                        r.IrqPrescaler = 341;
                    }
                    set_irq_line(false);
                    break;
                default:
                    set_irq_line(false);
                    r.IrqControl = uint8_t((r.IrqControl & ~2) | ((r.IrqControl & 1) << 1));
                    break;
            }
            break;
        default: break;
    }
}

// Cycle mode clocks the counter once a CPU cycle. Line mode clocks it once a
// console line: the prescaler counts down three picture dots a CPU cycle and
// clocks the counter each time it has counted 341 (so a line of 113 or 114
// cycles, or the frame's longer budget, clocks it as the console would).
void vrc_tick(uint32_t cycles) {
    MapperRegisterRecord& r = MapperRegisters;
    if (!(r.IrqControl & 2) || is_vrc2()) return;
    if (r.IrqControl & 4) return clock_counter(cycles);
    uint32_t clocks = 0;
    r.IrqPrescaler -= int32_t(cycles * 3);
    for (; r.IrqPrescaler <= 0; r.IrqPrescaler += 341) ++clocks;
    clock_counter(clocks);
}
