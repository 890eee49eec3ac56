// Fuzzes the cartridge loader and the first frames of whatever it accepts:
// the input is taken as an iNES image (any mapper of the table, NES 2.0
// headers) or an archive holding one (.zip, .7z, .gz); its last byte is the
// pad.
#include <cstddef>
#include <cstdint>

#include "core/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool powered = (console_power_up(), true);
    (void)powered;
    if (console_load_cartridge_image(data, size) != nullptr) return 0;
    console_set_pad(size ? data[size - 1] : 0);
    for (int frame = 0; frame < 4; ++frame) console_run_frame();
    return 0;
}
