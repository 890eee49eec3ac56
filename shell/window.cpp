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
// submenu's items name it; Command::None is a separator.
struct Item {
    const char* menu;
    const char* submenu;
    const char* text;
    Command command;
    QList<QKeySequence> keys;
    bool checkable;
};

QList<Item> menu_items() {
    using K = QKeySequence;
    return {
        {"&Nes", nullptr, "Load", Command::Load, {K(Qt::CTRL | Qt::Key_O)}, false},
        {"&Size", nullptr, "x1", Command::SizeX1, {}, true},
        {"&Size", nullptr, "x2", Command::SizeX2, {}, true},
        {"&Nes", "Recent cartridges", nullptr, Command::None, {}, false},
        {"&Nes", nullptr, nullptr, Command::None, {}, false},
        {"&Nes", nullptr, "Reset", Command::Reset, {K(Qt::CTRL | Qt::Key_R)}, false},
        {"&Nes", nullptr, "Hard reset", Command::HardReset, {}, false},
        {"&Nes", nullptr, "Pause", Command::Pause, {K(Qt::Key_P)}, true},
        {"&Nes", nullptr, "Frame advance", Command::FrameAdvance, {}, false},
        {"&Nes", nullptr, nullptr, Command::None, {}, false},
        {"&Nes", nullptr, "Save state", Command::SaveState, {K(Qt::Key_F5)}, false},
        {"&Nes", nullptr, "Load state", Command::LoadState, {K(Qt::Key_F7)}, false},
        {"&Nes", "State slot", "Slot 1", Command::Slot1, {K(Qt::Key_1)}, true},
        {"&Nes", "State slot", "Slot 2", Command::Slot2, {K(Qt::Key_2)}, true},
        {"&Nes", "State slot", "Slot 3", Command::Slot3, {K(Qt::Key_3)}, true},
        {"&Nes", "State slot", "Slot 4", Command::Slot4, {K(Qt::Key_4)}, true},
        {"&Nes", nullptr, nullptr, Command::None, {}, false},
        {"&Nes", nullptr, "Screenshot", Command::Screenshot, {K(Qt::Key_F12)}, false},
        {"&Nes", nullptr, nullptr, Command::None, {}, false},
        {"&Nes", nullptr, "Quit", Command::Quit, {K(Qt::CTRL | Qt::Key_Q)}, false},
        {"&Size", nullptr, "x3", Command::SizeX3, {}, true},
        {"&Size", nullptr, "x4", Command::SizeX4, {}, true},
        {"&Size", nullptr, nullptr, Command::None, {}, false},
        {"&Size",
         nullptr,
         "Fullscreen",
         Command::Fullscreen,
         {K(Qt::Key_F11), K(Qt::ALT | Qt::Key_Return), K(Qt::ALT | Qt::Key_Enter)},
         true},
        {"&Size", nullptr, "Keep proportions", Command::KeepProportions, {}, true},
        {"&Options", "Volume", "100%", Command::Volume100, {}, true},
        {"&Options", "Volume", "75%", Command::Volume75, {}, true},
        {"&Options", "Volume", "50%", Command::Volume50, {}, true},
        {"&Options", "Volume", "25%", Command::Volume25, {}, true},
        {"&Options", "Volume", nullptr, Command::None, {}, false},
        {"&Options", "Volume", "Mute", Command::Mute, {K(Qt::Key_M)}, true},
        {"&Options", nullptr, "Input...", Command::Input, {}, false},
        {"&Options", nullptr, "Pause when inactive", Command::PauseWhenInactive, {}, true},
        {"&Options", nullptr, "Hide the top and bottom 8 lines", Command::HideOverscan, {}, true},
    };
}

// The command an action runs (Command::None for one without).
Command command_of(const QAction* action) { return Command(action->data().toInt()); }

bool is_cartridge(const QUrl& url) {
    if (!url.isLocalFile()) return false;
    const QString file = url.toLocalFile();
    for (const char* end : {".nes", ".zip", ".7z", ".gz"})
        if (file.endsWith(end, Qt::CaseInsensitive)) return true;
    return false;
}

}  // namespace

QelWindow::QelWindow() {
    setWindowTitle(AppCaption);
    setFocusPolicy(Qt::StrongFocus);
    setAcceptDrops(true);
    // Alt alone does not hand the keyboard to the menu bar (the game's keys
    // would stop with no sign); Alt+N, Alt+S, Alt+O and the mouse still open it.
    auto* style = new NoAltNavigation;
    style->setParent(this);
    menuBar()->setStyle(style);
    auto dispatch = [this](QAction* action, Command command) {
        action->setData(int(command));
        connect(action, &QAction::triggered, this, [this, command] { run_command(this, command); });
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
                App.MenuOpen = true;
                sync_menus();
                menu_opened();
            });
            connect(menu, &QMenu::aboutToHide, this, [] { App.MenuOpen = false; });
        }
        if (item.submenu) {
            QMenu* sub = nullptr;
            for (QAction* a : menu->actions())
                if (a->menu() && a->text() == item.submenu) sub = a->menu();
            if (!sub) sub = menu->addMenu(item.submenu);
            if (!item.text && item.command == Command::None &&
                QString(item.submenu) == "Recent cartridges")
                recent_ = sub;
            menu = sub;
            if (!item.text && item.command == Command::None && menu != recent_) {
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
    dispatch(escape, Command::Escape);
    apply_command_keys(this);
    sync_menus();
}

void apply_command_keys(QMainWindow* window) {
    for (QAction* action : window->actions()) {
        const Command command = command_of(action);
        for (int c = 0; c < CommandKeyCount; ++c) {
            if (CommandKeyRows[c].command != command) continue;
            QList<QKeySequence> keys;
            if (CommandKeyFor[c]) keys << QKeySequence(CommandKeyFor[c]);
            if (command == Command::Fullscreen)
                keys << QKeySequence(Qt::ALT | Qt::Key_Return)
                     << QKeySequence(Qt::ALT | Qt::Key_Enter);
            action->setShortcuts(keys);
        }
    }
}

void QelWindow::sync_menus() {
    const auto ticked = [this](Command c) {
        if (const int slot = slot_of(c)) return App.StateSlot == slot;
        if (const int volume = volume_of(c)) return App.SoundVolume == volume;
        const auto size_is = [this](int scale) {
            return !isFullScreen() && centralWidget() &&
                   centralWidget()->size() == QSize(256 * scale, 240 * scale);
        };
        switch (c) {
            case Command::SizeX1: return size_is(1);
            case Command::SizeX2: return size_is(2);
            case Command::SizeX3: return size_is(3);
            case Command::SizeX4: return size_is(4);
            case Command::HideOverscan: return App.VideoHideOverscan;
            case Command::Pause: return App.Paused;
            case Command::Fullscreen: return isFullScreen();
            case Command::KeepProportions: return App.KeepProportions;
            case Command::Mute: return App.SoundMuted;
            case Command::PauseWhenInactive: return App.PauseWhenInactive;
            default: return false;
        }
    };
    for (QAction* action : actions())
        if (action->isCheckable()) action->setChecked(ticked(command_of(action)));
    if (!recent_) return;
    recent_->clear();
    for (size_t i = 0; i < App.RecentCartridges.size(); ++i) {
        const QString path = QString::fromStdString(App.RecentCartridges[i]);
        QAction* action =
            recent_->addAction(QString("&%1 %2").arg(i + 1).arg(QFileInfo(path).fileName()));
        action->setToolTip(path);
        connect(action, &QAction::triggered, this, [this, i] { open_recent(this, i); });
    }
    if (App.RecentCartridges.empty()) recent_->addAction("(none)")->setEnabled(false);
}

bool QelWindow::event(QEvent* event) {
    // The fast-forward and rewind keys (Tab and Backspace by default) are
    // held, not run; Tab is not a move of the keyboard focus.
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
        auto* key = static_cast<QKeyEvent*>(event);
        const int combined = key->keyCombination().toCombined();
        const bool press = event->type() == QEvent::KeyPress;
        for (auto [which, held] : {std::pair{KeyFastForward, &App.FastForwardHeld},
                                   std::pair{KeyRewind, &App.RewindHeld}}) {
            const int want = CommandKeyFor[which];
            // A release counts whatever modifiers were let go first.
            if (want == 0 || (combined != want &&
                              (press || key->key() != (want & ~int(Qt::KeyboardModifierMask)))))
                continue;
            if (!key->isAutoRepeat()) *held = press;
            update_mark();
            return true;
        }
    }
    return QMainWindow::event(event);
}

void QelWindow::closeEvent(QCloseEvent* event) {
    if (!App.QuitPosted) window_closing(this);
    event->accept();
}

void QelWindow::report_activation() {
    window_activated(isActiveWindow(), windowState() & Qt::WindowMinimized);
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
    App.RewindHeld = false;
    App.FastForwardHeld = false;
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
