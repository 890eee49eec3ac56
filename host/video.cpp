// Video output: the picture surfaces shown in the window's drawing area,
// scaled into it with nearest-neighbour scaling, with black bars where the
// proportions leave room, a mark and a line of news.
#include <QGuiApplication>
#include <QImage>
#include <QMainWindow>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <algorithm>

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
        const PictureRect r = picture_rect(width(), height(), App.VideoFit);
        const QRect target(r.X, r.Y, r.Width, r.Height);
        if (target != rect()) {
            // The bars: the whole area but the picture.
            const QRegion bars = QRegion(rect()).subtracted(QRegion(target));
            for (const QRect& bar : bars) p.fillRect(bar, Qt::black);
        }
        p.drawImage(target, picture_);
        if (App.VideoHideOverscan) {
            const int band = r.Height * 8 / ConsolePictureHeight;
            p.fillRect(QRect(r.X, r.Y, r.Width, band), Qt::black);
            p.fillRect(QRect(r.X, r.Y + r.Height - band, r.Width, band), Qt::black);
        }
        QFont font = p.font();
        const int size = std::max(10, std::min(r.Height / 30, 20));
        font.setPixelSize(size);
        p.setFont(font);
        QFontMetrics metrics(font);
        const int pad = metrics.height() / 4;
        if (!App.VideoHint.empty() && !console_running()) {
            p.setPen(QColor(200, 200, 200));
            p.drawText(target, Qt::AlignCenter | Qt::TextWordWrap,
                       QString::fromStdString(App.VideoHint));
        }
        if (!App.VideoMark.empty()) {
            const QString line = QString::fromStdString(App.VideoMark);
            const int w = std::min(metrics.horizontalAdvance(line) + 2 * pad + 2, r.Width);
            const int h = metrics.height() + 2 * pad;
            const QRect box(r.X + r.Width - w - pad, r.Y + pad, w, h);
            p.fillRect(box, QColor(0, 0, 0, 220));
            p.setPen(Qt::white);
            p.drawText(box.adjusted(pad, 0, -pad, 0), Qt::AlignVCenter | Qt::AlignLeft,
                       metrics.elidedText(line, Qt::ElideMiddle, box.width() - 2 * pad));
        }
        if (!App.VideoNote.empty()) {
            // The whole news: a smaller font first, then more lines, never cut.
            const QString line = QString::fromStdString(App.VideoNote);
            const int room = std::max(1, r.Width - 4 * pad);
            for (int px = size; px > 9 && metrics.horizontalAdvance(line) > room; --px) {
                font.setPixelSize(px - 1);
                metrics = QFontMetrics(font);
            }
            p.setFont(font);
            int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
            QRect need = metrics.boundingRect(QRect(0, 0, room, 100000), flags, line);
            if (need.width() > room) {  // a word longer than the line: broken anywhere
                flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere;
                need = metrics.boundingRect(QRect(0, 0, room, 100000), flags, line);
            }
            const int w = std::min(need.width(), room) + 2 * pad + 2;
            const int h = need.height() + 2 * pad;
            const QRect box(r.X + pad, r.Y + r.Height - h - pad, w, h);
            p.fillRect(box, QColor(0, 0, 0, 220));
            p.setPen(Qt::white);
            p.drawText(box.adjusted(pad, pad, -pad, -pad), flags, line);
        }
    }

private:
    QImage picture_;
};

ScreenWidget* Screen;

}  // namespace

PictureRect picture_rect(int width, int height, PictureFit fit) {
    constexpr int W = ConsolePictureWidth, H = ConsolePictureHeight;
    if (fit == PictureFit::Stretch || width <= 0 || height <= 0) return {0, 0, width, height};
    const int whole = std::min(width / W, height / H);
    int w, h;
    if (fit == PictureFit::Whole && whole >= 1) {
        w = W * whole;
        h = H * whole;
    } else if (int64_t(width) * H <= int64_t(height) * W) {
        w = width;  // narrower than the picture: bars above and below
        h = int(int64_t(width) * H / W);
    } else {
        h = height;
        w = int(int64_t(height) * W / H);
    }
    return {(width - w) / 2, (height - h) / 2, w, h};
}

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

void picture_to_image(QImage& image) {
    const uint32_t* frame = console_picture();
    const int32_t pitch = console_picture_pitch();
    for (int32_t y = 0; y < ConsolePictureHeight; ++y) {
        const uint32_t* src = frame + y * pitch;
        auto* dst = reinterpret_cast<uint32_t*>(image.scanLine(y));
        // RGB32 is drawn right only with its top byte 0xFF.
        for (int32_t x = 0; x < ConsolePictureWidth; ++x) dst[x] = 0xFF000000u | src[x];
    }
}

void present_frame(QWidget*) {
    if (!Screen) return;
    picture_to_image(Screen->picture());
    Screen->update();
}

void video_refresh() {
    if (Screen) Screen->update();
}
