#include "core/bus.h"

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/machine.h"
#include "cpu/n6502.h"
#include "ppu/ppu.h"

namespace {
constexpr int32_t kSpriteDmaCycles = 513;
}  // namespace

uint32_t bus_read(uint32_t address) {
    switch (address & 0xE000) {
        case 0x2000: return PpuReadRegister(address & 0x2007);  // eight registers, repeated
        case 0x4000:
            if (address == 0x4015) return apu_status();
            if (address == 0x4016) {
                uint32_t bit = (MachineState.JoypadBits >> MachineState.JoypadShift) & 1;
                MachineState.JoypadShift = (MachineState.JoypadShift + 1) & 7;
                return bit;
            }
            if (address == 0x4017) {
                uint32_t bit = (MachineState.Joypad2Bits >> MachineState.Joypad2Shift) & 1;
                MachineState.Joypad2Shift = (MachineState.Joypad2Shift + 1) & 7;
                return bit;
            }
            return 0;
        case 0x6000: return SaveRam[address - 0x6000];
        default: return 0;
    }
}

uint32_t bus_write(uint32_t value, uint32_t address) {
    uint8_t v = uint8_t(value);
    // The picture unit's registers first: palette and name table uploads
    // write them thousands of times a frame.
    if ((address & 0xE000) == 0x2000) {
        PpuWriteRegister(address & 0x2007, v);
        return 0;
    }
    switch (address & 0xE000) {
        case 0x4000:
            if (address < 0x4014 || address == 0x4015 || address == 0x4017)
                apu_write(uint16_t(address), v);
            else if (address == 0x4014) {
                // The copy holds the CPU for 513 cycles, as on the console.
                SpriteDma(v);
                ncpu.stall = kSpriteDmaCycles;
                return 1;
            } else if (address == 0x4016 && v == 0)
                MachineState.JoypadShift = MachineState.Joypad2Shift = 0;  // both pads
            else if (address >= 0x4020)
                mapper_low_write(v, uint16_t(address));
            break;
        case 0x6000:
            SaveRam[address - 0x6000] = v;
            mapper_low_write(v, uint16_t(address));
            break;
        default:
            if (address >= 0x8000) mapper_write(v, uint16_t(address));
            break;
    }
    // Bank switches copy into the fixed PRG window: nothing ever moves (a
    // nonzero answer only charges a sprite DMA's stall).
    return 0;
}

bool bus_repeatable(uint32_t address, bool write) {
    if (write) return address == 0x4016;
    return address == 0x4016 || address == 0x4017 || (address >= 0x6000 && address < 0x8000);
}

uint64_t bus_device_state() {
    const MachineStateRecord& m = MachineState;
    return uint64_t(m.JoypadBits) | uint64_t(m.Joypad2Bits) << 8 | uint64_t(m.JoypadShift) << 32 |
           uint64_t(m.Joypad2Shift) << 40;
}
