// The main window: a menu bar, the drawing area, and the Qt handlers that
// feed window_proc.
#pragma once
#include <QMainWindow>

class QelWindow : public QMainWindow {
public:
    QelWindow();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void report_activation();
};
