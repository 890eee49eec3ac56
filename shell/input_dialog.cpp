// The Input dialog: a key and a joystick button for each of the pad's
// buttons, a key for each direction. Click a field, then press the key or the
// joystick button; Esc leaves a field as it was. "Defaults" brings back the
// README's mapping; OK keeps the mapping (and the settings file has it).
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <array>

#include "host/host.h"
#include "shell/settings.h"
#include "shell/shell.h"

namespace {

// The rows, in the order a player reads a pad.
struct Row {
    PadFunction function;
    const char* label;
    const char* name;  // the fields' object names: key_NAME, joystick_NAME
};
constexpr Row kRows[] = {
    {PadUp, "Up", "up"},
    {PadDown, "Down", "down"},
    {PadLeft, "Left", "left"},
    {PadRight, "Right", "right"},
    {PadA, "A", "a"},
    {PadB, "B", "b"},
    {PadSelect, "Select", "select"},
    {PadStart, "Start", "start"},
    {PadTurboA, "Turbo A", "turbo_a"},
    {PadTurboB, "Turbo B", "turbo_b"},
};

class InputDialog : public QDialog {
public:
    explicit InputDialog(QWidget* owner) : QDialog(owner) {
        setWindowTitle("Input");
        keys_ = KeyFor;
        kind_ = joystick_kind();
        buttons_ = kind_ == 2 ? JoystickButtonFor : ControllerButtonFor;
        auto* grid = new QGridLayout;
        grid->addWidget(new QLabel("<b>Key</b>"), 0, 1);
        grid->addWidget(new QLabel(kind_ == 0   ? "<b>Joystick</b> (none plugged in)"
                                   : kind_ == 1 ? "<b>Pad button</b>"
                                                : "<b>Joystick button</b>"),
                        0, 2);
        for (int r = 0; r < int(std::size(kRows)); ++r) {
            const Row& row = kRows[r];
            grid->addWidget(new QLabel(row.label), r + 1, 0);
            auto* key = new QPushButton;
            key->setObjectName(QString("key_") + row.name);
            key->setMinimumWidth(120);
            connect(key, &QPushButton::clicked, this, [this, r] { capture_key(r); });
            grid->addWidget(key, r + 1, 1);
            key_fields_[r] = key;
            if (row.function >= PadFirstButton) {
                auto* button = new QPushButton;
                button->setObjectName(QString("joystick_") + row.name);
                button->setMinimumWidth(120);
                button->setEnabled(kind_ != 0);
                connect(button, &QPushButton::clicked, this, [this, r] { capture_button(r); });
                grid->addWidget(button, r + 1, 2);
                button_fields_[r] = button;
            }
        }
        hint_ = new QLabel("Click a field, then press a key or a joystick button.");
        hint_->setObjectName("hint");
        auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                         QDialogButtonBox::RestoreDefaults);
        box->button(QDialogButtonBox::RestoreDefaults)->setText("Defaults");
        connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
        connect(box->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
                [this] {
                    const AppSettings defaults = default_settings();
                    keys_ = defaults.Keys;
                    buttons_ = kind_ == 2 ? defaults.JoystickButtons : defaults.ControllerButtons;
                    stop_capture();
                });
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(grid);
        layout->addWidget(hint_);
        layout->addWidget(box);
        poll_.setInterval(20);
        connect(&poll_, &QTimer::timeout, this, &InputDialog::poll_joystick);
        show_fields();
    }

    ~InputDialog() override { qApp->removeEventFilter(this); }

    // The mapping as the dialog holds it, into the pad.
    void apply() const {
        KeyFor = keys_;
        (kind_ == 2 ? JoystickButtonFor : ControllerButtonFor) = buttons_;
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (capturing_key_ < 0) return false;
        if (event->type() == QEvent::ShortcutOverride) {
            event->accept();  // the key is the field's, not a shortcut's
            return true;
        }
        if (event->type() != QEvent::KeyPress) return false;
        auto* press = static_cast<QKeyEvent*>(event);
        int key = press->key();
        if (key == Qt::Key_Escape) {
            stop_capture();
            return true;
        }
        if (key == Qt::Key_Enter) key = Qt::Key_Return;
        if (key == Qt::Key_Shift && press->nativeVirtualKey() == 0xFFE2) key = KeyRightShift;
        if (key_reserved(key) || key_name(key).empty() || key == Qt::Key_unknown) {
            hint_->setText(QString::fromStdString(key_name(key)) + " is kept for a command.");
            return true;
        }
        // A key already in use changes places with the field's old key.
        const int f = kRows[capturing_key_].function;
        for (int& other : keys_)
            if (other == key) other = keys_[f];
        keys_[f] = key;
        stop_capture();
        return true;
    }

private:
    void capture_key(int row) {
        stop_capture();
        capturing_key_ = row;
        qApp->installEventFilter(this);
        key_fields_[row]->setText("press a key...");
        hint_->setText("Press the key for " + QString(kRows[row].label) + " (Esc: no change).");
    }

    void capture_button(int row) {
        stop_capture();
        capturing_button_ = row;
        waited_ = 0;
        held_at_start_ = joystick_held_button();
        button_fields_[row]->setText("press a button...");
        hint_->setText("Press the joystick button for " + QString(kRows[row].label) + ".");
        poll_.start();
    }

    void poll_joystick() {
        const int held = joystick_held_button();
        if (held >= 0 && held != held_at_start_) {
            const int b = kRows[capturing_button_].function - PadFirstButton;
            for (int& other : buttons_)
                if (other == held) other = buttons_[b];
            buttons_[b] = held;
            return stop_capture();
        }
        if (held < 0) held_at_start_ = -1;
        if (++waited_ > 250) stop_capture();  // five seconds
    }

    void stop_capture() {
        if (capturing_key_ >= 0) qApp->removeEventFilter(this);
        capturing_key_ = capturing_button_ = -1;
        poll_.stop();
        show_fields();
    }

    void show_fields() {
        for (int r = 0; r < int(std::size(kRows)); ++r) {
            const int f = kRows[r].function;
            const std::string key = key_name(keys_[f]);
            key_fields_[r]->setText(key.empty() ? "none" : QString::fromStdString(key));
            if (button_fields_[r])
                button_fields_[r]->setText(QString::fromStdString(
                    joystick_button_name(kind_ == 2 ? 2 : 1, buttons_[f - PadFirstButton])));
        }
    }

    std::array<int, PadFunctions> keys_;
    std::array<int, PadButtons> buttons_;
    int kind_;
    std::array<QPushButton*, std::size(kRows)> key_fields_{};
    std::array<QPushButton*, std::size(kRows)> button_fields_{};
    QLabel* hint_;
    QTimer poll_;
    int capturing_key_ = -1;
    int capturing_button_ = -1;
    int held_at_start_ = -1;
    int waited_ = 0;
};

}  // namespace

bool run_input_dialog(QWidget* owner) {
    InputDialog dialog(owner);
    if (dialog.exec() != QDialog::Accepted) return false;
    dialog.apply();
    keyboard_release_all();
    return true;
}
