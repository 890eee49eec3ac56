// Video output: the picture surfaces shown in the window's drawing area,
// stretched over it with nearest-neighbour scaling.
#include <QGuiApplication>
#include <QImage>
#include <QMainWindow>
#include <QPainter>
#include <QScreen>
#include <QWidget>

#include "core/machine.h"
#include "host/host.h"
#include "ppu/ppu.h"
#include "ppu/surfaces.h"

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
    create_surfaces();
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

int32_t lock_surfaces(QWidget*) {
    lock_frame_surfaces();
    return 0;
}

void unlock_surfaces() { unlock_frame_surfaces(); }

void present_frame(QWidget*) {
    update_behind_key();
    if (PpuRegisters.PpuMask & 0x10) CompositeSprites();
    if (!Screen) return;
    QImage& picture = Screen->picture();
    for (int32_t y = 0; y < 240; ++y) {
        const uint32_t* src = FrameSurface.Pixels + y * FrameSurface.Pitch;
        auto* dst = reinterpret_cast<uint32_t*>(picture.scanLine(y));
        for (int32_t x = 0; x < 256; ++x) dst[x] = 0xFF000000u | (src[x] & 0xFFFFFF);
    }
    Screen->update();
}
