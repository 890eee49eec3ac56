// The main window: a menu bar, the drawing area, and the Qt handlers that
// run the shell's commands and tell it of activation, menus and the end.
#pragma once
#include <QMainWindow>

class QMenu;

class QelWindow : public QMainWindow {
public:
    QelWindow();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void report_activation();
    // Ticks and the recent list as they are when a menu opens.
    void sync_menus();
    QMenu* recent_ = nullptr;
};
