// Fuzzes the state loader with states of a running machine whose bytes are
// overwritten: the input's first byte picks the cartridge (mappers 0 to 4),
// whether the state is cut short and whether the whole-state checksum is
// made right again; each following four bytes set one byte (three bytes of
// place in the state, a value). A refused state must leave the machine
// exactly as it was (the hash of the whole state list unchanged); an
// accepted one must run, and the state it runs into must load again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/console.h"
#include "core/state.h"

namespace {

// Plays every sound channel (the delta channel looping), shows the picture
// with NMI on, and counts in RAM.
const uint8_t kProgram[] = {
    0xA9, 0x0F, 0x8D, 0x15, 0x40,                          // LDA #$0F, STA $4015
    0xA9, 0xBF, 0x8D, 0x00, 0x40,                          // LDA #$BF, STA $4000
    0x8D, 0x04, 0x40, 0x8D, 0x0C, 0x40,                    // STA $4004, STA $400C
    0xA9, 0x08, 0x8D, 0x03, 0x40,                          // LDA #$08, STA $4003
    0x8D, 0x07, 0x40, 0x8D, 0x0B, 0x40, 0x8D, 0x0F, 0x40,  // STA $4007, $400B, $400F
    0xA9, 0x81, 0x8D, 0x08, 0x40,                          // LDA #$81, STA $4008
    0xA9, 0xCF, 0x8D, 0x10, 0x40,  // LDA #$CF, STA $4010 (interrupt, loop, fastest)
    0xA9, 0x1F, 0x8D, 0x15, 0x40,  // LDA #$1F, STA $4015
    0xA9, 0x80, 0x8D, 0x00, 0x20,  // LDA #$80, STA $2000
    0xA9, 0x1E, 0x8D, 0x01, 0x20,  // LDA #$1E, STA $2001
    0x58,                          // CLI
    0xE6, 0x00, 0x4C, 0x38, 0xC0,  // loop: INC $00, JMP loop
    0x40,                          // RTI
};

std::vector<uint8_t> cartridge(uint8_t mapper) {
    std::vector<uint8_t> image = {'N', 'E', 'S', 0x1A, 2, 1, uint8_t(mapper << 4), 0, 0, 0,
                                  0,   0,   0,   0,    0, 0};
    std::vector<uint8_t> prg(32768, 0xEA);
    std::memcpy(prg.data() + 0x4000, kProgram, sizeof kProgram);
    const uint16_t rti = 0xC000 + sizeof kProgram - 1;
    const uint8_t vectors[6] = {uint8_t(rti), uint8_t(rti >> 8), 0x00,
                                0xC0,         uint8_t(rti),      uint8_t(rti >> 8)};
    std::memcpy(prg.data() + 0x7FFA, vectors, 6);
    image.insert(image.end(), prg.begin(), prg.end());
    image.resize(image.size() + 8192, 0x55);
    return image;
}

std::vector<uint8_t> take_state() {
    std::vector<uint8_t> s(console_state_size());
    if (console_save_state(s.data(), s.size())) std::abort();
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool powered = (console_power_up(), true);
    (void)powered;
    if (size < 1) return 0;
    const std::vector<uint8_t> image = cartridge(data[0] % 5);
    if (console_load_cartridge_image(image.data(), image.size())) std::abort();
    for (int frame = 0; frame < 3; ++frame) console_run_frame();
    const std::vector<uint8_t> before = take_state();
    const uint32_t hash = state_hash();

    std::vector<uint8_t> state = before;
    for (size_t i = 1; i + 4 <= size; i += 4) {
        const uint32_t at = uint32_t(data[i] | data[i + 1] << 8 | data[i + 2] << 16);
        state[at % state.size()] = data[i + 3];
    }
    if (data[0] & 0x40) state.resize(state.size() * data[size - 1] / 256 + 4);  // cut short
    if (!(data[0] & 0x80)) {
        const uint32_t crc = crc32(state.data(), state.size() - 4);
        for (int i = 0; i < 4; ++i) state[state.size() - 4 + i] = uint8_t(crc >> (8 * i));
    }

    if (console_load_state(state.data(), state.size()) != nullptr) {
        // A refused state changed the machine.
        if (state_hash() != hash || take_state() != before) std::abort();
        return 0;
    }
    for (int frame = 0; frame < 3; ++frame) console_run_frame();
    const std::vector<uint8_t> after = take_state();
    if (console_load_state(after.data(), after.size()) != nullptr) std::abort();
    return 0;
}
