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

#define SKIP_WITHOUT_TEST_ROMS(dir)                                                    \
    do {                                                                               \
        if ((dir).empty())                                                             \
            GTEST_SKIP() << "test cartridges not found: set QEL_TEST_ROMS to the "     \
                            "test-roms folder";                                         \
    } while (0)
