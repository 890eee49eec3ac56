// Sound output: the SDL2 audio device plays the sound ring from its callback;
// each frame writes the next block, chosen by the frame counter.
#include <SDL.h>

#include <cstring>

#include "apu/apu.h"
#include "core/machine.h"
#include "host/host.h"

uint32_t SoundPlaying;

namespace {

SDL_AudioDeviceID SoundDevice;
uint32_t DevicePeriod;  // samples the device takes a call
bool SoundReady;
SoundRing Ring;
uint8_t ScratchBlock[SoundBlockSize];

void SDLCALL play(void*, Uint8* stream, int length) { Ring.play(stream, uint32_t(length)); }

void fill_block(uint8_t* block) {
    if (MachineState.Halted)
        std::memset(block, SoundSilence, SoundBlockSize);
    else
        apu_mix(block);
}

}  // namespace

const uint8_t* sound_buffer() { return Ring.buffer(); }

int32_t sound_init(QWidget* window) {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0)
        return sound_error(window, -1, "Direct sound object create fail");
    SoundReady = true;
    SDL_AudioSpec want{}, have{};
    want.freq = 44100;
    want.format = AUDIO_U8;
    want.channels = 1;
    // 20 ms a call: a whole number of milliseconds, which the timer-driven
    // drivers (disk, dummy) keep to exactly.
    want.samples = 882;
    want.callback = play;
    SoundDevice = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (SoundDevice == 0) return sound_error(window, -1, "Create sound buffer fail");
    DevicePeriod = have.samples;
    Ring.restart(DevicePeriod);
    SoundPlaying = 0;
    return 0;
}

void stream_sound() {
    if (!SoundDevice) {
        // No device: the sound unit still runs, so its interrupts keep their time.
        fill_block(ScratchBlock);
        return;
    }
    SDL_LockAudioDevice(SoundDevice);
    if (!SoundPlaying) Ring.restart(DevicePeriod);
    fill_block(Ring.next_block());
    Ring.block_written();
    SDL_UnlockAudioDevice(SoundDevice);
    if (!SoundPlaying) {
        SDL_PauseAudioDevice(SoundDevice, 0);
        SoundPlaying = 1;
    }
}

void stop_sound() {
    // A paused device plays silence.
    if (SoundDevice) SDL_PauseAudioDevice(SoundDevice, 1);
    SoundPlaying = 0;
}

void sound_shutdown() {
    if (!SoundReady) return;
    if (SoundDevice) SDL_CloseAudioDevice(SoundDevice);
    SoundDevice = 0;
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    SoundReady = false;
    SoundPlaying = 0;
}
