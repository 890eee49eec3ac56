// qel-run: the machine without a window. Powers up, loads a cartridge and runs
// whole frames as fast as the host allows, for tests, benchmarks and batch work.
#include <png.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apu/apu.h"
#include "cart/cartridge.h"
#include "core/frame.h"
#include "core/machine.h"
#include "core/power.h"
#include "cpu/n6502.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"

namespace {

const char kUsage[] =
    "usage: qel-run [options] ROM.nes\n"
    "  -n, --frames N            frames to run (default 600)\n"
    "  --press SPEC              joypad input: FRAME[-FRAME]:BUTTONS[,...], frames counted from "
    "1,\n"
    "                            BUTTONS from A B SELECT START UP DOWN LEFT RIGHT joined with +\n"
    "  --screenshot FILE.png     the last frame's picture\n"
    "  --screenshot-at N:FILE    the picture after frame N (repeatable)\n"
    "  --wav FILE.wav            all the sound of the run (8-bit mono, 44100 Hz)\n"
    "  --hash                    print FNV-1a hashes of the last picture and of all the sound\n"
    "  --bench                   print frames, seconds and frames per second\n"
    "  --frame-hashes            print each frame's hashes of picture, memories, registers, sound\n"
    "  --test-status             follow the $6000 result protocol of test cartridges\n"
    "  --version                 print the version\n"
    "  -h, --help                print this help\n";

struct Press {
    uint32_t first, last, bits;
};

struct Shot {
    uint32_t frame;
    std::string path;
};

struct Options {
    uint32_t frames = 600;
    std::vector<Press> presses;
    std::string screenshot;
    std::vector<Shot> shots;
    std::string wav;
    bool hash = false;
    bool bench = false;
    bool frame_hashes = false;
    bool test_status = false;
    std::string rom;
};

int usage_error(const char* why) {
    std::fprintf(stderr, "qel-run: %s\n%s", why, kUsage);
    return 2;
}

bool parse_count(const std::string& s, uint32_t* out) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    *out = uint32_t(std::strtoul(s.c_str(), nullptr, 10));
    return true;
}

bool parse_buttons(const std::string& s, uint32_t* bits) {
    static const char* const kNames[8] = {"A",  "B",    "SELECT", "START",
                                          "UP", "DOWN", "LEFT",   "RIGHT"};
    *bits = 0;
    size_t start = 0;
    while (start <= s.size()) {
        size_t plus = s.find('+', start);
        std::string name =
            s.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        bool found = false;
        for (uint32_t b = 0; b < 8; ++b) {
            if (name == kNames[b]) {
                *bits |= 1u << b;
                found = true;
            }
        }
        if (!found) return false;
        if (plus == std::string::npos) break;
        start = plus + 1;
    }
    return true;
}

bool parse_press(const std::string& spec, std::vector<Press>* out) {
    size_t start = 0;
    while (start <= spec.size()) {
        size_t comma = spec.find(',', start);
        std::string item =
            spec.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t colon = item.find(':');
        if (colon == std::string::npos) return false;
        std::string range = item.substr(0, colon);
        Press p{};
        size_t dash = range.find('-');
        if (dash == std::string::npos) {
            if (!parse_count(range, &p.first)) return false;
            p.last = p.first;
        } else if (!parse_count(range.substr(0, dash), &p.first) ||
                   !parse_count(range.substr(dash + 1), &p.last) || p.last < p.first) {
            return false;
        }
        if (!parse_buttons(item.substr(colon + 1), &p.bits)) return false;
        out->push_back(p);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

// Returns -1 to go on, else the exit code.
int parse_options(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= argc) return false;
            *v = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::puts("Qel 0.1a");
            return 0;
        } else if (a == "-n" || a == "--frames") {
            if (!value(&v) || !parse_count(v, &o->frames)) return usage_error("bad frame count");
        } else if (a == "--press") {
            if (!value(&v) || !parse_press(v, &o->presses)) return usage_error("bad --press");
        } else if (a == "--screenshot") {
            if (!value(&o->screenshot)) return usage_error("--screenshot needs a file");
        } else if (a == "--screenshot-at") {
            size_t colon;
            Shot s;
            if (!value(&v) || (colon = v.find(':')) == std::string::npos ||
                !parse_count(v.substr(0, colon), &s.frame) || colon + 1 == v.size())
                return usage_error("bad --screenshot-at");
            s.path = v.substr(colon + 1);
            o->shots.push_back(s);
        } else if (a == "--wav") {
            if (!value(&o->wav)) return usage_error("--wav needs a file");
        } else if (a == "--hash") {
            o->hash = true;
        } else if (a == "--bench") {
            o->bench = true;
        } else if (a == "--frame-hashes") {
            o->frame_hashes = true;
        } else if (a == "--test-status") {
            o->test_status = true;
        } else if (!a.empty() && a[0] == '-') {
            return usage_error(("unknown option " + a).c_str());
        } else if (o->rom.empty()) {
            o->rom = a;
        } else {
            return usage_error("only one cartridge can run");
        }
    }
    if (o->rom.empty()) return usage_error("no cartridge given");
    return -1;
}

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

uint64_t fnv1a(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * kFnvPrime;
    return h;
}

// The picture as RGB bytes; the marker bit is not a colour.
void picture_rgb(std::vector<uint8_t>* rgb) {
    rgb->resize(256 * 240 * 3);
    uint8_t* out = rgb->data();
    for (int32_t y = 0; y < 240; ++y) {
        const uint32_t* row = FrameSurface.Pixels + y * FrameSurface.Pitch;
        for (int32_t x = 0; x < 256; ++x) {
            *out++ = uint8_t(row[x] >> 16);
            *out++ = uint8_t(row[x] >> 8);
            *out++ = uint8_t(row[x]);
        }
    }
}

bool write_png(const std::string& path, const std::vector<uint8_t>& rgb) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = 256;
    image.height = 240;
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 256 * 3, nullptr) != 0;
}

void put_le(std::vector<uint8_t>& b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

bool write_wav(const std::string& path, const std::vector<uint8_t>& samples) {
    std::vector<uint8_t> h;
    const uint32_t n = uint32_t(samples.size());
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    put_le(h, 36 + n, 4);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_le(h, 16, 4);
    put_le(h, 1, 2);      // PCM
    put_le(h, 1, 2);      // mono
    put_le(h, 44100, 4);  // samples a second
    put_le(h, 44100, 4);  // bytes a second
    put_le(h, 1, 2);      // block align
    put_le(h, 8, 2);      // bits a sample
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    put_le(h, n, 4);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(h.data(), 1, h.size(), f) == h.size() &&
              (n == 0 || std::fwrite(samples.data(), 1, n, f) == n);
    return std::fclose(f) == 0 && ok;
}

// One whole frame as the desktop app makes it: the machine's frame, the
// sprites laid over it, and its 735 samples (silence while halted).
void whole_frame(uint8_t* samples) {
    lock_frame_surfaces();
    run_frame();
    unlock_frame_surfaces();
    if (MachineState.Halted)
        std::memset(samples, 0x80, SamplesPerFrame);
    else
        apu_mix(samples);
    update_behind_key();
    if (PpuRegisters.PpuMask & 0x10) CompositeSprites();
}

// One line of hashes of the whole machine after a frame: picture, memories,
// CPU and picture registers, and the frame's sound.
void print_frame_hashes(uint32_t frame, const uint8_t* samples) {
    uint64_t picture = kFnvOffset;
    for (int y = 0; y < 240; ++y)
        picture = fnv1a(
            picture, reinterpret_cast<const uint8_t*>(FrameSurface.Pixels + y * FrameSurface.Pitch),
            256 * sizeof(uint32_t));
    uint64_t memory = fnv1a(kFnvOffset, CpuRam, 0x800);
    memory = fnv1a(memory, SaveRam, SaveRamSize);
    memory = fnv1a(memory, PpuMemory, PpuMemorySize);
    memory = fnv1a(memory, SpriteRam, SpriteRamSize);
    const uint8_t cpu[] = {
        ncpu.rA, ncpu.rX, ncpu.rY, ncpu.rS, ncpu.rF, uint8_t(ncpu.rPC), uint8_t(ncpu.rPC >> 8)};
    uint64_t registers = fnv1a(kFnvOffset, cpu, sizeof cpu);
    const PpuRegisterRecord& r = PpuRegisters;
    const int32_t ppu[] = {r.PpuControl,  r.PpuMask,          r.PpuStatus, r.OamAddress,
                           r.VramAddress, int32_t(r.ScrollX), r.ScrollY,   r.ReadBuffer};
    registers = fnv1a(registers, reinterpret_cast<const uint8_t*>(ppu), sizeof ppu);
    std::printf("%u %016llx %016llx %016llx %016llx\n", frame, (unsigned long long)picture,
                (unsigned long long)memory, (unsigned long long)registers,
                (unsigned long long)fnv1a(kFnvOffset, samples, SamplesPerFrame));
}

// The $6000 result protocol of test cartridges.
struct TestStatus {
    int reset_in = -1;  // frames left before a requested reset
    bool finished(int* code) {
        bool valid = SaveRam[1] == 0xDE && SaveRam[2] == 0xB0 && SaveRam[3] == 0x61;
        uint8_t status = SaveRam[0];
        if (valid && status < 0x80) {
            *code = status;
            return true;
        }
        if (valid && status == 0x81) {
            if (reset_in < 0) reset_in = 6;
            if (reset_in-- == 0) {
                cpu_reset();
                SaveRam[0] = 0x80;
                reset_in = -1;
            }
        }
        return false;
    }
};

std::string status_text() {
    const char* text = reinterpret_cast<const char*>(SaveRam + 4);
    size_t n = strnlen(text, SaveRamSize - 4);
    return std::string(text, n);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int done = parse_options(argc, argv, &o);
    if (done >= 0) return done;

    if (!set_cartridge_file_name(o.rom.c_str())) {
        std::fprintf(stderr, "qel-run: cannot load %s: the path is too long\n", o.rom.c_str());
        return 2;
    }
    create_surfaces();
    power_up();
    if (MachineState.Halted) {
        std::fprintf(stderr, "qel-run: cannot load %s: %s\n", o.rom.c_str(), CartridgeLoadFailure);
        shut_down();
        return 2;
    }

    std::vector<uint8_t> audio;
    audio.reserve(size_t(o.frames) * SamplesPerFrame);
    uint64_t audio_hash = kFnvOffset;
    uint8_t samples[SamplesPerFrame];
    std::vector<uint8_t> rgb;
    TestStatus status;
    int exit_code = 0;
    bool test_done = false;
    uint32_t frame = 0;

    auto start = std::chrono::steady_clock::now();
    while (frame < o.frames) {
        ++frame;
        uint32_t bits = 0;
        for (const Press& p : o.presses)
            if (frame >= p.first && frame <= p.last) bits |= p.bits;
        MachineState.JoypadBits = bits;
        whole_frame(samples);
        if (!o.wav.empty()) audio.insert(audio.end(), samples, samples + SamplesPerFrame);
        if (o.hash) audio_hash = fnv1a(audio_hash, samples, SamplesPerFrame);
        if (o.frame_hashes) print_frame_hashes(frame, samples);
        for (const Shot& s : o.shots) {
            if (s.frame != frame) continue;
            picture_rgb(&rgb);
            if (!write_png(s.path, rgb)) {
                std::fprintf(stderr, "qel-run: cannot write %s\n", s.path.c_str());
                exit_code = 2;
            }
        }
        int code;
        if (o.test_status && status.finished(&code)) {
            std::string text = status_text();
            std::fputs(text.c_str(), stdout);
            if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
            exit_code = code == 0 ? 0 : 1;
            test_done = true;
            break;
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    if (o.test_status && !test_done) {
        std::printf("qel-run: no result after %u frames\n", frame);
        exit_code = 3;
    }
    if (!o.screenshot.empty()) {
        picture_rgb(&rgb);
        if (!write_png(o.screenshot, rgb)) {
            std::fprintf(stderr, "qel-run: cannot write %s\n", o.screenshot.c_str());
            exit_code = 2;
        }
    }
    if (!o.wav.empty() && !write_wav(o.wav, audio)) {
        std::fprintf(stderr, "qel-run: cannot write %s\n", o.wav.c_str());
        exit_code = 2;
    }
    if (o.hash) {
        picture_rgb(&rgb);
        std::printf("%016llx\n", (unsigned long long)fnv1a(kFnvOffset, rgb.data(), rgb.size()));
        std::printf("%016llx\n", (unsigned long long)audio_hash);
    }
    if (o.bench) {
        std::printf("frames: %u  seconds: %.3f  fps: %.0f\n", frame, seconds,
                    seconds > 0 ? frame / seconds : 0.0);
    }
    shut_down();
    return exit_code;
}
