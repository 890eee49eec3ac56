// qel [ROM.nes]: the desktop app.
#include <QApplication>
#include <QIcon>
#include <QMainWindow>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/console.h"
#include "host/host.h"
#include "shell/shell.h"

namespace {

const char kUsage[] = "usage: qel [--help] [--version] [ROM.nes]\n";

int usage_error(const std::string& why) {
    std::fprintf(stderr, "qel: %s\n%s", why.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // The command line is read before the window system is reached, so that
    // --help and mistakes answer without a display.
    const char* rom = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!std::strcmp(a, "-h") || !std::strcmp(a, "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(a, "--version")) {
            std::puts(AppCaption);
            return 0;
        }
        if (a[0] == '-') return usage_error(std::string("unknown option ") + a);
        if (rom) return usage_error("only one cartridge can run");
        rom = a;
    }

    QApplication::setApplicationName("qel");
    int qt_argc = 1;
    QApplication app(qt_argc, argv);
    // The installed desktop entry and icon (none when run from the build folder).
    QGuiApplication::setDesktopFileName("qel");
    QApplication::setWindowIcon(QIcon::fromTheme("qel"));
    QMainWindow* window = nullptr;
    if (init_application(&window) != 0) return 0;
    quit_on_signals(window);
    console_power_up();
    start_settings(window);
    if (rom && !App.QuitPosted) {
        std::string failure = load_cartridge_file(rom, window);
        if (!failure.empty()) {
            std::fprintf(stderr, "qel: %s\n", failure.c_str());
            show_failure_box(window, failure.c_str());
        }
    }
    int code = run_message_loop(window);
    // A start-up failure ended the loop before the machine was freed.
    if (console_powered()) console_shut_down();
    delete window;
    return code;
}
