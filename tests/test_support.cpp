#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

std::string test_roms_dir() {
    const char* env = std::getenv("QEL_TEST_ROMS");
    std::string dir = (env && *env) ? env : QEL_DEFAULT_TEST_ROMS;
    std::error_code ec;
    return std::filesystem::is_directory(dir, ec) ? dir : std::string();
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/machine.h"
#include "core/state.h"
#include "cpu/n6502.h"
#include "ppu/ppu.h"

std::vector<uint8_t> make_ines(uint32_t prg_banks, uint32_t chr_banks, uint8_t flags6,
                               uint8_t flags7) {
    std::vector<uint8_t> bytes = {
        'N', 'E', 'S', 0x1A, uint8_t(prg_banks), uint8_t(chr_banks), flags6, flags7, 0, 0, 0, 0,
        0,   0,   0,   0};
    for (uint32_t u = 0; u < prg_banks * 2; ++u) bytes.insert(bytes.end(), 8192, uint8_t(u));
    for (uint32_t k = 0; k < chr_banks * 8; ++k) bytes.insert(bytes.end(), 1024, uint8_t(k | 0x80));
    return bytes;
}

std::string write_temp_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = ::testing::TempDir() + "qel-" + std::to_string(::getpid()) + "-" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

void wire_bare_cpu(uint32_t (*read)(uint32_t), uint32_t (*write)(uint32_t, uint32_t)) {
    ncpu = n6502cpu{};
    ncpu.RAM = CpuRam;
    ncpu.SRAM = SaveRam - 0x6000;
    ncpu.ROM = PrgWindow - 0x8000;
    ncpu.trapbadops = 1;
    ncpu.readtrap = read;
    ncpu.writetrap = write;
}

// Driven by the machine's state list: every saved field zeroed (the memory
// blocks too, while allocated), the left-out ones the list says to, and the
// caches it names forgotten.
void reset_machine_globals() {
    for (uint32_t i = 0; i < StateFieldCount; ++i) {
        const StateField& f = StateFields[i];
        const bool left_out = f.Check == StateCheck::LeftOut;
        if (left_out && f.Forget) f.Forget();
        if ((left_out && !f.ZeroOnReset) || !f.Where) continue;
        if (uint8_t* where = f.Where())
            std::memset(where, 0, f.PrgOffset ? sizeof(uint8_t*) : size_t(f.Size) * f.Count);
    }
}

bool load_file(const std::string& path) {
    return set_cartridge_file_name(path.c_str()) && load_cartridge();
}

std::vector<uint8_t> make_nrom(const std::vector<uint8_t>& code, uint16_t nmi, uint16_t reset,
                               uint16_t irq) {
    std::vector<uint8_t> image = make_ines(2, 1, 0);
    std::fill(image.begin() + 16, image.end(), 0);
    std::copy(code.begin(), code.end(), image.begin() + 16);
    size_t at = 16 + 0x7FFA;
    for (uint16_t v : {nmi, reset, irq}) image[at++] = uint8_t(v), image[at++] = uint8_t(v >> 8);
    return image;
}
