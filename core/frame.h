// The frame driver: one video frame of CPU budgets, scanlines and vertical blank.
#pragma once
#include <cstdint>

// Runs one frame. Returns 0 when it ran to its end or the machine is halted,
// -1 when the CPU stopped during the trailing lines of vertical blank.
int32_t run_frame();

// The frame is the console's: 262 lines of 341 picture dots, three dots to
// a CPU cycle (113 2/3 cycles a line, 29780 whole cycles a frame). The
// renderer draws a line at once where its budget ends, at the middle of the
// line's picture (dot 128), so budget 0 begins at dot 128 of the line before
// the picture. Budget 240 runs from the end of line 239 to the vertical-blank
// bit (dot 1 of line 241), 241-260 are the lines of vertical blank, and 261,
// the line before the picture, ends at its dot 128.
constexpr uint32_t FrameLines = 262;
constexpr uint32_t VblankLine = 240;     // the budget that ends as vertical blank starts
constexpr uint32_t PreRenderLine = 261;  // the line before the picture
constexpr uint32_t ConsoleFrameCycles = FrameLines * 341 / 3;

// CPU cycles from the frame's start to the start of line budget `line`
// (0-262; 262 is the frame's end): 0, 113, 227, 341, ... A cartridge given a
// longer budget (MMC1) has lines of three times its cycles in dots.
uint32_t frame_cycle_of_line(uint32_t line);

// Each line budget's cycles, frame_cycle_of_line(line + 1) - frame_cycle_of_line(line),
// and each one's frame_cycle_of_line (0-262), for the line length the
// cartridge asks for: tables made once for it.
const uint32_t* frame_line_budgets();
const uint32_t* frame_line_starts();
