#include "shell/window.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QProxyStyle>
#include <QUrl>

#include "host/host.h"
#include "shell/settings.h"
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

// The menus, in order. The first three items are the original menu; a
// submenu's items name it; a command of 0 is a separator.
struct Item {
    const char* menu;
    const char* submenu;
    const char* text;
    uint32_t command;
    QList<QKeySequence> keys;
    bool checkable;
};

QList<Item> menu_items() {
    using K = QKeySequence;
    return {
        {"&Nes", nullptr, "Load", CommandLoad, {K(Qt::CTRL | Qt::Key_O)}, false},
        {"&Size", nullptr, "x1", CommandSizeX1, {}, true},
        {"&Size", nullptr, "x2", CommandSizeX2, {}, true},
        {"&Nes", "Recent cartridges", nullptr, 0, {}, false},
        {"&Nes", nullptr, nullptr, 0, {}, false},
        {"&Nes", nullptr, "Reset", CommandReset, {K(Qt::CTRL | Qt::Key_R)}, false},
        {"&Nes", nullptr, "Hard reset", CommandHardReset, {}, false},
        {"&Nes", nullptr, "Pause", CommandPause, {K(Qt::Key_P)}, true},
        {"&Nes", nullptr, "Frame advance", CommandFrameAdvance, {}, false},
        {"&Nes", nullptr, nullptr, 0, {}, false},
        {"&Nes", nullptr, "Save state", CommandSaveState, {K(Qt::Key_F5)}, false},
        {"&Nes", nullptr, "Load state", CommandLoadState, {K(Qt::Key_F7)}, false},
        {"&Nes", "State slot", "Slot 1", CommandSlot + 1, {K(Qt::Key_1)}, true},
        {"&Nes", "State slot", "Slot 2", CommandSlot + 2, {K(Qt::Key_2)}, true},
        {"&Nes", "State slot", "Slot 3", CommandSlot + 3, {K(Qt::Key_3)}, true},
        {"&Nes", "State slot", "Slot 4", CommandSlot + 4, {K(Qt::Key_4)}, true},
        {"&Nes", nullptr, nullptr, 0, {}, false},
        {"&Nes", nullptr, "Screenshot", CommandScreenshot, {K(Qt::Key_F12)}, false},
        {"&Nes", nullptr, nullptr, 0, {}, false},
        {"&Nes", nullptr, "Quit", CommandQuit, {K(Qt::CTRL | Qt::Key_Q)}, false},
        {"&Size", nullptr, "x3", CommandSizeX3, {}, true},
        {"&Size", nullptr, "x4", CommandSizeX4, {}, true},
        {"&Size", nullptr, nullptr, 0, {}, false},
        {"&Size",
         nullptr,
         "Fullscreen",
         CommandFullscreen,
         {K(Qt::Key_F11), K(Qt::ALT | Qt::Key_Return), K(Qt::ALT | Qt::Key_Enter)},
         true},
        {"&Size", nullptr, "Keep proportions", CommandKeepProportions, {}, true},
        {"&Options", "Volume", "100%", CommandVolume + 4, {}, true},
        {"&Options", "Volume", "75%", CommandVolume + 3, {}, true},
        {"&Options", "Volume", "50%", CommandVolume + 2, {}, true},
        {"&Options", "Volume", "25%", CommandVolume + 1, {}, true},
        {"&Options", "Volume", nullptr, 0, {}, false},
        {"&Options", "Volume", "Mute", CommandMute, {K(Qt::Key_M)}, true},
        {"&Options", nullptr, "Input...", CommandInput, {}, false},
        {"&Options", nullptr, "Pause when inactive", CommandPauseWhenInactive, {}, true},
        {"&Options", nullptr, "Hide the top and bottom 8 lines", CommandHideOverscan, {}, true},
    };
}

bool is_cartridge(const QUrl& url) {
    if (!url.isLocalFile()) return false;
    const QString file = url.toLocalFile();
    for (const char* end : {".nes", ".zip", ".7z", ".gz"})
        if (file.endsWith(end, Qt::CaseInsensitive)) return true;
    return false;
}

}  // namespace

QelWindow::QelWindow() {
    setWindowTitle("Qel " QEL_VERSION);
    setFocusPolicy(Qt::StrongFocus);
    setAcceptDrops(true);
    // Alt alone does not hand the keyboard to the menu bar (the game's keys
    // would stop with no sign); Alt+N, Alt+S, Alt+O and the mouse still open it.
    auto* style = new NoAltNavigation;
    style->setParent(this);
    menuBar()->setStyle(style);
    auto dispatch = [this](QAction* action, uint32_t command) {
        action->setData(command);
        connect(action, &QAction::triggered, this,
                [this, command] { window_proc(this, WM_COMMAND, command, 0); });
        // Also on the window itself, so the keys work with the menu bar hidden.
        addAction(action);
    };
    for (const Item& item : menu_items()) {
        QMenu* menu = nullptr;
        for (QAction* a : menuBar()->actions())
            if (a->text() == item.menu) menu = a->menu();
        if (!menu) {
            menu = menuBar()->addMenu(item.menu);
            connect(menu, &QMenu::aboutToShow, this, [this] {
                MenuOpen = 1;
                sync_menus();
                window_proc(this, WM_INITMENU, 0, 0);
            });
            connect(menu, &QMenu::aboutToHide, this, [] { MenuOpen = 0; });
        }
        if (item.submenu) {
            QMenu* sub = nullptr;
            for (QAction* a : menu->actions())
                if (a->menu() && a->text() == item.submenu) sub = a->menu();
            if (!sub) sub = menu->addMenu(item.submenu);
            if (!item.text && !item.command && QString(item.submenu) == "Recent cartridges")
                recent_ = sub;
            menu = sub;
            if (!item.text && !item.command && menu != recent_) {
                menu->addSeparator();
                continue;
            }
            if (!item.text) continue;
        } else if (!item.text) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(item.text);
        action->setShortcuts(item.keys);
        action->setCheckable(item.checkable);
        dispatch(action, item.command);
    }
    // Esc leaves fullscreen, else pauses; it is not in a menu.
    auto* escape = new QAction(this);
    escape->setShortcut(Qt::Key_Escape);
    dispatch(escape, CommandEscape);
    apply_command_keys(this);
    sync_menus();
}

void apply_command_keys(QMainWindow* window) {
    for (QAction* action : window->actions()) {
        const uint32_t command = action->data().toUInt();
        for (int c = 0; c < CommandKeyCount; ++c) {
            if (CommandKeyRows[c].command != command) continue;
            QList<QKeySequence> keys;
            if (CommandKeyFor[c]) keys << QKeySequence(CommandKeyFor[c]);
            if (command == CommandFullscreen)
                keys << QKeySequence(Qt::ALT | Qt::Key_Return)
                     << QKeySequence(Qt::ALT | Qt::Key_Enter);
            action->setShortcuts(keys);
        }
    }
}

void QelWindow::sync_menus() {
    const auto ticked = [this](uint32_t c) {
        if (c > CommandSlot && c <= CommandSlot + StateSlots)
            return StateSlot == int(c - CommandSlot);
        if (c > CommandVolume && c <= CommandVolume + 4)
            return SoundVolume == int(c - CommandVolume) * 25;
        const auto size_is = [this](int scale) {
            return !isFullScreen() && centralWidget() &&
                   centralWidget()->size() == QSize(256 * scale, 240 * scale);
        };
        switch (c) {
            case CommandSizeX1: return size_is(1);
            case CommandSizeX2: return size_is(2);
            case CommandSizeX3: return size_is(3);
            case CommandSizeX4: return size_is(4);
            case CommandHideOverscan: return VideoHideOverscan;
            case CommandPause: return Paused != 0;
            case CommandFullscreen: return isFullScreen();
            case CommandKeepProportions: return KeepProportions;
            case CommandMute: return SoundMuted;
            case CommandPauseWhenInactive: return PauseWhenInactive;
            default: return false;
        }
    };
    for (QAction* action : actions())
        if (action->isCheckable()) action->setChecked(ticked(action->data().toUInt()));
    if (!recent_) return;
    recent_->clear();
    for (size_t i = 0; i < RecentCartridges.size(); ++i) {
        const QString path = QString::fromStdString(RecentCartridges[i]);
        QAction* action =
            recent_->addAction(QString("&%1 %2").arg(i + 1).arg(QFileInfo(path).fileName()));
        action->setToolTip(path);
        const uint32_t command = CommandRecent + uint32_t(i);
        connect(action, &QAction::triggered, this,
                [this, command] { window_proc(this, WM_COMMAND, command, 0); });
    }
    if (RecentCartridges.empty()) recent_->addAction("(none)")->setEnabled(false);
}

bool QelWindow::event(QEvent* event) {
    // The fast-forward and rewind keys (Tab and Backspace by default) are
    // held, not run; Tab is not a move of the keyboard focus.
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto* key = static_cast<QKeyEvent*>(event);
        const int combined = key->keyCombination().toCombined();
        const bool press = event->type() == QEvent::KeyPress;
        for (auto [which, held] :
             {std::pair{KeyFastForward, &FastForwardHeld}, std::pair{KeyRewind, &RewindHeld}}) {
            const int want = CommandKeyFor[which];
            // A release counts whatever modifiers were let go first.
            if (want == 0 || (combined != want &&
                              (press || key->key() != (want & ~int(Qt::KeyboardModifierMask)))))
                continue;
            if (!key->isAutoRepeat()) *held = press ? 1 : 0;
            update_mark();
            return true;
        }
    }
    return QMainWindow::event(event);
}

void QelWindow::closeEvent(QCloseEvent* event) {
    if (!QuitPosted) window_proc(this, WM_DESTROY, 0, 0);
    event->accept();
}

void QelWindow::report_activation() {
    const uintptr_t minimised = (windowState() & Qt::WindowMinimized) ? 1 : 0;
    const uintptr_t active = isActiveWindow() ? 1 : 0;
    window_proc(this, WM_ACTIVATE, (minimised << 16) | active, 0);
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
    if (event->isAutoRepeat() || !keyboard_key(event->key(), event->nativeVirtualKey(), true))
        QMainWindow::keyPressEvent(event);
}

void QelWindow::keyReleaseEvent(QKeyEvent* event) {
    if (event->isAutoRepeat() || !keyboard_key(event->key(), event->nativeVirtualKey(), false))
        QMainWindow::keyReleaseEvent(event);
}

void QelWindow::focusOutEvent(QFocusEvent* event) {
    keyboard_release_all();  // keys count only while the game window has focus
    RewindHeld = 0;
    FastForwardHeld = 0;
    QMainWindow::focusOutEvent(event);
}

void QelWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && is_cartridge(urls[0])) event->acceptProposedAction();
}

void QelWindow::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !is_cartridge(urls[0])) return;
    event->acceptProposedAction();
    // The player goes on with the keyboard: the window takes it.
    raise();
    activateWindow();
    setFocus();
    open_cartridge(this, urls[0].toLocalFile().toStdString());
}
