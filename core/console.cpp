#include "core/console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/frame.h"
#include "core/machine.h"
#include "core/power.h"
#include "core/state.h"
#include "cpu/n6502.h"
#include "cpu/shortcuts.h"
#include "ppu/pattern.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"

static_assert(ConsoleSamplesPerFrame == SamplesPerFrame);
static_assert(ConsoleSaveRamSize == SaveRamSize);

namespace {

uint8_t Samples[SamplesPerFrame];
// The file the running cartridge came from (the chosen name may be newer).
std::string RunningFile;
int16_t Samples16[SamplesPerFrame];
bool Samples8Made = true;  // Samples holds this frame's 16-bit samples rounded

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

uint64_t fnv1a(uint64_t h, const void* bytes, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * kFnvPrime;
    return h;
}

}  // namespace

void console_power_up() {
    create_surfaces();
    MachineState.CartridgeFileName[0] = '\0';
    RunningFile.clear();
    std::memset(Samples, 0x80, sizeof Samples);
    std::memset(Samples16, 0, sizeof Samples16);
    power_up();
}

void console_shut_down() {
    MachineState.Halted = 1;
    shut_down();
}

bool console_powered() { return CpuRam != nullptr; }

bool console_choose_cartridge(const char* path) { return set_cartridge_file_name(path); }

const char* console_cartridge_file() { return MachineState.CartridgeFileName; }

namespace {

// The running cartridge, kept aside while another is tried: its images, the
// file it came from and the whole machine as a state. A refused cartridge
// puts it all back, so the game goes on exactly where it was.
struct RunningCartridge {
    bool kept = false;
    CartridgeImageRecord image{};
    std::vector<uint8_t> state;
    uint32_t cycles_per_line = 0;
};

RunningCartridge set_running_aside() {
    RunningCartridge r;
    if (MachineState.Halted || !CpuRam) return r;
    r.state.resize(state_size());
    if (save_state(r.state.data(), r.state.size())) return r;
    r.kept = true;
    r.image = CartridgeImage;
    r.cycles_per_line = MachineState.CyclesPerLine;
    // The loader frees the images it replaces: these are no longer its own.
    CartridgeImage.PrgImage = nullptr;
    CartridgeImage.ChrImage = nullptr;
    return r;
}

// The end of either load: the new cartridge runs from its reset; or, refused,
// the one that ran before runs on (a halted machine stays halted).
const char* start_loaded(bool loaded, RunningCartridge& before) {
    if (loaded) {
        std::free(before.image.PrgImage);
        std::free(before.image.ChrImage);
        RunningFile = MachineState.CartridgeFileName;
        cartridge_checksum();
        cpu_reset();
        MachineState.Halted = 0;
        return nullptr;
    }
    if (!before.kept) {
        MachineState.Halted = 1;
        return CartridgeLoadFailure;
    }
    // The refused images, if the loader got as far as taking them, go.
    free_cartridge();
    CartridgeImage = before.image;
    set_cartridge_file_name(RunningFile.c_str());
    MachineState.CyclesPerLine = before.cycles_per_line;
    MachineState.Halted = 0;
    cartridge_checksum();
    load_state(before.state.data(), before.state.size());
    return CartridgeLoadFailure;
}

}  // namespace

const char* console_load_cartridge() {
    RunningCartridge before = set_running_aside();
    const bool loaded = load_cartridge();
    return start_loaded(loaded, before);
}

const char* console_load_cartridge_image(const uint8_t* bytes, size_t size) {
    RunningCartridge before = set_running_aside();
    MachineState.CartridgeFileName[0] = '\0';
    const bool loaded = load_cartridge_image(bytes, size);
    return start_loaded(loaded, before);
}

const char* console_cartridge_name() { return CartridgeInnerName; }

const char* console_cartridge_news() { return CartridgeLoadNews; }

void console_halt() { MachineState.Halted = 1; }

bool console_running() { return !MachineState.Halted; }

void console_reset() { cpu_reset(); }

bool console_has_battery() { return !MachineState.Halted && CartridgeImage.Battery; }

uint32_t console_cartridge_checksum() { return cartridge_checksum(); }

uint8_t* console_system_ram() { return CpuRam; }

void console_set_pad(uint32_t bits) { MachineState.JoypadBits = bits & 0xFF; }

void console_set_pad2(uint32_t bits) { MachineState.Joypad2Bits = bits & 0xFF; }

bool console_turbo(bool held, int32_t& count) {
    if (!held) {
        count = 0;
        return false;
    }
    const bool press = count == 0;
    if (press) count = 4;
    --count;
    return press;
}

int32_t console_run_frame() {
    lock_frame_surfaces();
    const int32_t result = run_frame();
    unlock_frame_surfaces();
    update_behind_key();
    if (PpuRegisters.PpuMask & PpuMaskShowSprites) CompositeSprites();
    if (MachineState.Halted) {
        std::memset(Samples, 0x80, SamplesPerFrame);
        std::memset(Samples16, 0, sizeof Samples16);
        Samples8Made = true;
    } else {
        apu_mix_output(Samples16);
        Samples8Made = false;  // rounded when asked for
    }
    if (result != 0) {
        const uint16_t pc = ncpu.rPC;
        MachineState.ErrorCode = pc >= 0x8000   ? PrgWindow[pc - 0x8000]
                                 : pc >= 0x6000 ? SaveRam[pc - 0x6000]
                                 : pc < 0x2000  ? CpuRam[pc & 0x7FF]
                                                : CpuRam[pc];
    }
    return result;
}

uint8_t console_error_code() { return MachineState.ErrorCode; }

const uint32_t* console_picture() { return FrameSurface.Pixels; }

int32_t console_picture_pitch() { return FrameSurface.Pitch; }

const uint8_t* console_samples() {
    if (!Samples8Made) apu_round8(Samples16, Samples);
    Samples8Made = true;
    return Samples;
}

const int16_t* console_samples16() { return Samples16; }

ConsoleHashes console_hashes() {
    ConsoleHashes h;
    h.Picture = kFnvOffset;
    for (int32_t y = 0; y < 240; ++y)
        h.Picture =
            fnv1a(h.Picture, FrameSurface.Pixels + y * FrameSurface.Pitch, 256 * sizeof(uint32_t));
    h.Memory = fnv1a(kFnvOffset, CpuRam, 0x800);
    h.Memory = fnv1a(h.Memory, SaveRam, SaveRamSize);
    h.Memory = fnv1a(h.Memory, PpuMemory, PpuMemorySize);
    h.Memory = fnv1a(h.Memory, SpriteRam, SpriteRamSize);
    const uint8_t cpu[] = {
        ncpu.rA, ncpu.rX, ncpu.rY, ncpu.rS, ncpu.rF, uint8_t(ncpu.rPC), uint8_t(ncpu.rPC >> 8)};
    h.Registers = fnv1a(kFnvOffset, cpu, sizeof cpu);
    const PpuRegisterRecord& r = PpuRegisters;
    const int32_t ppu[] = {r.PpuControl,  r.PpuMask,          r.PpuStatus, r.OamAddress,
                           r.VramAddress, int32_t(r.ScrollX), r.ScrollY,   r.ReadBuffer};
    h.Registers = fnv1a(h.Registers, ppu, sizeof ppu);
    return h;
}

uint8_t* console_save_ram() { return SaveRam; }

const char* console_read_save_ram_file(const char* path) {
    if (!SaveRam) return "the machine is not powered up";
    static uint8_t buffer[SaveRamSize];
    size_t size = 0;
    if (const char* why = read_small_file(path, buffer, SaveRamSize, &size)) return why;
    if (size != SaveRamSize) {
        static char why[512];
        std::snprintf(why, sizeof why, "cannot read %s: a save is %u bytes, this file is %zu", path,
                      unsigned(SaveRamSize), size);
        return why;
    }
    std::memcpy(SaveRam, buffer, SaveRamSize);
    return nullptr;
}

const char* console_write_file(const char* path, const uint8_t* bytes, size_t size) {
    // A frontend writes from a worker thread as well as from its frame loop:
    // one write at a time, and each thread keeps its own answer.
    static std::mutex writing;
    thread_local char failure[1024];
    const std::lock_guard<std::mutex> lock(writing);
    const char* why = write_file_atomically(path, bytes, size);
    if (!why) return nullptr;
    std::snprintf(failure, sizeof failure, "%s", why);
    return failure;
}

const char* console_write_save_ram_file(const char* path) {
    if (!SaveRam) return "the machine is not powered up";
    return console_write_file(path, SaveRam, SaveRamSize);
}

size_t console_state_size() { return state_size(); }

const char* console_save_state(uint8_t* buffer, size_t size) { return save_state(buffer, size); }

const char* console_load_state(const uint8_t* buffer, size_t size) {
    return load_state(buffer, size);
}

const char* console_save_state_file(const char* path) {
    std::vector<uint8_t> bytes(state_size());
    if (const char* why = save_state(bytes.data(), bytes.size())) return why;
    return console_write_file(path, bytes.data(), bytes.size());
}

const char* console_load_state_file(const char* path) {
    // One byte more than a state: a longer file is refused as such.
    std::vector<uint8_t> bytes(state_size() + 1);
    size_t size = 0;
    if (const char* why = read_small_file(path, bytes.data(), bytes.size(), &size)) return why;
    return load_state(bytes.data(), size);
}

void console_set_shortcuts(bool on) {
    n6502_settle();  // the registers where the charged budgets left them
    shortcuts_forget();
    ShortcutsOn = on;
}

void console_set_simd(bool on) {
    SimdDecodeOn = on;
    ForgetBackgroundPalette();  // what the lines hold may not be what the cache says
}
