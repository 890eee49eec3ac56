// The machine-wide scalars and the five memory blocks of the console.
#pragma once
#include <cstdint>

// Room for a full Linux path and its terminating zero.
constexpr uint32_t CartridgeFileNameSize = 4096;

struct MachineStateRecord {
    uint8_t Halted;          // nonzero: no cartridge runs, run_frame returns at once
    uint32_t CyclesPerLine;  // CPU budget of one scanline: 113, or 150 for mappers 1 and 4
    int32_t Scanline;        // 0-239 during the visible lines, 240 afterwards
    uint32_t FrameLine;      // the line budget running: 0-239, 240 (to vertical blank), 241-261
    uint32_t InVblank;       // 1 from the start of vertical blank to the next frame
    uint32_t NmiEnabled;     // bit 7 of the last $2000 write, in place
    uint32_t JoypadBits;     // bit 0 A, 1 B, 2 Select, 3 Start, 4 Up, 5 Down, 6 Left, 7 Right
    uint32_t JoypadShift;    // which JoypadBits bit the next $4016 read returns
    uint32_t Joypad2Bits;    // the second pad, bits as JoypadBits
    uint32_t Joypad2Shift;   // which Joypad2Bits bit the next $4017 read returns
    uint8_t ErrorCode;       // the number the CPU failure message shows
    char CartridgeFileName[CartridgeFileNameSize];  // empty: no cartridge chosen
};
extern MachineStateRecord MachineState;

constexpr uint32_t CpuRamSize = 32768;
constexpr uint32_t PrgWindowSize = 32768;
constexpr uint32_t SaveRamSize = 8192;
constexpr uint32_t PpuMemorySize = 16384;
constexpr uint32_t SpriteRamSize = 256;

extern uint8_t* CpuRam;     // $0000-$07FF data (mirrored to $1FFF); fetches of $2000-$7FFF
extern uint8_t* PrgWindow;  // CPU $8000-$FFFF
extern uint8_t* SaveRam;    // CPU $6000-$7FFF
extern uint8_t* PpuMemory;  // PPU $0000-$3FFF
extern uint8_t* SpriteRam;  // 64 sprites of 4 bytes

// Allocates the five blocks zero-filled (power_up's second step). Returns false
// when memory runs out, leaving no block allocated.
bool allocate_memories();
// Frees the five blocks; the pointers become null.
void free_memories();

// Stores a cartridge path for the next load_cartridge. A path that does not
// fit is refused (returns false) and the previous name is kept.
bool set_cartridge_file_name(const char* path);
