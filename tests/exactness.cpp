// The exactness check: each cartridge runs with the shortcuts and the SIMD
// decode, then without the shortcuts, then without the SIMD decode (powered up
// again each time), with the same button presses; after every frame the whole
// saved state, the picture and the frame's sound must be the same in all three
// runs. A difference is reported with its first frame and first field.
//
// usage: qel-exactness [-n FRAMES] [--shared] [--sample] PATH...
//   PATH: a cartridge, or a folder whose *.nes are taken in name order
//   --shared: also the cartridges under $QEL_TEST_ROMS (demos, nestest,
//             instr_test-v5 and its singles, ../compat/roms)
//   --sample: of the shared cartridges only the demos and every fourth other
// Exit status 0 when every cartridge agrees, 1 on a difference, 2 on bad use.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "apu/apu.h"
#include "core/console.h"
#include "core/state.h"
#include "ppu/surfaces.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;

namespace {

// The button presses of every run: frames counted from 1, both ends included.
struct Press {
    uint32_t first, last, bits;
};
constexpr uint32_t A = ConsolePadA, B = ConsolePadB, Select = ConsolePadSelect,
                   Start = ConsolePadStart, Up = ConsolePadUp, Down = ConsolePadDown,
                   Left = ConsolePadLeft, Right = ConsolePadRight;
constexpr Press kPresses[] = {
    {60, 65, Start},          {100, 400, Right},       {150, 153, A},
    {420, 600, Left},         {470, 473, B},           {650, 655, Start},
    {700, 900, Down | B},     {1000, 1004, Select},    {1100, 1400, Up | A},
    {1500, 1505, Start},      {2000, 2300, Right | A}, {2400, 2405, Start},
    {2500, 2800, Left | Down}};

uint32_t pad_at(uint32_t frame) {
    uint32_t bits = 0;
    for (const Press& p : kPresses)
        if (frame >= p.first && frame <= p.last) bits |= p.bits;
    return bits;
}

// The saved state's header (magic, version, the cartridge's and the layout's
// checksums) and its closing checksum are left out of the comparison: only
// the machine's fields are compared.
constexpr size_t kStateHeader = StateHeaderSize;

uint64_t hash_bytes(const void* data, size_t size, uint64_t h = 0x9E3779B97F4A7C15ull) {
    const uint8_t* b = static_cast<const uint8_t*>(data);
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t w;
        std::memcpy(&w, b + i, 8);
        h = (h ^ w) * 0x100000001B3ull;
        h ^= h >> 29;
    }
    for (; i < size; ++i) h = (h ^ b[i]) * 0x100000001B3ull;
    return h;
}

// What one frame left: the state, the picture and the sound, each hashed.
struct FrameHashes {
    uint64_t state, picture, sound;
    bool operator==(const FrameHashes&) const = default;
};

struct Way {
    const char* name;
    bool shortcuts, simd;
};
constexpr Way kWays[] = {{"with the shortcuts and SIMD", true, true},
                         {"without the shortcuts", false, true},
                         {"without SIMD", true, false}};

// Powers up and loads the cartridge, the given way. Returns null, or why not.
const char* start_run(const std::string& cart, const Way& way) {
    // As a fresh process would: power-up alone leaves some records as the
    // run before left them.
    reset_machine_globals();
    console_power_up();
    // Nor does it clear the picture surfaces, which are compared too.
    for (VideoSurface* s : {&FrameSurface, &SpriteStrip, &BehindStrip})
        if (s->Pixels) std::memset(s->Pixels, 0, sizeof(uint32_t) * s->Pitch * s->Height);
    console_set_shortcuts(way.shortcuts);
    console_set_simd(way.simd);
    if (!console_choose_cartridge(cart.c_str())) return "path too long";
    return console_load_cartridge();
}

void end_run() {
    console_set_shortcuts(true);
    console_set_simd(true);
    console_shut_down();
}

// Runs frame f; false when the CPU stopped in it.
bool run_frame(uint32_t f, std::vector<uint8_t>* state, FrameHashes* h) {
    console_set_pad(pad_at(f));
    const bool ran = console_run_frame() == 0;
    *h = FrameHashes{};
    state->resize(console_state_size());
    if (console_save_state(state->data(), state->size()) == nullptr)
        h->state = hash_bytes(state->data() + kStateHeader, state->size() - kStateHeader - 4);
    const uint32_t* pic = console_picture();
    for (int32_t y = 0; y < ConsolePictureHeight; ++y)
        h->picture = hash_bytes(pic + y * console_picture_pitch(),
                                ConsolePictureWidth * sizeof(uint32_t), h->picture);
    h->sound = hash_bytes(console_samples16(), ConsoleSamplesPerFrame * sizeof(int16_t));
    return ran;
}

// A run's frames; hashes[k] is frame k + 1's, the last one the CPU stopped in.
struct Run {
    std::vector<FrameHashes> hashes;
    bool stopped = false;
};

// Where two ways differ at frame f: both rerun to f, the first field of their
// states that differs (or the picture or the sound).
std::string first_difference(const std::string& cart, const Way& way, uint32_t f) {
    std::vector<uint8_t> states[2], pictures[2], sounds[2];
    for (int k = 0; k < 2; ++k) {
        start_run(cart, k == 0 ? kWays[0] : way);
        FrameHashes h;
        for (uint32_t i = 1; i <= f; ++i)
            if (!run_frame(i, &states[k], &h)) break;
        const uint8_t* pic = reinterpret_cast<const uint8_t*>(console_picture());
        pictures[k].assign(pic, pic + 4 * ConsolePictureHeight * console_picture_pitch());
        const uint8_t* sound = reinterpret_cast<const uint8_t*>(console_samples16());
        sounds[k].assign(sound, sound + 2 * ConsoleSamplesPerFrame);
        end_run();
    }
    if (states[0].size() != states[1].size()) return "the state's size";
    const auto m = std::mismatch(states[0].begin() + kStateHeader, states[0].end() - 4,
                                 states[1].begin() + kStateHeader);
    if (m.first != states[0].end() - 4) {
        char name[160];
        state_field_name_at(size_t(m.first - states[0].begin()), name, sizeof name);
        return name;
    }
    if (pictures[0] != pictures[1]) return "the picture";
    if (sounds[0] != sounds[1]) return "the sound";
    return "whether the CPU stopped, or nowhere on a second run";
}

// The cartridges of a path: the file, or a folder's *.nes (every file for
// all) in name order.
void add_cartridges(const fs::path& path, bool all, std::vector<std::string>* out) {
    std::error_code e;
    if (!fs::is_directory(path, e)) {
        if (fs::is_regular_file(path, e)) out->push_back(path.string());
        return;
    }
    std::vector<std::string> found;
    for (const fs::directory_entry& d : fs::directory_iterator(path, e))
        if (d.is_regular_file() && (all || d.path().extension() == ".nes"))
            found.push_back(d.path().string());
    std::sort(found.begin(), found.end());
    out->insert(out->end(), found.begin(), found.end());
}

int usage(const char* why) {
    std::fprintf(stderr,
                 "qel-exactness: %s\nusage: qel-exactness [-n FRAMES] [--shared] "
                 "[--sample] PATH...\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t frames = 3000;
    bool shared = false, sample = false;
    std::vector<std::string> carts;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-n" && i + 1 < argc) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(argv[++i], &end, 10);
            if (*end || n == 0 || n > 1000000) return usage("bad frame count");
            frames = uint32_t(n);
        } else if (a == "--shared") {
            shared = true;
        } else if (a == "--sample") {
            sample = true;
        } else if (!a.empty() && a[0] == '-') {
            return usage(("unknown option " + a).c_str());
        } else {
            add_cartridges(a, false, &carts);
        }
    }
    if (shared) {
        const char* env = std::getenv("QEL_TEST_ROMS");
        const fs::path roms = env && *env ? env : QEL_DEFAULT_TEST_ROMS;
        std::vector<std::string> others;
        add_cartridges(roms / "demos", false, &carts);
        add_cartridges(roms / "nestest", false, &others);
        add_cartridges(roms / "instr_test-v5", false, &others);
        add_cartridges(roms / "instr_test-v5" / "rom_singles", false, &others);
        add_cartridges(roms / ".." / "compat" / "roms", true, &others);
        for (size_t k = 0; k < others.size(); ++k)
            if (!sample || k % 4 == 0) carts.push_back(others[k]);
    }
    if (carts.empty()) return usage("no cartridges");
    const auto began = std::chrono::steady_clock::now();
    uint32_t checked = 0, differ = 0;
    std::vector<uint8_t> state;
    for (const std::string& cart : carts) {
        Run first;
        if (start_run(cart, kWays[0]) != nullptr) {
            end_run();
            continue;  // not a cartridge this machine runs
        }
        for (uint32_t f = 1; f <= frames && !first.stopped; ++f) {
            first.hashes.emplace_back();
            first.stopped = !run_frame(f, &state, &first.hashes.back());
        }
        end_run();
        ++checked;
        for (const Way& way : {kWays[1], kWays[2]}) {
            uint32_t differs_at = 0;
            if (const char* why = start_run(cart, way)) {
                std::printf("differs: %s %s: %s\n", fs::path(cart).filename().c_str(), way.name,
                            why);
                differs_at = ~0u;
            }
            for (uint32_t f = 1; f <= first.hashes.size() && !differs_at; ++f) {
                FrameHashes h;
                const bool stopped = !run_frame(f, &state, &h);
                if (!(h == first.hashes[f - 1]) || (stopped && f < first.hashes.size()))
                    differs_at = f;
                else if (first.stopped && f == first.hashes.size() && !stopped)
                    differs_at = f;
            }
            end_run();
            if (differs_at == 0) continue;
            ++differ;
            if (differs_at != ~0u)
                std::printf("differs: %s %s, first at frame %u in %s\n",
                            fs::path(cart).filename().c_str(), way.name, differs_at,
                            first_difference(cart, way, differs_at).c_str());
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("exactness: %u cartridges x %u frames, %u differ (%.1f s)\n", checked, frames,
                differ, seconds);
    return checked > 0 && differ == 0 ? 0 : 1;
}
