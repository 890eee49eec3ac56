// Qel as a libretro core: the frontend hands over the cartridge image, asks
// for one frame at a time and takes the picture as XRGB8888 and the sound as
// stereo 16-bit samples; states, battery saves and work RAM go through the
// memory interface.
#include <libretro.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/console.h"

namespace {

retro_environment_t Environment;
retro_video_refresh_t VideoRefresh;
retro_audio_sample_batch_t AudioBatch;
retro_input_poll_t InputPoll;
retro_input_state_t InputState;
retro_log_printf_t Log;

int16_t Sound[ConsoleSamplesPerFrame * 2];
int32_t TurboACount[2], TurboBCount[2];  // per port

// The pad on a port: 0 is the console's first pad, 1 its second.
uint32_t pad_bits(unsigned port) {
    static const std::pair<unsigned, uint32_t> kButtons[8] = {
        {RETRO_DEVICE_ID_JOYPAD_A, ConsolePadA},
        {RETRO_DEVICE_ID_JOYPAD_B, ConsolePadB},
        {RETRO_DEVICE_ID_JOYPAD_SELECT, ConsolePadSelect},
        {RETRO_DEVICE_ID_JOYPAD_START, ConsolePadStart},
        {RETRO_DEVICE_ID_JOYPAD_UP, ConsolePadUp},
        {RETRO_DEVICE_ID_JOYPAD_DOWN, ConsolePadDown},
        {RETRO_DEVICE_ID_JOYPAD_LEFT, ConsolePadLeft},
        {RETRO_DEVICE_ID_JOYPAD_RIGHT, ConsolePadRight}};
    uint32_t bits = 0;
    for (auto [id, bit] : kButtons)
        if (InputState(port, RETRO_DEVICE_JOYPAD, 0, id)) bits |= bit;
    if (console_turbo(InputState(port, RETRO_DEVICE_JOYPAD, 0, RETRO_DEVICE_ID_JOYPAD_X),
                      TurboACount[port]))
        bits |= ConsolePadA;
    if (console_turbo(InputState(port, RETRO_DEVICE_JOYPAD, 0, RETRO_DEVICE_ID_JOYPAD_Y),
                      TurboBCount[port]))
        bits |= ConsolePadB;
    return bits;
}

void fallback_log(retro_log_level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

}  // namespace

RETRO_API unsigned retro_api_version() { return RETRO_API_VERSION; }

RETRO_API void retro_set_environment(retro_environment_t environment) {
    Environment = environment;
    bool no_game = false;
    environment(RETRO_ENVIRONMENT_SET_SUPPORT_NO_GAME, &no_game);
    retro_log_callback logging;
    Log = environment(RETRO_ENVIRONMENT_GET_LOG_INTERFACE, &logging) ? logging.log : fallback_log;
}

RETRO_API void retro_set_video_refresh(retro_video_refresh_t refresh) { VideoRefresh = refresh; }
RETRO_API void retro_set_audio_sample(retro_audio_sample_t) {}
RETRO_API void retro_set_audio_sample_batch(retro_audio_sample_batch_t batch) {
    AudioBatch = batch;
}
RETRO_API void retro_set_input_poll(retro_input_poll_t poll) { InputPoll = poll; }
RETRO_API void retro_set_input_state(retro_input_state_t state) { InputState = state; }

RETRO_API void retro_init() {
    if (!console_powered()) console_power_up();
}

RETRO_API void retro_deinit() {
    if (console_powered()) console_shut_down();
}

RETRO_API void retro_get_system_info(retro_system_info* info) {
    std::memset(info, 0, sizeof *info);
    info->library_name = "Qel";
    info->library_version = QEL_VERSION;
    // Archives the frontend hands over whole are read by the core itself.
    info->valid_extensions = "nes|zip|7z|gz";
    info->need_fullpath = false;
    info->block_extract = false;
}

RETRO_API void retro_get_system_av_info(retro_system_av_info* info) {
    std::memset(info, 0, sizeof *info);
    info->geometry.base_width = info->geometry.max_width = ConsolePictureWidth;
    info->geometry.base_height = info->geometry.max_height = ConsolePictureHeight;
    info->geometry.aspect_ratio = 4.0f / 3.0f;
    info->timing.fps = 60.0;
    info->timing.sample_rate = 44100.0;
}

RETRO_API void retro_set_controller_port_device(unsigned, unsigned) {}

RETRO_API void retro_reset() { console_reset(); }

RETRO_API void retro_run() {
    InputPoll();
    console_set_pad(pad_bits(0));
    console_set_pad2(pad_bits(1));
    console_run_frame();
    // XRGB8888 leaves the top byte alone: the picture goes out as it is.
    VideoRefresh(console_picture(), ConsolePictureWidth, ConsolePictureHeight,
                 size_t(console_picture_pitch()) * sizeof(uint32_t));
    const int16_t* samples = console_samples16();
    for (uint32_t i = 0; i < ConsoleSamplesPerFrame; ++i)
        Sound[2 * i] = Sound[2 * i + 1] = samples[i];
    AudioBatch(Sound, ConsoleSamplesPerFrame);
}

RETRO_API size_t retro_serialize_size() { return console_state_size(); }

RETRO_API bool retro_serialize(void* data, size_t size) {
    return console_save_state(static_cast<uint8_t*>(data), size) == nullptr;
}

RETRO_API bool retro_unserialize(const void* data, size_t size) {
    const char* why = console_load_state(static_cast<const uint8_t*>(data), size);
    if (why) Log(RETRO_LOG_WARN, "Qel: state refused: %s\n", why);
    return why == nullptr;
}

RETRO_API void retro_cheat_reset() {}
RETRO_API void retro_cheat_set(unsigned, bool, const char*) {}

RETRO_API bool retro_load_game(const retro_game_info* game) {
    retro_pixel_format format = RETRO_PIXEL_FORMAT_XRGB8888;
    if (!Environment(RETRO_ENVIRONMENT_SET_PIXEL_FORMAT, &format)) {
        Log(RETRO_LOG_ERROR, "Qel: the frontend cannot show XRGB8888 pictures\n");
        return false;
    }
    if (!console_powered()) console_power_up();
    const char* why = game && game->data ? console_load_cartridge_image(
                                               static_cast<const uint8_t*>(game->data), game->size)
                                         : "no cartridge was given";
    if (why) {
        Log(RETRO_LOG_ERROR, "Qel: cannot load %s: %s\n",
            game && game->path ? game->path : "the cartridge", why);
        return false;
    }
    // The frontend fills the save RAM of a game that has one after this; what
    // a game loaded before left there is not this game's.
    std::memset(console_save_ram(), 0, ConsoleSaveRamSize);
    if (*console_cartridge_news()) Log(RETRO_LOG_WARN, "Qel: %s\n", console_cartridge_news());
    TurboACount[0] = TurboACount[1] = TurboBCount[0] = TurboBCount[1] = 0;
    return true;
}

RETRO_API bool retro_load_game_special(unsigned, const retro_game_info*, size_t) { return false; }

RETRO_API void retro_unload_game() { console_halt(); }

RETRO_API unsigned retro_get_region() { return RETRO_REGION_NTSC; }

RETRO_API void* retro_get_memory_data(unsigned id) {
    if (id == RETRO_MEMORY_SAVE_RAM) return console_has_battery() ? console_save_ram() : nullptr;
    if (id == RETRO_MEMORY_SYSTEM_RAM) return console_powered() ? console_system_ram() : nullptr;
    return nullptr;
}

RETRO_API size_t retro_get_memory_size(unsigned id) {
    if (id == RETRO_MEMORY_SAVE_RAM) return console_has_battery() ? ConsoleSaveRamSize : 0;
    if (id == RETRO_MEMORY_SYSTEM_RAM) return console_powered() ? ConsoleSystemRamSize : 0;
    return 0;
}
