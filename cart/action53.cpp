// Action 53 (28): a register chosen by writes to $5000-$5FFF (bits 7 and 0)
// and filled by writes to $8000-$FFFF. MapperRegisters: Chr[0] the CHR
// register, Prg[0] the inner bank, Mode the mode, Outer the outer bank, and
// Command the register chosen.
#include "cart/cartridge.h"
#include "cart/mapper_table.h"

namespace {

constexpr uint8_t kChrRegister = 0x00, kInnerRegister = 0x01, kModeRegister = 0x80,
                  kOuterRegister = 0x81;

// The 16 KB bank at A14 (0: $8000, 1: $C000) from the mode's layout: 32 KB
// modes (0, 1) take the inner bank's bits within the game size, the UxROM
// modes fix $8000 (2) or $C000 (3) to the outer bank's half.
uint32_t bank_at(uint32_t a14) {
    const MapperRegisterRecord& r = MapperRegisters;
    const uint32_t layout = (r.Mode >> 2) & 3;
    const uint32_t mask = (2u << ((r.Mode >> 4) & 3)) - 1;  // 16 KB units of the game
    const uint32_t outer = uint32_t(r.Outer) << 1;
    if (layout < 2) return (outer & ~mask) | (((uint32_t(r.Prg[0]) << 1) | a14) & mask);
    if ((layout == 2 && a14 == 0) || (layout == 3 && a14 == 1)) return outer | a14;
    return (outer & ~mask) | (r.Prg[0] & mask);
}

void map_banks() {
    copy_prg(bank_at(0), 16384, 0x0000);
    copy_prg(bank_at(1), 16384, 0x4000);
    static const uint32_t kArrangements[4] = {MirrorSingleLow, MirrorSingleHigh, 1, 0};
    CartridgeImage.VerticalMirroring = kArrangements[MapperRegisters.Mode & 3];
}

}  // namespace

// At power the outer bank is $FF: the last 32 KB, where the menu is.
void action53_start() {
    MapperRegisters.Outer = 0xFF;
    MapperRegisters.Mode = 0;
    MapperRegisters.Prg[0] = 0;
    map_banks();
}

void action53_write(uint8_t value, uint16_t address) {
    MapperRegisterRecord& r = MapperRegisters;
    if (address < 0x6000) {
        if (address >= 0x5000) r.Command = value & 0x81;
        return;
    }
    if (address < 0x8000) return;
    switch (r.Command) {
        case kChrRegister:
        case kInnerRegister:
            // In the one-page arrangements bit 4 chooses the page.
            if (!(r.Mode & 2)) r.Mode = uint8_t((r.Mode & ~1) | ((value >> 4) & 1));
            if (r.Command == kChrRegister)
                r.Chr[0] = value & 3;  // 32 KB of CHR RAM are not kept: 8 KB only
            else
                r.Prg[0] = value & 15;
            break;
        case kModeRegister: r.Mode = value & 0x3F; break;
        case kOuterRegister: r.Outer = value; break;
        default: break;
    }
    map_banks();
}
