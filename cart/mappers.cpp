// Bank switching by copying banks into the PRG window and the pattern area.
// Every bank number is reduced to the image, and CHR writes without CHR ROM
// copy nothing, so no copy ever leaves the images.
#include <cstring>

#include "cart/cartridge.h"
#include "core/machine.h"
#include "cpu/n6502.h"
#include "ppu/ppu.h"

uint8_t Mmc1LargePrg;
uint8_t Mmc1Shift;
uint8_t Mmc1Count;
uint8_t Mmc1PrgSize;
uint8_t Mmc1Chr4k;
uint8_t Mmc1PrgOuter;
uint16_t Mmc1PrgTarget;

uint8_t Mmc3IrqEnabled;
uint8_t Mmc3FixedLayout;
uint8_t Mmc3BankSelect;
uint8_t Mmc3Counter;
uint8_t Mmc3Latch;
uint16_t Mmc3R6Target;
uint16_t Mmc3R7Target;
uint16_t Mmc3ChrInvert;

namespace {

constexpr uint32_t kNothingKnown = ~0u;
constexpr uint32_t kPrgSlot = 8192;
constexpr uint32_t kChrSlot = 1024;
// Where the bytes now in each 8 KB of the PRG window and each 1 KB of the
// pattern area came from (offsets into the images): a copy of what is
// already there is skipped.
uint32_t PrgSlotSource[PrgWindowSize / kPrgSlot];
uint32_t ChrSlotSource[8192 / kChrSlot];

// Copies size bytes from source offset `from` of an image to `to` of its
// block, unless every slot in between holds them already.
void map_slots(uint8_t* block, const uint8_t* image, uint32_t from, uint32_t size, uint32_t to,
               uint32_t slot, uint32_t* sources) {
#if !defined(QEL_NO_SHORTCUTS)
    bool in_place = true;
    for (uint32_t k = 0; k < size / slot; ++k)
        in_place &= sources[to / slot + k] == from + k * slot;
    if (in_place) return;
#endif
    std::memcpy(block + to, image + from, size);
    for (uint32_t k = 0; k < size / slot; ++k) sources[to / slot + k] = from + k * slot;
}

// Copies PRG unit `unit` (of `size` bytes) into the PRG window.
void copy_prg(uint32_t unit, uint32_t size, uint32_t window_offset) {
    uint32_t units = CartridgeImage.PrgBanks * (16384 / size);
    map_slots(PrgWindow, CartridgeImage.PrgImage, (unit % units) * size, size, window_offset,
              kPrgSlot, PrgSlotSource);
}

// Copies CHR unit `unit` (of `size` bytes) into the pattern area.
void copy_chr(uint32_t unit, uint32_t size, uint32_t pattern_offset) {
    if (CartridgeImage.ChrBanks == 0) return;
    uint32_t units = CartridgeImage.ChrBanks * (8192 / size);
    map_slots(PpuMemory, CartridgeImage.ChrImage, (unit % units) * size, size, pattern_offset,
              kChrSlot, ChrSlotSource);
}

void mmc1_write(uint8_t value, uint16_t address) {
    if (value & 0x80) {
        Mmc1Shift = 0;
        Mmc1Count = 0;
        Mmc1PrgSize = 8;
        Mmc1PrgTarget = 0;
        return;
    }
    Mmc1Shift = uint8_t(((value & 1) << 4) | (Mmc1Shift >> 1));
    if (++Mmc1Count != 5) return;
    uint8_t v = Mmc1Shift;
    switch (address & 0xE000) {
        case 0x8000:
            CartridgeImage.VerticalMirroring = (v & 1) ? 0 : 1;
            Mmc1PrgTarget = (v & 4) ? 0 : 0x4000;
            Mmc1PrgSize = v & 8;
            Mmc1Chr4k = v & 0x10;
            break;
        case 0xA000:
            if (Mmc1LargePrg) break;
            if (Mmc1Chr4k) {
                copy_chr(v & 31, 4096, 0x0000);
            } else {
                // 8 KB from any 4 KB boundary: two halves.
                copy_chr(v & 31, 4096, 0x0000);
                copy_chr((v & 31) + 1, 4096, 0x1000);
            }
            break;
        case 0xC000:
            if (Mmc1LargePrg) {
                uint16_t a = PpuRegisters.VramAddress;
                if (a < 0x1000)
                    Mmc1PrgOuter = 0x10;
                else if (a < 0x2000)
                    Mmc1PrgOuter = 0;
            } else if (Mmc1Chr4k) {
                copy_chr(v & 31, 4096, 0x1000);
            }
            break;
        case 0xE000:
            if (Mmc1PrgSize) {
                copy_prg((v & 15) + (Mmc1PrgOuter ? 16 : 0), 16384, Mmc1PrgTarget);
            } else {
                uint32_t pair = ((v >> 1) & 7) + (Mmc1PrgOuter ? 8 : 0);
                copy_prg(pair * 2, 16384, 0x0000);
                copy_prg(pair * 2 + 1, 16384, 0x4000);
            }
            break;
    }
    Mmc1Shift = 0;
    Mmc1Count = 0;
}

void mmc3_bank_select(uint8_t value) {
    Mmc3BankSelect = value & 7;
    if (value & 0x40) {
        Mmc3R6Target = 0x4000;
        Mmc3R7Target = 0x2000;
        if (Mmc3FixedLayout == 1) {
            if (PrgSlotSource[2] != kNothingKnown)
                map_slots(PrgWindow, CartridgeImage.PrgImage, PrgSlotSource[2], 8192, 0, kPrgSlot,
                          PrgSlotSource);
            else
                std::memcpy(PrgWindow, PrgWindow + 0x4000, 8192);
            PrgSlotSource[0] = PrgSlotSource[2];
            Mmc3FixedLayout = 0;
        }
    } else {
        Mmc3R6Target = 0;
        Mmc3R7Target = 0x2000;
        if (Mmc3FixedLayout == 0) {
            copy_prg(CartridgeImage.PrgBanks - 1, 16384, 0x4000);
            Mmc3FixedLayout = 1;
        }
    }
    Mmc3ChrInvert = (value & 0x80) ? 0x1000 : 0;
}

void mmc3_bank_data(uint8_t value) {
    uint32_t cmask = (CartridgeImage.ChrBanks * 8 - 1) & 0xFF;
    uint32_t pmask = (CartridgeImage.PrgBanks * 2 - 1) & 0xFF;
    static const uint16_t kChrSlot[6] = {0x0000, 0x0800, 0x1000, 0x1400, 0x1800, 0x1C00};
    switch (Mmc3BankSelect) {
        case 0:
        case 1:
            // 2 KB banks, counted in 1 KB units with the low bit ignored.
            copy_chr(((value & cmask) & 0xFE) / 2, 2048, Mmc3ChrInvert ^ kChrSlot[Mmc3BankSelect]);
            break;
        case 2:
        case 3:
        case 4:
        case 5: copy_chr(value & cmask, 1024, Mmc3ChrInvert ^ kChrSlot[Mmc3BankSelect]); break;
        case 6: copy_prg(value & pmask, 8192, Mmc3R6Target); break;
        case 7: copy_prg(value & pmask, 8192, Mmc3R7Target); break;
    }
}

void mmc3_write(uint8_t value, uint16_t address) {
    switch (address) {
        case 0x8000: mmc3_bank_select(value); break;
        case 0x8001: mmc3_bank_data(value); break;
        case 0xA000: CartridgeImage.VerticalMirroring = (value & 1) ? 0 : 1; break;
        case 0xC000: Mmc3Counter = value; break;
        case 0xC001: Mmc3Latch = value; break;
        case 0xE000:
            Mmc3IrqEnabled = 0;
            Mmc3Counter = Mmc3Latch;
            break;
        case 0xE001: Mmc3IrqEnabled = 1; break;
        default: break;
    }
}

}  // namespace

void forget_mapped_banks() {
    for (uint32_t& source : PrgSlotSource) source = kNothingKnown;
    for (uint32_t& source : ChrSlotSource) source = kNothingKnown;
}

void map_prg_bank(uint32_t bank, uint32_t window_offset) { copy_prg(bank, 16384, window_offset); }

void map_first_chr() { copy_chr(0, 8192, 0); }

void mapper_write(uint8_t value, uint16_t address) {
    switch (CartridgeImage.MapperNumber) {
        case 1: mmc1_write(value, address); break;
        case 2:
            if (value < CartridgeImage.PrgBanks) copy_prg(value, 16384, 0x0000);
            break;
        case 3:
            if (CartridgeImage.ChrBanks)
                copy_chr(
                    value < CartridgeImage.ChrBanks ? value : value & (CartridgeImage.ChrBanks - 1),
                    8192, 0);
            break;
        case 4: mmc3_write(value, address); break;
        default: break;
    }
}

void mmc3_line_tick() {
    if (CartridgeImage.MapperNumber != 4) return;
    if (Mmc3Counter == 0 && Mmc3IrqEnabled == 1) {
        Mmc3Counter = Mmc3Latch;
        n6502_int();
    }
    --Mmc3Counter;
}

void mmc3_vblank_reload() {
    if (CartridgeImage.MapperNumber == 4) Mmc3Counter = Mmc3Latch;
}
