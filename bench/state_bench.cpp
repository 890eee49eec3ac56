// The cost of states: taking one (what rewinding pays every fourth frame),
// keeping it in the rewind ring, loading one, against a whole frame of the
// same cartridge. The demo runs a while first, so that memory is in play.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "core/console.h"
#include "core/rewind.h"

namespace {

bool start_demo(benchmark::State& state) {
    console_power_up();
    if (!console_choose_cartridge(QEL_DEMO_ROM) || console_load_cartridge()) {
        state.SkipWithError("the demo cartridge cannot be loaded");
        console_shut_down();
        return false;
    }
    for (uint32_t f = 0; f < 300; ++f) {
        console_set_pad(f % 120 < 60 ? 0x80 : 0x41);
        console_run_frame();
    }
    return true;
}

void WholeFrame(benchmark::State& state) {
    if (!start_demo(state)) return;
    uint32_t f = 0;
    for (auto _ : state) {
        console_set_pad(++f % 120 < 60 ? 0x80 : 0x41);
        console_run_frame();
    }
    console_shut_down();
}
BENCHMARK(WholeFrame)->Unit(benchmark::kMicrosecond);

void TakeState(benchmark::State& state) {
    if (!start_demo(state)) return;
    std::vector<uint8_t> buffer(console_state_size());
    for (auto _ : state) {
        console_save_state(buffer.data(), buffer.size());
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["bytes"] = double(buffer.size());
    console_shut_down();
}
BENCHMARK(TakeState)->Unit(benchmark::kMicrosecond);

// What the app does every fourth frame: take a state and keep its difference
// from the last one. Four frames run between states, as in the app.
void KeepRewindState(benchmark::State& state) {
    if (!start_demo(state)) return;
    std::vector<uint8_t> buffer(console_state_size());
    RewindRing ring;
    uint32_t f = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (uint32_t k = 0; k < RewindEveryFrames; ++k) {
            console_set_pad(++f % 120 < 60 ? 0x80 : 0x41);
            console_run_frame();
        }
        state.ResumeTiming();
        console_save_state(buffer.data(), buffer.size());
        rewind_push(ring, buffer.data(), buffer.size());
    }
    state.counters["ring_bytes"] = double(rewind_bytes(ring));
    state.counters["states"] = double(rewind_states(ring));
    console_shut_down();
}
BENCHMARK(KeepRewindState)->Unit(benchmark::kMicrosecond)->Iterations(2000);

void LoadState(benchmark::State& state) {
    if (!start_demo(state)) return;
    std::vector<uint8_t> buffer(console_state_size());
    console_save_state(buffer.data(), buffer.size());
    for (auto _ : state)
        if (console_load_state(buffer.data(), buffer.size())) state.SkipWithError("refused");
    console_shut_down();
}
BENCHMARK(LoadState)->Unit(benchmark::kMicrosecond);

}  // namespace
