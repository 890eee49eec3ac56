// qel-run: the machine without a window. Powers up, loads a cartridge and runs
// whole frames as fast as the host allows, for tests, benchmarks and batch work.
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/console.h"

namespace {

const char kUsage[] =
    "usage: qel-run [options] ROM.nes (or a .zip, .7z or .gz holding one)\n"
    "  -n, --frames N            frames to run (default 600)\n"
    "  --press SPEC              joypad input: FRAME[-FRAME]:BUTTONS[,...], frames counted from "
    "1,\n"
    "                            BUTTONS from A B SELECT START UP DOWN LEFT RIGHT joined with +\n"
    "                            for pad 1, or 2:BUTTONS for pad 2 (e.g. 100-120:2:A+LEFT)\n"
    "  --screenshot FILE.png     the last frame's picture\n"
    "  --screenshot-at N:FILE    the picture after frame N (repeatable)\n"
    "  --wav FILE.wav            all the sound of the run (16-bit mono, 44100 Hz)\n"
    "  --wav-8bit                write that file with the 8-bit samples instead\n"
    "  --hash                    print FNV-1a hashes of the last picture and of all the sound\n"
    "  --bench                   print frames, seconds and frames per second\n"
    "  --frame-hashes            print each frame's hashes of picture, memories, registers, sound\n"
    "  --test-status             follow the $6000 result protocol of test cartridges\n"
    "  --save-state N:FILE       save the machine's state after frame N (repeatable)\n"
    "  --load-state FILE         start from a saved state; -n counts from there\n"
    "  --sram FILE               a battery cartridge's save RAM: read if present, written "
    "at the end\n"
    "  --no-shortcuts            run every budget instruction by instruction, copy every bank\n"
    "  --no-simd                 decode tiles and sprite rows without byte shuffles\n"
    "  --version                 print the version\n"
    "  -h, --help                print this help\n"
    "exit status: 0 done, 1 a test cartridge reported a failure, 2 bad options or files,\n"
    "  3 no test result in time, 4 the CPU stopped at an opcode it cannot run,\n"
    "  128 + N stopped by signal N (SIGTERM, SIGINT, SIGHUP: files written as at the end)\n";

struct Press {
    uint32_t first, last, bits;
    uint32_t pad;  // 1 or 2
};

// A file to write after a given frame: a picture or a state.
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
    bool wav_8bit = false;
    bool hash = false;
    bool bench = false;
    bool frame_hashes = false;
    bool test_status = false;
    bool shortcuts = true;
    bool simd = true;
    std::vector<Shot> states;
    std::string load_state;
    std::string sram;
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
    static const std::pair<const char*, uint32_t> kNames[8] = {
        {"A", ConsolePadA},         {"B", ConsolePadB},        {"SELECT", ConsolePadSelect},
        {"START", ConsolePadStart}, {"UP", ConsolePadUp},      {"DOWN", ConsolePadDown},
        {"LEFT", ConsolePadLeft},   {"RIGHT", ConsolePadRight}};
    *bits = 0;
    size_t start = 0;
    while (start <= s.size()) {
        size_t plus = s.find('+', start);
        std::string name =
            s.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        bool found = false;
        for (auto [button, bit] : kNames) {
            if (name == button) {
                *bits |= bit;
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
        std::string buttons = item.substr(colon + 1);
        p.pad = 1;
        if (buttons.size() > 2 && (buttons[0] == '1' || buttons[0] == '2') && buttons[1] == ':') {
            p.pad = uint32_t(buttons[0] - '0');
            buttons.erase(0, 2);
        }
        if (!parse_buttons(buttons, &p.bits)) return false;
        out->push_back(p);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

// N:FILE
bool parse_shot(const std::string& v, Shot* s) {
    size_t colon = v.find(':');
    if (colon == std::string::npos || colon + 1 == v.size() ||
        !parse_count(v.substr(0, colon), &s->frame))
        return false;
    s->path = v.substr(colon + 1);
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
            std::puts("Qel " QEL_VERSION);
            return 0;
        } else if (a == "-n" || a == "--frames") {
            if (!value(&v) || !parse_count(v, &o->frames)) return usage_error("bad frame count");
        } else if (a == "--press") {
            if (!value(&v) || !parse_press(v, &o->presses)) return usage_error("bad --press");
        } else if (a == "--screenshot") {
            if (!value(&o->screenshot)) return usage_error("--screenshot needs a file");
        } else if (a == "--screenshot-at" || a == "--save-state") {
            Shot s;
            if (!value(&v) || !parse_shot(v, &s)) return usage_error(("bad " + a).c_str());
            (a == "--save-state" ? o->states : o->shots).push_back(s);
        } else if (a == "--load-state") {
            if (!value(&o->load_state)) return usage_error("--load-state needs a file");
        } else if (a == "--sram") {
            if (!value(&o->sram)) return usage_error("--sram needs a file");
        } else if (a == "--wav") {
            if (!value(&o->wav)) return usage_error("--wav needs a file");
        } else if (a == "--wav-8bit") {
            o->wav_8bit = true;
        } else if (a == "--hash") {
            o->hash = true;
        } else if (a == "--bench") {
            o->bench = true;
        } else if (a == "--frame-hashes") {
            o->frame_hashes = true;
        } else if (a == "--test-status") {
            o->test_status = true;
        } else if (a == "--no-shortcuts") {
            o->shortcuts = false;
        } else if (a == "--no-simd") {
            o->simd = false;
        } else if (!a.empty() && a[0] == '-') {
            return usage_error(("unknown option " + a).c_str());
        } else if (o->rom.empty()) {
            o->rom = a;
        } else {
            return usage_error("only one cartridge can run");
        }
    }
    if (o->rom.empty()) return usage_error("no cartridge given");
    // A picture or state after a frame that never runs would be missing without a word.
    for (const Shot& s : o->shots)
        if (s.frame == 0 || s.frame > o->frames)
            return usage_error("bad --screenshot-at: no such frame");
    for (const Shot& s : o->states)
        if (s.frame == 0 || s.frame > o->frames)
            return usage_error("bad --save-state: no such frame");
    return -1;
}

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

uint64_t fnv1a(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * kFnvPrime;
    return h;
}

// The picture as RGB bytes (the top byte is no colour).
void picture_rgb(std::vector<uint8_t>* rgb) {
    rgb->resize(256 * 240 * 3);
    uint8_t* out = rgb->data();
    const uint32_t* picture = console_picture();
    const int32_t pitch = console_picture_pitch();
    for (int32_t y = 0; y < ConsolePictureHeight; ++y) {
        const uint32_t* row = picture + y * pitch;
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

// The sound of the run, written as it is made: the header's sizes are filled
// in at the end. A file that fails on the way is removed.
struct WavFile {
    FILE* f = nullptr;
    std::string path;
    uint64_t samples = 0;
    uint32_t bytes_per_sample = 2;
    bool ok = true;

    bool open(const std::string& name) {
        path = name;
        f = std::fopen(name.c_str(), "wb");
        return f && header();
    }
    bool header() {
        // Sizes past 4 GB do not fit the format: they are given as the largest.
        const uint32_t n =
            uint32_t(std::min<uint64_t>(samples * bytes_per_sample, 0xFFFFFFFFu - 36));
        std::vector<uint8_t> h;
        h.insert(h.end(), {'R', 'I', 'F', 'F'});
        put_le(h, 36 + n, 4);
        h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
        put_le(h, 16, 4);
        put_le(h, 1, 2);                         // PCM
        put_le(h, 1, 2);                         // mono
        put_le(h, 44100, 4);                     // samples a second
        put_le(h, 44100 * bytes_per_sample, 4);  // bytes a second
        put_le(h, bytes_per_sample, 2);          // block align
        put_le(h, 8 * bytes_per_sample, 2);      // bits a sample
        h.insert(h.end(), {'d', 'a', 't', 'a'});
        put_le(h, n, 4);
        return std::fwrite(h.data(), 1, h.size(), f) == h.size();
    }
    void add(const uint8_t* block, size_t n) {
        if (!f) return;
        ok = ok && std::fwrite(block, 1, n, f) == n;
        samples += n;
    }
    // Signed 16-bit samples, little-endian.
    void add(const int16_t* block, size_t n) {
        if (!f) return;
        uint8_t bytes[2 * ConsoleSamplesPerFrame];
        for (size_t i = 0; i < n && i < ConsoleSamplesPerFrame; ++i) {
            bytes[2 * i] = uint8_t(block[i]);
            bytes[2 * i + 1] = uint8_t(uint16_t(block[i]) >> 8);
        }
        ok = ok && std::fwrite(bytes, 2, n, f) == n;
        samples += n;
    }
    // Fills the sizes in and closes; false (and no file left) on any failure.
    bool finish() {
        if (!f) return false;
        ok = ok && std::fseek(f, 0, SEEK_SET) == 0 && header();
        ok = std::fclose(f) == 0 && ok;
        f = nullptr;
        if (!ok) std::remove(path.c_str());
        return ok;
    }
};

// One line of hashes of the whole machine after a frame: picture, memories,
// CPU and picture registers, and the frame's sound.
void print_frame_hashes(uint32_t frame) {
    const ConsoleHashes h = console_hashes();
    std::printf("%u %016llx %016llx %016llx %016llx\n", frame, (unsigned long long)h.Picture,
                (unsigned long long)h.Memory, (unsigned long long)h.Registers,
                (unsigned long long)fnv1a(kFnvOffset, console_samples(), ConsoleSamplesPerFrame));
}

// The $6000 result protocol of test cartridges.
struct TestStatus {
    int reset_in = -1;  // frames left before a requested reset
    bool finished(int* code) {
        uint8_t* ram = console_save_ram();
        bool valid = ram[1] == 0xDE && ram[2] == 0xB0 && ram[3] == 0x61;
        uint8_t status = ram[0];
        if (valid && status < 0x80) {
            *code = status;
            return true;
        }
        if (valid && status == 0x81) {
            if (reset_in < 0) reset_in = 6;
            if (reset_in-- == 0) {
                console_reset();
                ram[0] = 0x80;
                reset_in = -1;
            }
        }
        return false;
    }
};

std::string status_text() {
    const char* text = reinterpret_cast<const char*>(console_save_ram() + 4);
    size_t n = strnlen(text, ConsoleSaveRamSize - 4);
    return std::string(text, n);
}

// SIGTERM, SIGINT and SIGHUP end the run after the frame in hand, with every
// file written as at the end: a state or save being written is finished, and
// no temporary is left behind.
volatile sig_atomic_t StopSignal = 0;
void note_stop(int signal) { StopSignal = signal; }

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int done = parse_options(argc, argv, &o);
    if (done >= 0) return done;

    console_power_up();
    console_set_shortcuts(o.shortcuts);
    console_set_simd(o.simd);
    if (!console_choose_cartridge(o.rom.c_str())) {
        std::fprintf(stderr, "qel-run: cannot load %s: the path is too long\n", o.rom.c_str());
        console_shut_down();
        return 2;
    }
    if (const char* why = console_load_cartridge()) {
        std::fprintf(stderr, "qel-run: cannot load %s: %s\n", o.rom.c_str(), why);
        console_shut_down();
        return 2;
    }
    if (*console_cartridge_news())
        std::fprintf(stderr, "qel-run: %s: %s\n", o.rom.c_str(), console_cartridge_news());
    // Without the battery flag the save RAM is not kept: no file is read or written.
    const bool keep_sram = !o.sram.empty() && console_has_battery();
    if (!o.sram.empty() && !keep_sram)
        std::fprintf(stderr, "qel-run: %s has no battery: %s is not used\n", o.rom.c_str(),
                     o.sram.c_str());
    if (keep_sram && access(o.sram.c_str(), F_OK) == 0) {
        if (const char* why = console_read_save_ram_file(o.sram.c_str())) {
            std::fprintf(stderr, "qel-run: %s\n", why);
            console_shut_down();
            return 2;
        }
    }
    if (!o.load_state.empty()) {
        if (const char* why = console_load_state_file(o.load_state.c_str())) {
            std::fprintf(stderr, "qel-run: cannot load the state %s: %s\n", o.load_state.c_str(),
                         why);
            console_shut_down();
            return 2;
        }
    }

    WavFile wav;
    wav.bytes_per_sample = o.wav_8bit ? 1 : 2;
    if (!o.wav.empty() && !wav.open(o.wav)) {
        std::fprintf(stderr, "qel-run: cannot write %s: %s\n", o.wav.c_str(), std::strerror(errno));
        if (wav.f) {
            std::fclose(wav.f);
            std::remove(o.wav.c_str());
        }
        console_shut_down();
        return 2;
    }
    uint64_t audio_hash = kFnvOffset;
    std::vector<uint8_t> rgb;
    TestStatus status;
    int exit_code = 0;
    bool test_done = false;
    uint32_t frame = 0;

    struct sigaction action = {};
    action.sa_handler = note_stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
    auto start = std::chrono::steady_clock::now();
    while (frame < o.frames && !StopSignal) {
        ++frame;
        uint32_t bits[3] = {};
        for (const Press& p : o.presses)
            if (frame >= p.first && frame <= p.last) bits[p.pad] |= p.bits;
        console_set_pad(bits[1]);
        console_set_pad2(bits[2]);
        if (console_run_frame() != 0) {
            // The frame is cut short where the CPU stopped: no frozen frames follow.
            std::fprintf(stderr, "qel-run: Invaild code: %02x\n", console_error_code());
            exit_code = 4;
            break;
        }
        if (o.wav_8bit)
            wav.add(console_samples(), ConsoleSamplesPerFrame);
        else
            wav.add(console_samples16(), ConsoleSamplesPerFrame);
        if (o.hash) audio_hash = fnv1a(audio_hash, console_samples(), ConsoleSamplesPerFrame);
        if (o.frame_hashes) print_frame_hashes(frame);
        for (const Shot& s : o.states) {
            if (s.frame != frame) continue;
            if (const char* why = console_save_state_file(s.path.c_str())) {
                std::fprintf(stderr, "qel-run: %s\n", why);
                exit_code = 2;
            }
        }
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

    if (StopSignal) {
        std::fprintf(stderr, "qel-run: stopped by signal %d after frame %u\n", int(StopSignal),
                     frame);
        exit_code = 128 + StopSignal;
    } else if (o.test_status && !test_done && exit_code != 4) {
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
    if (!o.wav.empty() && !wav.finish()) {
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
    if (keep_sram) {
        if (const char* why = console_write_save_ram_file(o.sram.c_str())) {
            std::fprintf(stderr, "qel-run: %s\n", why);
            exit_code = 2;
        }
    }
    console_shut_down();
    return exit_code;
}
