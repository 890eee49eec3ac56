// The frame driver: one video frame of CPU budgets, scanlines and vertical blank.
#pragma once
#include <cstdint>

// Runs one frame. Returns 0 when it ran to its end or the machine is halted,
// -1 when the CPU stopped during the trailing lines of vertical blank.
int32_t run_frame();
