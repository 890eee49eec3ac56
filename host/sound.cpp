// Sound output: a looping buffer of 16 blocks of 735 bytes, played by the SDL2
// audio callback from a play cursor; each frame writes the block after the
// write cursor.
#include <SDL.h>

#include <cstring>

#include "apu/apu.h"
#include "core/machine.h"
#include "host/host.h"

uint32_t SoundPlaying;

namespace {

SDL_AudioDeviceID SoundDevice;
bool SoundReady;
uint8_t SoundBuffer[SoundBufferSize];
uint32_t PlayCursor;
uint32_t DevicePeriod;  // bytes the device takes at a time: the write cursor's lead
uint8_t ScratchBlock[SoundBlockSize];

void SDLCALL play(void*, Uint8* stream, int length) {
    for (int i = 0; i < length; ++i) {
        stream[i] = SoundBuffer[PlayCursor];
        if (++PlayCursor == SoundBufferSize) PlayCursor = 0;
    }
}

void fill_block(uint8_t* block) {
    if (MachineState.Halted)
        std::memset(block, 0x80, SoundBlockSize);
    else
        apu_mix(block);
}

}  // namespace

uint32_t sound_block_for(uint32_t write_cursor) {
    return (write_cursor / SoundBlockSize + 1) % SoundBlocks;
}

const uint8_t* sound_buffer() { return SoundBuffer; }
uint32_t sound_play_cursor() { return PlayCursor; }

int32_t sound_init(QWidget* window) {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0)
        return sound_error(window, -1, "Direct sound object create fail");
    SoundReady = true;
    SDL_AudioSpec want{}, have{};
    want.freq = 44100;
    want.format = AUDIO_U8;
    want.channels = 1;
    want.samples = 512;
    want.callback = play;
    SoundDevice = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (SoundDevice == 0) return sound_error(window, -1, "Create sound buffer fail");
    DevicePeriod = have.samples;
    std::memset(SoundBuffer, 0x80, sizeof SoundBuffer);  // silence until written
    PlayCursor = 0;
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
    uint32_t write_cursor = (PlayCursor + DevicePeriod) % SoundBufferSize;
    fill_block(SoundBuffer + sound_block_for(write_cursor) * SoundBlockSize);
    if (!SoundPlaying) {
        PlayCursor = 0;
        SoundPlaying = 1;
    }
    SDL_UnlockAudioDevice(SoundDevice);
    SDL_PauseAudioDevice(SoundDevice, 0);
}

void stop_sound() {
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
