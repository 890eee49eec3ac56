// qel [ROM.nes]: the desktop app.
#include <QApplication>
#include <QMainWindow>

#include "core/machine.h"
#include "core/power.h"
#include "shell/shell.h"

int main(int argc, char** argv) {
    QApplication::setApplicationName("qel");
    QApplication app(argc, argv);
    QMainWindow* window = nullptr;
    if (init_application(&window) != 0) return 0;
    power_up();
    TimerFrequency = CounterTicksPerSecond;
    TicksPerFrame = TimerFrequency / 60;
    if (argc > 1 && !QuitPosted) load_cartridge_file(argv[1]);
    int code = run_message_loop(window);
    if (CpuRam) shut_down();  // a start-up failure ended the loop before the machine was freed
    delete window;
    return code;
}
