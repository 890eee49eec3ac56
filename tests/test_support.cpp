#include "tests/test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

std::string test_roms_dir() {
    const char* env = std::getenv("QEL_TEST_ROMS");
    std::string dir = (env && *env) ? env : QEL_DEFAULT_TEST_ROMS;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return {};
    return dir;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
