#include "core/rewind.h"

#include <cstring>

namespace {

// A step is a list of (unchanged bytes, changed bytes, the changed bytes
// XORed with the newer state's), counts as 7-bit varints.
void put_count(std::vector<uint8_t>& out, size_t n) {
    while (n >= 0x80) {
        out.push_back(uint8_t(n | 0x80));
        n >>= 7;
    }
    out.push_back(uint8_t(n));
}

size_t get_count(const uint8_t*& p) {
    size_t n = 0;
    for (int shift = 0;; shift += 7) {
        const uint8_t b = *p++;
        n |= size_t(b & 0x7F) << shift;
        if (!(b & 0x80)) return n;
    }
}

// Bytes from i on that a and b share, eight at a time where they can.
size_t same_run(const uint8_t* a, const uint8_t* b, size_t i, size_t n) {
    size_t j = i;
    while (j + 8 <= n) {
        uint64_t x, y;
        std::memcpy(&x, a + j, 8);
        std::memcpy(&y, b + j, 8);
        if (x != y) break;
        j += 8;
    }
    while (j < n && a[j] == b[j]) ++j;
    return j - i;
}

void encode(const uint8_t* older, const uint8_t* newer, size_t n, std::vector<uint8_t>& out) {
    out.clear();
    size_t i = 0;
    while (i < n) {
        const size_t same = same_run(older, newer, i, n);
        i += same;
        if (i == n) break;
        // Changed bytes run on until four unchanged ones in a row.
        size_t end = i;
        while (end < n) {
            if (older[end] != newer[end]) {
                ++end;
                continue;
            }
            size_t k = end;
            while (k < n && k < end + 4 && older[k] == newer[k]) ++k;
            if (k == n || k == end + 4) break;
            end = k;
        }
        put_count(out, same);
        put_count(out, end - i);
        for (; i < end; ++i) out.push_back(uint8_t(older[i] ^ newer[i]));
    }
    out.shrink_to_fit();
}

void apply(const std::vector<uint8_t>& step, std::vector<uint8_t>& state) {
    const uint8_t* p = step.data();
    const uint8_t* end = p + step.size();
    size_t i = 0;
    while (p < end) {
        i += get_count(p);
        const size_t changed = get_count(p);
        for (size_t k = 0; k < changed; ++k) state[i++] ^= *p++;
    }
}

}  // namespace

void rewind_clear(RewindRing& ring) {
    ring.Latest.clear();
    ring.Latest.shrink_to_fit();
    ring.Steps.clear();
    ring.StepBytes = 0;
}

void rewind_push(RewindRing& ring, const uint8_t* state, size_t size) {
    if (ring.Latest.size() != size) {
        rewind_clear(ring);
        ring.Latest.assign(state, state + size);
        return;
    }
    std::vector<uint8_t> step;
    encode(ring.Latest.data(), state, size, step);
    ring.StepBytes += step.capacity();
    ring.Steps.push_back(std::move(step));
    std::memcpy(ring.Latest.data(), state, size);
    while (!ring.Steps.empty() &&
           (ring.Steps.size() + 1 > ring.MaxStates || ring.StepBytes > ring.MaxBytes)) {
        ring.StepBytes -= ring.Steps.front().capacity();
        ring.Steps.pop_front();
    }
}

bool rewind_back(RewindRing& ring) {
    if (ring.Steps.empty()) return false;
    apply(ring.Steps.back(), ring.Latest);
    ring.StepBytes -= ring.Steps.back().capacity();
    ring.Steps.pop_back();
    return true;
}

size_t rewind_states(const RewindRing& ring) {
    return ring.Latest.empty() ? 0 : ring.Steps.size() + 1;
}

size_t rewind_bytes(const RewindRing& ring) { return ring.Latest.capacity() + ring.StepBytes; }
