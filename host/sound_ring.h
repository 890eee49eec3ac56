// The sound ring: 16 blocks of one frame's 735 samples between the frame loop
// and the sound device. The frame side writes block FramesWritten % 16 once a
// frame; the device side plays the written blocks in frame order at its own
// clock. When the two clocks drift apart the device side repeats one block
// (it ran dry) or skips one (it fell behind for a whole stretch); with nothing
// written it plays silence, never old blocks again. No locking here: the
// caller keeps the two sides apart.
#pragma once
#include <cstdint>

constexpr uint32_t SoundBlockSize = 735;  // one frame at 44,100 samples a second
constexpr uint32_t SoundBlocks = 16;
constexpr uint32_t SoundBufferSize = SoundBlockSize * SoundBlocks;
using SoundSample = int16_t;  // signed 16-bit
constexpr SoundSample SoundSilence = 0;

class SoundRing {
public:
    // Empties the ring for a device that takes device_period samples a call;
    // the device side plays silence until enough blocks wait.
    void restart(uint32_t device_period);
    // The block the next frame fills: block FramesWritten % 16.
    SoundSample* next_block();
    // Counts the block returned by next_block as written.
    void block_written();
    // The device side: fills out with length samples.
    void play(SoundSample* out, uint32_t length);

    const SoundSample* buffer() const { return SoundBuffer; }
    uint64_t frames_written() const { return FramesWritten; }
    uint32_t repeats() const { return Repeats; }
    uint32_t skips() const { return Skips; }

private:
    bool start_block();

    SoundSample SoundBuffer[SoundBufferSize];
    uint32_t DevicePeriod = 0;
    uint64_t FramesWritten = 0;  // the frame counter: blocks written since the restart
    uint64_t FramesPlayed = 0;   // blocks begun by the device side (repeats not counted)
    const SoundSample* PlayBlock = nullptr;
    uint32_t PlayOffset = SoundBlockSize;
    bool Waiting = true;      // silence until Margin blocks more than a device call wait
    bool Repeated = false;    // the block playing is a repeat
    uint32_t Margin = 1;      // spare blocks kept beyond one device call; grows when it runs dry
    int64_t LowestSpare = 0;  // fewest spare samples at a device call in this stretch
    uint32_t CallsInStretch = 0;
    uint32_t Repeats = 0;
    uint32_t Skips = 0;
};
