// Helpers shared by the tests: the test cartridge folder and small machines.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// The folder of shared test cartridges: $QEL_TEST_ROMS, else the one beside the
// checkout. Empty when it does not exist.
std::string test_roms_dir();

// Reads a whole file; empty when it cannot be read.
std::vector<uint8_t> read_file(const std::string& path);

#define SKIP_WITHOUT_TEST_ROMS(dir) \
    if ((dir).empty()) GTEST_SKIP() << "test cartridges not found: set QEL_TEST_ROMS"

// An iNES image built in memory. Every byte of 8 KB PRG unit u is u (so a
// 16 KB bank b holds 2b then 2b + 1), every byte of 1 KB CHR unit k is k | $80.
std::vector<uint8_t> make_ines(uint32_t prg_banks, uint32_t chr_banks, uint8_t flags6,
                               uint8_t flags7 = 0);

// Writes bytes to a fresh file in the test's temporary folder; returns its path.
std::string write_temp_file(const std::string& name, const std::vector<uint8_t>& bytes);

// A zeroed CPU context wired to the memory blocks and the given bus callbacks,
// skipping invalid opcodes (the blocks must be allocated).
void wire_bare_cpu(uint32_t (*read)(uint32_t), uint32_t (*write)(uint32_t, uint32_t));

// Zeroes every process-wide record of the machine, as at program start.
void reset_machine_globals();

// Points CartridgeFileName at the file and runs load_cartridge.
bool load_file(const std::string& path);

// A 32 KB NROM image with code placed at $8000 and the three vectors set;
// CHR is 8 KB of zeros.
std::vector<uint8_t> make_nrom(const std::vector<uint8_t>& code, uint16_t nmi = 0x8000,
                               uint16_t reset = 0x8000, uint16_t irq = 0x8000);
