// Loads the built core with dlopen as a frontend does, and compares what it
// shows and plays with qel-run's hashes of the same cartridge.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <libretro.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

namespace {

void* Handle;
// An entry point of the loaded core, typed as libretro.h declares it.
#define CORE(name) reinterpret_cast<decltype(&name)>(dlsym(Handle, #name))

uint64_t PictureHash, SoundHash;
uint32_t PadHeld;
std::string Logged;

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
uint64_t fnv(uint64_t h, uint8_t b) { return (h ^ b) * 0x100000001b3ULL; }

void log(retro_log_level, const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Logged += text;
}

bool environment(unsigned command, void* data) {
    if (command == RETRO_ENVIRONMENT_SET_PIXEL_FORMAT)
        return *static_cast<retro_pixel_format*>(data) == RETRO_PIXEL_FORMAT_XRGB8888;
    if (command == RETRO_ENVIRONMENT_GET_LOG_INTERFACE) {
        static_cast<retro_log_callback*>(data)->log = log;
        return true;
    }
    return false;
}
void video(const void* data, unsigned width, unsigned height, size_t pitch) {
    const uint8_t* rows = static_cast<const uint8_t*>(data);
    PictureHash = kFnvOffset;
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x)  // red, green, blue of little-endian XRGB
            for (int i : {2, 1, 0}) PictureHash = fnv(PictureHash, rows[y * pitch + x * 4 + i]);
}
size_t audio(const int16_t* samples, size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
        EXPECT_EQ(samples[2 * i], samples[2 * i + 1]);
        SoundHash = fnv(SoundHash, uint8_t(std::min(255, (samples[2 * i] + 0x8080) >> 8)));
    }
    return frames;
}
int16_t input(unsigned port, unsigned device, unsigned, unsigned id) {
    return port == 0 && device == RETRO_DEVICE_JOYPAD && ((PadHeld >> id) & 1);
}

std::vector<uint8_t> read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string qel_run_hashes(const char* rom, int frames) {
    std::string command = std::string(QEL_RUN) + " -n " + std::to_string(frames) +
                          " --press 60-200:RIGHT,130-132:A --hash " + rom;
    std::string out(256, '\0');
    FILE* p = popen(command.c_str(), "r");
    out.resize(p ? std::fread(out.data(), 1, out.size(), p) : 0);
    return p && pclose(p) == 0 ? out : "qel-run failed";
}

class Libretro : public ::testing::Test {
protected:
    void SetUp() override {
        Handle = dlopen(QEL_CORE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(Handle, nullptr) << dlerror();
        CORE(retro_set_environment)(environment);
        CORE(retro_set_video_refresh)(video);
        CORE(retro_set_audio_sample_batch)(audio);
        CORE(retro_set_input_poll)([] {});
        CORE(retro_set_input_state)(input);
        CORE(retro_init)();
    }
    void TearDown() override {
        if (!Handle) return;
        CORE(retro_deinit)();
        dlclose(Handle);
    }
    bool load(const std::vector<uint8_t>& image) {
        retro_game_info game{"cartridge.nes", image.data(), image.size(), nullptr};
        return CORE(retro_load_game)(&game);
    }
    // Frames counted from 1, with qel-run's --press script on the RetroPad.
    void run(int first, int last) {
        for (int frame = first; frame <= last; ++frame) {
            PadHeld = (frame >= 60 && frame <= 200 ? 1u << RETRO_DEVICE_ID_JOYPAD_RIGHT : 0) |
                      (frame >= 130 && frame <= 132 ? 1u << RETRO_DEVICE_ID_JOYPAD_A : 0);
            CORE(retro_run)();
        }
    }
};

// What it shows and plays matches qel-run; a state round-trips and damaged
// states and files are refused.
TEST_F(Libretro, ShowsAndPlaysWhatQelRunDoesAndKeepsItsStates) {
    retro_system_info info;
    CORE(retro_get_system_info)(&info);
    EXPECT_STREQ(info.valid_extensions, "nes|zip|7z|gz");
    EXPECT_STREQ(info.library_version, QEL_VERSION);
    EXPECT_FALSE(info.need_fullpath);  // loads from the frontend's bytes
    retro_system_av_info av;
    CORE(retro_get_system_av_info)(&av);
    EXPECT_EQ(std::tuple(av.geometry.base_width, av.geometry.base_height, av.timing.fps,
                         av.timing.sample_rate),
              std::tuple(256u, 240u, 60.0, 44100.0));

    ASSERT_TRUE(load(read_file(QEL_DEMO_ROM)));
    SoundHash = kFnvOffset;
    run(1, 100);
    const size_t size = CORE(retro_serialize_size)();
    std::vector<uint8_t> state(size);
    ASSERT_TRUE(CORE(retro_serialize)(state.data(), size));
    run(101, 600);
    char ours[64];
    std::snprintf(ours, sizeof ours, "%016llx\n%016llx\n", (unsigned long long)PictureHash,
                  (unsigned long long)SoundHash);
    EXPECT_EQ(ours, qel_run_hashes(QEL_DEMO_ROM, 600));

    const uint64_t later = PictureHash;
    std::vector<uint8_t> damaged = state;
    damaged[size / 2] ^= 1;
    EXPECT_FALSE(CORE(retro_unserialize)(damaged.data(), size));
    EXPECT_FALSE(CORE(retro_unserialize)(state.data(), size - 1));
    ASSERT_TRUE(CORE(retro_unserialize)(state.data(), size));
    run(101, 600);
    EXPECT_EQ(PictureHash, later);

    EXPECT_EQ(CORE(retro_get_memory_size)(RETRO_MEMORY_SYSTEM_RAM), 2048u);
    EXPECT_EQ(CORE(retro_get_memory_size)(RETRO_MEMORY_SAVE_RAM), 0u);  // no battery save
    Logged.clear();
    EXPECT_FALSE(load({'N', 'E', 'S'}));
    EXPECT_EQ(Logged, "Qel: cannot load cartridge.nes: file is shorter than an iNES header\n");

    // A battery game loaded after another starts with empty save RAM (the
    // frontend then fills in its own save), not with the other game's.
    std::vector<uint8_t> battery = {'N', 'E', 'S', 0x1A, 1, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    battery.resize(16 + 16384, 0xEA);
    battery[16 + 0x3FFD] = 0xC0;  // reset at $C000
    for (int game = 0; game < 2; ++game) {
        ASSERT_TRUE(load(battery));
        auto* ram = static_cast<uint8_t*>(CORE(retro_get_memory_data)(RETRO_MEMORY_SAVE_RAM));
        ASSERT_EQ(CORE(retro_get_memory_size)(RETRO_MEMORY_SAVE_RAM), 8192u);
        EXPECT_EQ(std::count(ram, ram + 8192, 0), 8192);
        std::fill(ram, ram + 8192, 0xAA);
    }
}

}  // namespace
