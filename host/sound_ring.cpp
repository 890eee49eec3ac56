#include "host/sound_ring.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kMaxMargin = 6;
constexpr uint32_t kStretchSamples = 22050;  // half a second of device calls per check

}  // namespace

void SoundRing::restart(uint32_t device_period) {
    std::fill_n(SoundBuffer, SoundBufferSize, SoundSilence);
    DevicePeriod = device_period;
    FramesWritten = FramesPlayed = 0;
    PlayBlock = nullptr;
    PlayOffset = SoundBlockSize;
    Waiting = true;
    Repeated = false;
    Margin = 1;
    CallsInStretch = 0;
    Repeats = Skips = 0;
}

SoundSample* SoundRing::next_block() {
    // The device side has stalled a whole ring behind (a paused or hung
    // device): what it has not played is dropped, and it starts again from
    // the newest blocks, so the block written now is never one being read.
    if (!Waiting && FramesWritten - FramesPlayed >= SoundBlocks - 1) {
        Waiting = true;
        PlayBlock = nullptr;
    }
    return SoundBuffer + (FramesWritten % SoundBlocks) * SoundBlockSize;
}

void SoundRing::block_written() { ++FramesWritten; }

bool SoundRing::start_block() {
    uint64_t waiting = FramesWritten - FramesPlayed;
    if (Waiting) {
        const uint64_t needed = (DevicePeriod + SoundBlockSize - 1) / SoundBlockSize + Margin;
        if (waiting < needed) return false;
        FramesPlayed = FramesWritten - needed;  // the newest blocks, for the least delay
        waiting = needed;
        Waiting = false;
        Repeated = false;
        CallsInStretch = 0;
    }
    if (waiting == 0) {
        if (Repeated || FramesPlayed == 0) {
            // Still nothing after one repeat: the frames have stopped (a
            // minimised window, a stall), not drifted. Silence until they
            // come back; the repeat's extra margin is given back.
            if (Repeated && Margin > 1) --Margin;
            Waiting = true;
            PlayBlock = nullptr;
            return false;
        }
        // Ran dry: the last block once more, and one block more in hand from now on.
        Repeated = true;
        ++Repeats;
        if (Margin < kMaxMargin) ++Margin;
        PlayBlock = SoundBuffer + ((FramesPlayed - 1) % SoundBlocks) * SoundBlockSize;
        PlayOffset = 0;
        return true;
    }
    Repeated = false;
    PlayBlock = SoundBuffer + (FramesPlayed % SoundBlocks) * SoundBlockSize;
    ++FramesPlayed;
    PlayOffset = 0;
    return true;
}

void SoundRing::play(SoundSample* out, uint32_t length) {
    if (!Waiting) {
        // Samples in hand beyond this call. When even the lowest figure of a
        // whole stretch exceeds the margin by a block, the device is slower
        // than the frames: one block is skipped.
        const int64_t spare = int64_t(FramesWritten - FramesPlayed) * SoundBlockSize +
                              (SoundBlockSize - PlayOffset) - length;
        if (CallsInStretch == 0 || spare < LowestSpare) LowestSpare = spare;
        const uint32_t stretch = std::max<uint32_t>(4, kStretchSamples / std::max(length, 1u));
        if (++CallsInStretch >= stretch) {
            if (LowestSpare >= int64_t(Margin + 1) * SoundBlockSize &&
                FramesWritten - FramesPlayed > 1) {
                ++FramesPlayed;
                ++Skips;
            }
            CallsInStretch = 0;
        }
    }
    while (length > 0) {
        if ((Waiting || PlayOffset == SoundBlockSize) && !start_block()) {
            std::fill_n(out, length, SoundSilence);
            return;
        }
        const uint32_t n = std::min(length, SoundBlockSize - PlayOffset);
        std::copy_n(PlayBlock + PlayOffset, n, out);
        out += n;
        length -= n;
        PlayOffset += n;
    }
}
