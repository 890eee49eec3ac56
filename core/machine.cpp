#include "core/machine.h"

#include <cstdlib>
#include <cstring>

MachineStateRecord MachineState;

uint8_t* CpuRam;
uint8_t* PrgWindow;
uint8_t* SaveRam;
uint8_t* PpuMemory;
uint8_t* SpriteRam;

bool allocate_memories() {
    PrgWindow = static_cast<uint8_t*>(std::calloc(PrgWindowSize, 1));
    PpuMemory = static_cast<uint8_t*>(std::calloc(PpuMemorySize, 1));
    CpuRam = static_cast<uint8_t*>(std::calloc(CpuRamSize, 1));
    SpriteRam = static_cast<uint8_t*>(std::calloc(SpriteRamSize, 1));
    SaveRam = static_cast<uint8_t*>(std::calloc(SaveRamSize, 1));
    if (PrgWindow && PpuMemory && CpuRam && SpriteRam && SaveRam) return true;
    free_memories();
    return false;
}

void free_memories() {
    std::free(CpuRam);
    std::free(PrgWindow);
    std::free(SaveRam);
    std::free(SpriteRam);
    std::free(PpuMemory);
    CpuRam = PrgWindow = SaveRam = SpriteRam = PpuMemory = nullptr;
}

bool set_cartridge_file_name(const char* path) {
    size_t n = std::strlen(path);
    if (n >= CartridgeFileNameSize) return false;
    std::memcpy(MachineState.CartridgeFileName, path, n + 1);
    return true;
}
