// Sound output: the SDL2 audio device plays the sound ring from its callback;
// each frame writes the next block, chosen by the frame counter.
#include <SDL.h>

#include <algorithm>

#include "core/console.h"
#include "host/host.h"

namespace {

SDL_AudioDeviceID SoundDevice;
uint32_t DevicePeriod;  // samples the device takes a call
bool SoundReady;
SoundRing Ring;

void SDLCALL play(void*, Uint8* stream, int length) {
    Ring.play(reinterpret_cast<SoundSample*>(stream), uint32_t(length) / sizeof(SoundSample));
}

// The frame's samples, made by console_run_frame (silence while halted).
void fill_block(SoundSample* block) {
    static_assert(SoundBlockSize == ConsoleSamplesPerFrame);
    scale_block(console_samples16(), block, App.SoundVolume, App.SoundMuted || App.SoundSilenced);
}

}  // namespace

void scale_block(const SoundSample* in, SoundSample* out, int volume, bool muted) {
    if (muted || volume <= 0) {
        std::fill_n(out, SoundBlockSize, SoundSilence);
        return;
    }
    if (volume >= 100) {
        std::copy_n(in, SoundBlockSize, out);
        return;
    }
    // On the 16-bit samples, rounded towards zero, so silence stays silence.
    for (uint32_t i = 0; i < SoundBlockSize; ++i) out[i] = SoundSample(in[i] * volume / 100);
}

const SoundSample* sound_buffer() { return Ring.buffer(); }

namespace {

// Opens the default device; on failure says why in SoundFailure.
bool open_sound_device() {
    if (!SoundReady) {
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) {
            App.SoundFailure = std::string("no sound device opened (") + SDL_GetError() +
                               "); the game runs silent";
            return false;
        }
        SoundReady = true;
    }
    SDL_AudioSpec want{}, have{};
    want.freq = 44100;
    want.format = AUDIO_S16SYS;
    want.channels = 1;
    // 20 ms a call: a whole number of milliseconds, which the timer-driven
    // drivers (disk, dummy) keep to exactly.
    want.samples = 882;
    want.callback = play;
    SoundDevice = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (SoundDevice == 0) {
        App.SoundFailure =
            std::string("no sound device opened (") + SDL_GetError() + "); the game runs silent";
        return false;
    }
    App.SoundFailure.clear();
    DevicePeriod = have.samples;
    Ring.restart(DevicePeriod);
    App.SoundPlaying = false;
    return true;
}

}  // namespace

int32_t sound_init(QWidget*) {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    // No device is no reason to stop: the game runs silent and the shell says so.
    open_sound_device();
    return 0;
}

bool sound_retry() {
    if (SoundDevice) return true;
    return open_sound_device();
}

void stream_sound() {
    if (!SoundDevice) return;  // no device: the frame's samples go nowhere
    SDL_LockAudioDevice(SoundDevice);
    if (!App.SoundPlaying) Ring.restart(DevicePeriod);
    fill_block(Ring.next_block());
    Ring.block_written();
    SDL_UnlockAudioDevice(SoundDevice);
    if (!App.SoundPlaying) {
        SDL_PauseAudioDevice(SoundDevice, 0);
        App.SoundPlaying = true;
    }
}

void stop_sound() {
    // A paused device plays silence.
    if (SoundDevice) SDL_PauseAudioDevice(SoundDevice, 1);
    App.SoundPlaying = false;
}

void sound_shutdown() {
    if (!SoundReady) return;
    if (SoundDevice) SDL_CloseAudioDevice(SoundDevice);
    SoundDevice = 0;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    SoundReady = false;
    App.SoundPlaying = false;
}
