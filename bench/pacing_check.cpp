// Measures the frame pacing of the desktop app's loop: runs whole machine
// frames (or none, without a cartridge) through the pacing wait for a number
// of seconds and prints the frames per second it kept, the latest a frame
// started against its deadline, and the CPU time it took in per cent of one
// core.
// usage: qel-pacing-check [SECONDS] [ROM.nes]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "core/console.h"
#include "host/host.h"
#include "shell/shell.h"

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    console_power_up();
    if (argc > 2 && (!console_choose_cartridge(argv[2]) || console_load_cartridge())) return 2;
    auto start = std::chrono::steady_clock::now();
    long frames = 0;
    double elapsed = 0;
    auto cpu_seconds = [] {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    pacing_wait();  // the first wait ends at once: start counting after it
    start = std::chrono::steady_clock::now();
    const double cpu_start = cpu_seconds();
    int64_t latest = 0;
    while (elapsed < seconds) {
        console_run_frame();
        const int64_t deadline = App.FrameDeadline;
        pacing_wait();
        latest = std::max(latest, Clock.read_counter() - deadline);
        ++frames;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::printf("frames: %ld  seconds: %.3f  fps: %.3f  latest start: %.2f ms  cpu: %.2f%%\n",
                frames, elapsed, frames / elapsed, latest / 1e6,
                100 * (cpu_seconds() - cpu_start) / elapsed);
    console_shut_down();
    return 0;
}
