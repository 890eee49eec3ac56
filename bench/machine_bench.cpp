// The per-frame pieces: one background line, one sprite composite, one mix.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "apu/apu.h"
#include "core/machine.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"

namespace {

void set_up_picture(std::mt19937& rng) {
    allocate_memories();
    PpuPowerUp();
    create_surfaces();
    for (uint32_t i = 0; i < 0x2800; ++i) PpuMemory[i] = uint8_t(rng());
    for (uint32_t i = 0; i < 32; ++i) PpuMemory[0x3F00 + i] = uint8_t(rng() % 64);
    for (uint32_t i = 0; i < 4; ++i) PpuMemory[0x3F10 + 4 * i] = 0x40;
    for (uint32_t i = 0; i < 256; ++i) SpriteRam[i] = uint8_t(rng() % 200);
    SpriteMemoryChanged();
    PpuRegisters.PpuMask = 0x1E;
    PpuRegisters.ScrollX = 13;
}

void BackgroundLine(benchmark::State& state) {
    std::mt19937 rng(1);
    set_up_picture(rng);
    lock_frame_surfaces();
    int32_t line = 0;
    for (auto _ : state) {
        MachineState.Scanline = line;
        RenderBackgroundLine();
        line = line == 239 ? 0 : line + 1;
        benchmark::ClobberMemory();
    }
    unlock_frame_surfaces();
    free_memories();
}
BENCHMARK(BackgroundLine);

void Composite(benchmark::State& state) {
    std::mt19937 rng(2);
    set_up_picture(rng);
    PpuRegisters.PpuControl = uint8_t(state.range(0) ? 0x20 : 0);
    for (uint32_t i = 0; i < 64; ++i) SpriteRam[4 * i + 2] = uint8_t(rng() & 0x20);
    lock_frame_surfaces();
    BuildSpriteTables();
    for (int32_t y = 0; y < 240; ++y) {
        MachineState.Scanline = y;
        RenderBackgroundLine();
    }
    unlock_frame_surfaces();
    for (auto _ : state) {
        CompositeSprites();
        benchmark::ClobberMemory();
    }
    free_memories();
}
BENCHMARK(Composite)->Arg(0)->Arg(1)->ArgName("tall");

void ApuMix(benchmark::State& state) {
    allocate_memories();
    apu_reset();
    for (uint32_t i = 0; i < PrgWindowSize; ++i) PrgWindow[i] = uint8_t(i * 37);
    // All five channels sounding, looping for as long as the benchmark runs.
    const uint8_t writes[][2] = {
        {0x15, 0x1F}, {0x00, 0x9F}, {0x01, 0x00}, {0x02, 0xFD}, {0x03, 0x01}, {0x04, 0x7A},
        {0x05, 0x93}, {0x06, 0x40}, {0x07, 0x02}, {0x08, 0xFF}, {0x0A, 0x80}, {0x0B, 0x01},
        {0x0C, 0x3F}, {0x0E, 0x05}, {0x0F, 0x08}, {0x10, 0x4F}, {0x12, 0x10}, {0x13, 0xFF},
    };
    for (const auto& w : writes) apu_write(uint16_t(0x4000 + w[0]), w[1]);
    Square1.LengthHalt = Square2.LengthHalt = 0x20;
    int32_t mix[SamplesPerFrame];
    int16_t out16[SamplesPerFrame];
    uint8_t out8[SamplesPerFrame];
    for (auto _ : state) {
        apu_mix(mix);
        apu_output_stage(mix, out16, out8);
        benchmark::DoNotOptimize(out8);
    }
    free_memories();
}
BENCHMARK(ApuMix)->Unit(benchmark::kMicrosecond);

}  // namespace
