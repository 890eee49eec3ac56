// No memory is allocated inside a frame: every allocation of the machine's
// code passes through counters here (the link wraps malloc, calloc and
// realloc), and whole frames of real cartridges must not move them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "core/console.h"
#include "core/machine.h"
#include "tests/test_support.h"

namespace {
size_t Allocations;
}

extern "C" {
void* __real_malloc(size_t);
void* __real_calloc(size_t, size_t);
void* __real_realloc(void*, size_t);
void* __wrap_malloc(size_t n) { return ++Allocations, __real_malloc(n); }
void* __wrap_calloc(size_t n, size_t m) { return ++Allocations, __real_calloc(n, m); }
void* __wrap_realloc(void* p, size_t n) { return ++Allocations, __real_realloc(p, n); }
}

void* operator new(size_t n) {
    ++Allocations;
    if (void* p = __real_malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

// Whole frames as the app makes them: the frame, the sprites, the sound.
size_t allocations_over_frames(const std::string& rom, int frames) {
    reset_machine_globals();
    console_power_up();
    if (!console_choose_cartridge(rom.c_str())) return ~size_t(0);
    EXPECT_EQ(console_load_cartridge(), nullptr) << rom;
    size_t before = Allocations;
    for (int f = 0; f < frames; ++f) {
        console_set_pad((f / 30) & 1 ? 0x81 : 0x08);
        console_run_frame();
    }
    size_t during = Allocations - before;
    console_shut_down();
    return during;
}

TEST(Allocations, NoneInsideFramesOfTheDemoAndTheSharedCartridges) {
    EXPECT_EQ(allocations_over_frames(QEL_DEMO_ROM, 300), 0u);
    std::string dir = test_roms_dir();
    SKIP_WITHOUT_TEST_ROMS(dir);
    for (const char* rom : {"demos/spritecans.nes", "demos/smwstomp.nes", "demos/scroll.nes",
                            "instr_test-v5/official_only.nes"})
        EXPECT_EQ(allocations_over_frames(dir + "/" + rom, 300), 0u) << rom;
}

TEST(Allocations, TheCountersSeeTheMachinesAllocations) {
    size_t before = Allocations;
    ASSERT_TRUE(allocate_memories());
    free_memories();
    EXPECT_EQ(Allocations - before, 5u);
}

}  // namespace
