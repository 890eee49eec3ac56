// The ring of recent states that rewinding steps back through. The newest
// state is kept whole; each older one as the bytes that differ from the state
// after it, so a ring of half a minute takes little memory. The ring holds at
// most RewindMaxStates states and RewindMaxBytes bytes of differences: the
// oldest go first.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

constexpr uint32_t RewindEveryFrames = 4;  // a state every fourth frame
constexpr size_t RewindMaxStates = 450;    // 30 seconds at 60 frames a second
constexpr size_t RewindMaxBytes = size_t(24) << 20;

struct RewindRing {
    std::vector<uint8_t> Latest;             // the newest state, whole; empty: none
    std::deque<std::vector<uint8_t>> Steps;  // Steps.back() turns Latest into the state before
    size_t StepBytes = 0;                    // bytes the steps hold
    size_t MaxStates = RewindMaxStates;
    size_t MaxBytes = RewindMaxBytes;
};

void rewind_clear(RewindRing& ring);
// Adds a state (all states of one ring have the same size).
void rewind_push(RewindRing& ring, const uint8_t* state, size_t size);
// Steps back: Latest becomes the state before it. False (and nothing
// changes) when Latest is the oldest state kept.
bool rewind_back(RewindRing& ring);
// States held, and the bytes they take (the whole newest one and the steps).
size_t rewind_states(const RewindRing& ring);
size_t rewind_bytes(const RewindRing& ring);
