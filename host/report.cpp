// The device error report: one behaviour for the three device families.
#include <QMessageBox>
#include <QWidget>
#include <cstdarg>
#include <cstdio>

#include "host/host.h"

namespace {

void show_box(QWidget* window, const char* message) {
    QMessageBox::critical(window, "Fail", QString::fromLocal8Bit(message), QMessageBox::Ok);
}

int32_t report(QWidget* window, int32_t code, void (*release)(), const char* format, va_list args) {
    char message[128];
    std::vsnprintf(message, sizeof message, format, args);
    release();
    show_failure_box(window, message);
    if (window) window->close();  // the window's destruction ends the program
    return code;
}

}  // namespace

void (*show_failure_box)(QWidget* window, const char* message) = show_box;

int32_t video_error(QWidget* window, int32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = report(window, code, video_shutdown, format, args);
    va_end(args);
    return r;
}

int32_t joypad_error(QWidget* window, int32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = report(window, code, joypad_shutdown, format, args);
    va_end(args);
    return r;
}

int32_t sound_error(QWidget* window, int32_t code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t r = report(window, code, sound_shutdown, format, args);
    va_end(args);
    return r;
}
