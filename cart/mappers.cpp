// Bank switching by copying banks into the PRG window and the pattern area.
// Every bank number is reduced to the image, and CHR writes without CHR ROM
// copy nothing, so no copy ever leaves the images. Here: the copies, MMC1,
// UxROM, CNROM, MMC3 and the table of every mapper; the other families have
// a file each.
#include <cstring>

#include "cart/cartridge.h"
#include "cart/mapper_table.h"
#include "core/frame.h"
#include "core/machine.h"
#include "cpu/n6502.h"
#include "cpu/shortcuts.h"
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
uint8_t Mmc3Reload;

MapperRegisterRecord MapperRegisters;
uint8_t MapperSeesLowWrites;
uint8_t MapperWatchesTiles;

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
// Whether it copied.
bool map_slots(uint8_t* block, const uint8_t* image, uint32_t from, uint32_t size, uint32_t to,
               uint32_t slot, uint32_t* sources) {
    if (ShortcutsOn) {
        bool in_place = true;
        for (uint32_t k = 0; k < size / slot; ++k)
            in_place &= sources[to / slot + k] == from + k * slot;
        if (in_place) return false;
    }
    std::memcpy(block + to, image + from, size);
    for (uint32_t k = 0; k < size / slot; ++k) sources[to / slot + k] = from + k * slot;
    return true;
}

}  // namespace

uint32_t prg_units(uint32_t size) {
    return uint32_t(uint64_t(CartridgeImage.PrgBanks) * 16384 / size);
}

void copy_prg(uint32_t unit, uint32_t size, uint32_t window_offset) {
    const uint32_t units = prg_units(size);
    if (units == 0) {
        // A bank larger than the image: the image repeats through it.
        copy_prg(unit * 2, size / 2, window_offset);
        copy_prg(unit * 2 + 1, size / 2, window_offset + size / 2);
        return;
    }
    map_slots(PrgWindow, CartridgeImage.PrgImage, (unit % units) * size, size, window_offset,
              kPrgSlot, PrgSlotSource);
}

void copy_chr(uint32_t unit, uint32_t size, uint32_t pattern_offset) {
    if (CartridgeImage.ChrBanks == 0) return;
    uint32_t units = CartridgeImage.ChrBanks * (8192 / size);
    if (map_slots(PpuMemory, CartridgeImage.ChrImage, (unit % units) * size, size, pattern_offset,
                  kChrSlot, ChrSlotSource)) {
        ++PatternVersion[(pattern_offset >> 12) & 1];
        PatternVersion[1] += size >> 13;  // 8 KB: both tables
    }
}

void set_irq_line(bool held) {
    MapperRegisters.IrqLine = held ? 1 : 0;
    ncpu.irqline = MapperRegisters.IrqLine;
}

namespace {

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

// The registers repeat over $8000-$FFFF: A13-A14 choose the pair, A0 the
// register within it.
void mmc3_write(uint8_t value, uint16_t address) {
    switch (address & 0xE001) {
        case 0x8000: mmc3_bank_select(value); break;
        case 0x8001: mmc3_bank_data(value); break;
        case 0xA000: CartridgeImage.VerticalMirroring = (value & 1) ? 0 : 1; break;
        case 0xC000: Mmc3Latch = value; break;
        case 0xC001:
            Mmc3Counter = 0;
            Mmc3Reload = 1;
            break;
        case 0xE000:
            Mmc3IrqEnabled = 0;
            set_irq_line(false);
            break;
        case 0xE001: Mmc3IrqEnabled = 1; break;
        default: break;
    }
}

void mmc1_start() {
    map_prg_bank(0, 0);
    map_prg_bank(CartridgeImage.PrgBanks - 1, 0x4000);
    map_first_chr();
    Mmc1LargePrg = CartridgeImage.PrgBanks == 32 ? 1 : 0;
    Mmc1Shift = 0;
    Mmc1Count = 0;
}

void nrom_start() {
    map_prg_bank(0, 0);
    map_prg_bank(CartridgeImage.PrgBanks == 1 ? 0 : 1, 0x4000);
    map_first_chr();
}

void uxrom_start() {
    map_prg_bank(0, 0);
    map_prg_bank(CartridgeImage.PrgBanks - 1, 0x4000);
}

// A bank number past the image is reduced to it, as on a board whose upper
// lines are not wired.
void uxrom_write(uint8_t value, uint16_t) { copy_prg(value, 16384, 0x0000); }

void cnrom_write(uint8_t value, uint16_t) {
    if (CartridgeImage.ChrBanks)
        copy_chr(value < CartridgeImage.ChrBanks ? value : value & (CartridgeImage.ChrBanks - 1),
                 8192, 0);
}

void mmc3_start() {
    uxrom_start();
    map_first_chr();
    Mmc3FixedLayout = 1;
}

void mmc3_tick(uint32_t) {
    // The picture unit's A12 rises once a line while it renders: on the
    // visible lines and on the line before the picture (the last budget of
    // the frame).
    const uint32_t line = MachineState.FrameLine;
    if ((line < 240 || line == PreRenderLine) && (PpuRegisters.PpuMask & PpuMaskRendering))
        mmc3_line_tick();
}

// clang-format off
const MapperEntry kMappers[] = {
    // number, name, start, write, tick, line budget, low writes, tiles
    {0, "NROM", nrom_start, nullptr, nullptr, 113, 0, 0},
    {1, "MMC1", mmc1_start, mmc1_write, nullptr, 150, 0, 0},
    {2, "UxROM", uxrom_start, uxrom_write, nullptr, 113, 0, 0},
    {3, "CNROM", nrom_start, cnrom_write, nullptr, 113, 0, 0},
    {4, "MMC3", mmc3_start, mmc3_write, mmc3_tick, 113, 0, 0},
    {7, "AxROM", axrom_start, axrom_write, nullptr, 113, 0, 0},
    {9, "MMC2", mmc2_start, mmc2_write, nullptr, 113, 0, 1},
    {10, "MMC4", mmc4_start, mmc4_write, nullptr, 113, 0, 1},
    {11, "Color Dreams", discrete_32k_start, color_dreams_write, nullptr, 113, 0, 0},
    {21, "VRC4a/VRC4c", vrc_start, vrc_write, vrc_tick, 113, 0, 0},
    {22, "VRC2a", vrc_start, vrc_write, nullptr, 113, 0, 0},
    {23, "VRC2b/VRC4e", vrc_start, vrc_write, vrc_tick, 113, 0, 0},
    {25, "VRC4b/VRC4d", vrc_start, vrc_write, vrc_tick, 113, 0, 0},
    {28, "Action 53", action53_start, action53_write, nullptr, 113, 1, 0},
    {30, "UNROM 512", unrom512_start, unrom512_write, nullptr, 113, 0, 0},
    {34, "BNROM/NINA-001", bnrom_start, bnrom_write, nullptr, 113, 1, 0},
    {66, "GxROM", discrete_32k_start, gxrom_write, nullptr, 113, 0, 0},
    {69, "FME-7", fme7_start, fme7_write, fme7_tick, 113, 0, 0},
    {71, "Camerica", uxrom_start, camerica_write, nullptr, 113, 0, 0},
    {206, "Namco 108", namco108_start, namco108_write, nullptr, 113, 0, 0},
};
// clang-format on

}  // namespace

const MapperEntry* ActiveMapper = &kMappers[0];

const MapperEntry* find_mapper(uint16_t number) {
    for (const MapperEntry& m : kMappers)
        if (m.Number == number) return &m;
    return nullptr;
}

void forget_mapped_banks() {
    for (uint32_t& source : PrgSlotSource) source = kNothingKnown;
    for (uint32_t& source : ChrSlotSource) source = kNothingKnown;
}

void map_prg_bank(uint32_t bank, uint32_t window_offset) { copy_prg(bank, 16384, window_offset); }

void map_first_chr() { copy_chr(0, 8192, 0); }

void mapper_write(uint8_t value, uint16_t address) {
    if (ActiveMapper->Write) ActiveMapper->Write(value, address);
}

void mapper_low_write(uint8_t value, uint16_t address) {
    if (MapperSeesLowWrites) ActiveMapper->Write(value, address);
}

void mapper_count_line(uint32_t cycles) {
    if (ActiveMapper->Tick) ActiveMapper->Tick(cycles);
}

void mapper_line_interrupt() {
    // The line stays held until the program answers the mapper: the CPU
    // takes the interrupt at the first line end where I is clear (CLI, PLP
    // and RTI look at it between).
    if (ncpu.irqline && !(ncpu.rF & 0x04)) n6502_int();
}

void mapper_line_tick(uint32_t cycles) {
    mapper_count_line(cycles);
    mapper_line_interrupt();
}

// Revision B: a clock reloads a counter at 0 (or cleared by $C001), else
// counts down; a counter at 0 after the clock raises the interrupt, so a
// latch of 0 raises it on every clock.
void mmc3_line_tick() {
    if (CartridgeImage.MapperNumber != 4) return;
    if (Mmc3Counter == 0 || Mmc3Reload) {
        Mmc3Counter = Mmc3Latch;
        Mmc3Reload = 0;
    } else {
        --Mmc3Counter;
    }
    if (Mmc3Counter == 0 && Mmc3IrqEnabled) set_irq_line(true);
}

bool mapper_latch_tile(uint32_t pattern_address) {
    return MapperWatchesTiles && mmc2_latch_tile(pattern_address);
}
