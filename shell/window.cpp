#include "shell/window.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QProxyStyle>

#include "host/host.h"
#include "shell/shell.h"

namespace {

class NoAltNavigation : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* answer) const override {
        if (hint == SH_MenuBar_AltKeyNavigation) return 0;
        return QProxyStyle::styleHint(hint, option, widget, answer);
    }
};

}  // namespace

QelWindow::QelWindow() {
    setWindowTitle("Qel 0.1a");
    setFocusPolicy(Qt::StrongFocus);
    struct Item {
        const char* menu;
        const char* text;
        uint32_t command;
    };
    const Item items[] = {{"&Nes", "Load", CommandLoad},
                          {"&Size", "x1", CommandSizeX1},
                          {"&Size", "x2", CommandSizeX2}};
    // Alt alone does not hand the keyboard to the menu bar (the game's keys
    // would stop with no sign); Alt+N and Alt+S and the mouse still open it.
    auto* style = new NoAltNavigation;
    style->setParent(this);
    menuBar()->setStyle(style);
    QMenu* menu = nullptr;
    for (const Item& item : items) {
        if (!menu || menu->title() != item.menu) {
            menu = menuBar()->addMenu(item.menu);
            connect(menu, &QMenu::aboutToShow, this, [this] {
                MenuOpen = 1;
                window_proc(this, WM_INITMENU, 0, 0);
            });
            connect(menu, &QMenu::aboutToHide, this, [] { MenuOpen = 0; });
        }
        QAction* action = menu->addAction(item.text);
        const uint32_t command = item.command;
        connect(action, &QAction::triggered, this,
                [this, command] { window_proc(this, WM_COMMAND, command, 0); });
    }
}

void QelWindow::closeEvent(QCloseEvent* event) {
    if (!QuitPosted) window_proc(this, WM_DESTROY, 0, 0);
    event->accept();
}

void QelWindow::report_activation() {
    const uintptr_t minimised = (windowState() & Qt::WindowMinimized) ? 1 : 0;
    window_proc(this, WM_ACTIVATE, minimised << 16, 0);
}

void QelWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange || event->type() == QEvent::ActivationChange)
        report_activation();
    QMainWindow::changeEvent(event);
}

void QelWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    report_activation();
}

void QelWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Backspace) {
        RewindHeld = 1;
        return;
    }
    if (event->isAutoRepeat() || !keyboard_key(event->key(), event->nativeVirtualKey(), true))
        QMainWindow::keyPressEvent(event);
}

void QelWindow::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Backspace) {
        if (!event->isAutoRepeat()) RewindHeld = 0;
        return;
    }
    if (event->isAutoRepeat() || !keyboard_key(event->key(), event->nativeVirtualKey(), false))
        QMainWindow::keyReleaseEvent(event);
}

void QelWindow::focusOutEvent(QFocusEvent* event) {
    keyboard_release_all();  // keys count only while the game window has focus
    RewindHeld = 0;
    QMainWindow::focusOutEvent(event);
}
