// Fuzzes the CPU and the machine around it on random programs for each
// mapper: the input picks the mapper, the banks and the pad, and its bytes,
// repeated, fill the PRG image, reset vector included.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool powered = (console_power_up(), true);
    (void)powered;
    if (size < 4) return 0;
    const uint8_t mapper = data[0] % 5, prg_banks = uint8_t(1 + data[1] % 4),
                  chr_banks = uint8_t(data[2] % 3);
    std::vector<uint8_t> image = {
        'N', 'E', 'S', 0x1A, prg_banks, chr_banks, uint8_t((mapper << 4) | (data[1] >> 7)), 0, 0, 0,
        0,   0,   0,   0,    0,         0};
    const size_t program = size - 4;
    const size_t bytes = size_t(prg_banks) * 16384 + size_t(chr_banks) * 8192;
    for (size_t i = 0; i < bytes; ++i) image.push_back(data[4 + i % program]);
    if (console_load_cartridge_image(image.data(), image.size()) != nullptr) return 0;
    console_set_pad(data[3]);
    for (int frame = 0; frame < 3; ++frame) console_run_frame();
    return 0;
}
