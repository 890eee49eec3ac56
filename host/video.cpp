// Video output: the picture surfaces shown in the window's drawing area,
// stretched over it with nearest-neighbour scaling.
#include <QGuiApplication>
#include <QImage>
#include <QMainWindow>
#include <QPainter>
#include <QScreen>
#include <QWidget>

#include "core/console.h"
#include "host/host.h"

namespace {

class ScreenWidget : public QWidget {
public:
    explicit ScreenWidget(QWidget* parent)
        : QWidget(parent), picture_(256, 240, QImage::Format_RGB32) {
        picture_.fill(Qt::black);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setFocusPolicy(Qt::NoFocus);
    }
    QImage& picture() { return picture_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.drawImage(rect(), picture_);
    }

private:
    QImage picture_;
};

ScreenWidget* Screen;

}  // namespace

QWidget* screen_widget() { return Screen; }

int32_t video_init(QMainWindow* window) {
    QScreen* display = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!display) return video_error(window, 1, "Create Primary Surface Fail");
    // 24-bit colour on X is 32 bits a pixel.
    if (display->depth() < 24) {
        video_error(window, 0, "Pixel format is not 32");
        return 0;
    }
    Screen = new ScreenWidget(window);
    window->setCentralWidget(Screen);
    Screen->show();
    return 0;
}

void video_shutdown() {
    // The drawing area belongs to the window and goes with it.
    Screen = nullptr;
}

// The machine's picture lives in plain memory, locked by console_run_frame
// for the time of the frame: the window's image is only copied from it.
int32_t lock_surfaces(QWidget*) { return 0; }

void unlock_surfaces() {}

void present_frame(QWidget*) {
    if (!Screen) return;
    QImage& picture = Screen->picture();
    const uint32_t* frame = console_picture();
    const int32_t pitch = console_picture_pitch();
    for (int32_t y = 0; y < ConsolePictureHeight; ++y) {
        const uint32_t* src = frame + y * pitch;
        auto* dst = reinterpret_cast<uint32_t*>(picture.scanLine(y));
        for (int32_t x = 0; x < ConsolePictureWidth; ++x)
            dst[x] = 0xFF000000u | (src[x] & 0xFFFFFF);
    }
    Screen->update();
}
