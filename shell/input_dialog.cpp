// The Input dialog: a page per player (a key and a joystick button for each
// of the pad's buttons, a key for each direction, and the joystick the player
// reads) and a page of the commands' keys (and joystick buttons for
// fast-forward, rewind and the states). Click a field, then press the key or
// the joystick button; Esc leaves a field as it was. A key already in use
// changes places with the field's old key, across both players and the
// commands. "Defaults" brings back the README's mapping; OK keeps the mapping
// (and the settings file has it).
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <array>
#include <vector>

#include "host/host.h"
#include "shell/settings.h"
#include "shell/shell.h"

namespace {

// The rows, in the order a player reads a pad.
struct Row {
    PadFunction function;
    const char* label;
    const char* name;  // the fields' object names: key_NAME, joystick_NAME (key2_, joystick2_)
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
constexpr int kRowCount = int(std::size(kRows));

bool is_modifier(int key) {
    return key == Qt::Key_Control || key == Qt::Key_Alt || key == Qt::Key_Meta ||
           key == Qt::Key_AltGr || key == Qt::Key_Super_L || key == Qt::Key_Super_R;
}

class InputDialog : public QDialog {
public:
    explicit InputDialog(QWidget* owner) : QDialog(owner) {
        setWindowTitle("Input");
        keys_ = App.KeyFor;
        commands_ = CommandKeyFor;
        controller_ = App.ControllerButtonFor;
        raw_ = App.JoystickButtonFor;
        joystick_for_ = App.JoystickFor;
        command_controller_ = App.ControllerCommandButtonFor;
        command_raw_ = App.JoystickCommandButtonFor;
        // The key fields: both players' pads, then the commands.
        for (int p = 0; p < Players; ++p)
            for (int f = 0; f < PadFunctions; ++f) slots_.push_back({&keys_[p][f], true});
        for (int& key : commands_) slots_.push_back({&key, false});
        key_fields_.resize(slots_.size());

        auto* tabs = new QTabWidget;
        for (int p = 0; p < Players; ++p) tabs->addTab(player_page(p), player_title(p));
        tabs->addTab(command_page(), "Commands");
        hint_ = new QLabel("Click a field, then press a key or a joystick button.");
        hint_->setObjectName("hint");
        hint_->setWordWrap(true);
        auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                         QDialogButtonBox::RestoreDefaults);
        box->button(QDialogButtonBox::RestoreDefaults)->setText("Defaults");
        connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
        connect(box->button(QDialogButtonBox::RestoreDefaults), &QPushButton::clicked, this,
                [this] {
                    const AppSettings d = default_settings();
                    keys_ = d.Keys;
                    commands_ = d.CommandKeys;
                    controller_ = d.ControllerButtons;
                    raw_ = d.JoystickButtons;
                    joystick_for_ = d.JoystickFor;
                    command_controller_ = d.ControllerCommandButtons;
                    command_raw_ = d.JoystickCommandButtons;
                    stop_capture();
                });
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(tabs);
        layout->addWidget(hint_);
        layout->addWidget(box);
        poll_.setInterval(20);
        connect(&poll_, &QTimer::timeout, this, &InputDialog::poll_joystick);
        show_fields();
    }

    ~InputDialog() override { qApp->removeEventFilter(this); }

    // The mapping as the dialog holds it, into the pads and the commands.
    void apply() const {
        App.KeyFor = keys_;
        CommandKeyFor = commands_;
        App.ControllerButtonFor = controller_;
        App.JoystickButtonFor = raw_;
        App.JoystickFor = joystick_for_;
        App.ControllerCommandButtonFor = command_controller_;
        App.JoystickCommandButtonFor = command_raw_;
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
        const bool pad = slots_[capturing_key_].pad;
        if (is_modifier(key)) return true;  // wait for the key it goes with
        if (!pad && key != Qt::Key_Shift && key != KeyRightShift)
            key |= int(press->modifiers() &
                       (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier));
        if (key_name(key).empty() || key == Qt::Key_unknown || key == Qt::Key_Backtab) {
            hint_->setText("That key cannot be given.");
            return true;
        }
        if (pad && press->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) {
            hint_->setText("A pad takes a key without Ctrl or Alt.");
            return true;
        }
        // A key already in use changes places with the field's old key (a
        // pad is given no key rather than one with Ctrl or Alt).
        int& mine = *slots_[capturing_key_].key;
        for (const Slot& other : slots_)
            if (other.key != &mine && *other.key == key)
                *other.key = other.pad && (mine & Qt::KeyboardModifierMask) ? 0 : mine;
        mine = key;
        stop_capture();
        return true;
    }

private:
    struct Slot {
        int* key;
        bool pad;
    };

    static QString player_title(int p) { return "Player " + QString::number(p + 1); }
    static QString suffix(int p) { return p == 0 ? "" : QString::number(p + 1); }

    QPushButton* field(const QString& name, QWidget* page) {
        auto* b = new QPushButton(page);
        b->setObjectName(name);
        b->setMinimumWidth(120);
        return b;
    }

    QWidget* player_page(int p) {
        auto* page = new QWidget;
        auto* grid = new QGridLayout(page);
        auto* combo = new QComboBox;
        combo->setObjectName("joystick_for" + suffix(p));
        combo->addItem("none");
        for (int j = 0; j < Joysticks; ++j) {
            const std::string name = joystick_name(j);
            combo->addItem(QString("Joystick %1").arg(j + 1) +
                           (name.empty() ? QString(" (not plugged in)")
                                         : " (" + QString::fromStdString(name) + ")"));
        }
        combo->setCurrentIndex(joystick_for_[p] + 1);
        connect(combo, &QComboBox::currentIndexChanged, this, [this, p](int i) {
            joystick_for_[p] = i - 1;
            stop_capture();
        });
        combos_[p] = combo;
        grid->addWidget(new QLabel("Joystick:"), 0, 0);
        grid->addWidget(combo, 0, 1, 1, 2);
        grid->addWidget(new QLabel("<b>Key</b>"), 1, 1);
        grid->addWidget(new QLabel("<b>Joystick button</b>"), 1, 2);
        for (int r = 0; r < kRowCount; ++r) {
            const Row& row = kRows[r];
            grid->addWidget(new QLabel(row.label), r + 2, 0);
            const int slot = p * PadFunctions + row.function;
            QPushButton* key = field("key" + suffix(p) + "_" + row.name, page);
            connect(key, &QPushButton::clicked, this,
                    [this, slot, row] { capture_key(slot, row.label); });
            grid->addWidget(key, r + 2, 1);
            key_fields_[slot] = key;
            if (row.function >= PadFirstButton) {
                QPushButton* button = field("joystick" + suffix(p) + "_" + row.name, page);
                const int b = row.function - PadFirstButton;
                connect(button, &QPushButton::clicked, this,
                        [this, p, b, row] { capture_button(p, b, row.label); });
                grid->addWidget(button, r + 2, 2);
                button_fields_[p][b] = button;
            }
        }
        grid->setRowStretch(kRowCount + 2, 1);  // the rows together at the top
        return page;
    }

    QWidget* command_page() {
        auto* page = new QWidget;
        auto* grid = new QGridLayout(page);
        grid->addWidget(new QLabel("<b>Key</b>"), 0, 1);
        grid->addWidget(new QLabel("<b>Joystick button</b>"), 0, 2);
        for (int c = 0; c < CommandKeyCount; ++c) {
            const CommandKeyRow& row = CommandKeyRows[c];
            grid->addWidget(new QLabel(row.label), c + 1, 0);
            const int slot = Players * PadFunctions + c;
            QPushButton* key = field(QString("command_") + row.name, page);
            connect(key, &QPushButton::clicked, this,
                    [this, slot, row] { capture_key(slot, row.label); });
            grid->addWidget(key, c + 1, 1);
            key_fields_[slot] = key;
            if (row.joystick >= 0) {
                QPushButton* button = field(QString("joystick_") + row.name, page);
                const int j = row.joystick;
                connect(button, &QPushButton::clicked, this,
                        [this, j, row] { capture_button(-1, j, row.label); });
                grid->addWidget(button, c + 1, 2);
                command_fields_[j] = button;
            }
        }
        grid->addWidget(new QLabel("Esc always pauses or leaves fullscreen."), CommandKeyCount + 1,
                        0, 1, 3);
        return page;
    }

    void capture_key(int slot, const char* label) {
        stop_capture();
        capturing_key_ = slot;
        qApp->installEventFilter(this);
        key_fields_[slot]->setText("press a key...");
        hint_->setText("Press the key for " + QString(label) + " (Esc: no change).");
    }

    // The joystick a player's button field reads; for the commands (-1) the
    // first one plugged in.
    int joystick_of(int player) const {
        if (player >= 0) return joystick_for_[player];
        for (int j = 0; j < Joysticks; ++j)
            if (joystick_kind(j)) return j;
        return -1;
    }

    void capture_button(int player, int index, const char* label) {
        stop_capture();
        const int j = joystick_of(player);
        if (j < 0 || !joystick_kind(j)) {
            hint_->setText("No joystick is plugged in for this.");
            return;
        }
        capturing_player_ = player;
        capturing_button_ = index;
        capturing_joystick_ = j;
        waited_ = 0;
        held_at_start_ = joystick_held_button(j);
        (player >= 0 ? button_fields_[player][index] : command_fields_[index])
            ->setText("press a button...");
        hint_->setText("Press the joystick button for " + QString(label) + ".");
        poll_.start();
    }

    void poll_joystick() {
        const int held = joystick_held_button(capturing_joystick_);
        if (held >= 0 && held != held_at_start_) {
            // A button in use changes places with the field's old one: within
            // the player's pad, and between the pads and the commands, which
            // any joystick's buttons run.
            const bool known = joystick_kind(capturing_joystick_) == 1;
            CommandButtonMap& commands = known ? command_controller_ : command_raw_;
            auto& pads = known ? controller_ : raw_;
            int& mine = capturing_player_ >= 0 ? pads[capturing_player_][capturing_button_]
                                               : commands[capturing_button_];
            const int old = mine;
            auto swap_in = [&](auto& map) {
                for (int& other : map)
                    if (&other != &mine && other == held) other = old;
            };
            swap_in(commands);
            if (capturing_player_ >= 0)
                swap_in(pads[capturing_player_]);
            else
                for (PadButtonMap& pad : pads) swap_in(pad);
            mine = held;
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
        for (size_t s = 0; s < slots_.size(); ++s) {
            const std::string key = key_name(*slots_[s].key);
            key_fields_[s]->setText(key.empty() ? "none" : QString::fromStdString(key));
        }
        for (int p = 0; p < Players; ++p) {
            combos_[p]->blockSignals(true);
            combos_[p]->setCurrentIndex(joystick_for_[p] + 1);
            combos_[p]->blockSignals(false);
            const int kind = joystick_kind(joystick_for_[p]);
            for (int b = 0; b < PadButtons; ++b) {
                const int button = (kind == 2 ? raw_ : controller_)[p][b];
                button_fields_[p][b]->setText(
                    QString::fromStdString(joystick_button_name(kind == 2 ? 2 : 1, button)));
                button_fields_[p][b]->setEnabled(kind != 0);
            }
        }
        const int kind = joystick_kind(joystick_of(-1));
        for (int c = 0; c < JoystickCommands; ++c) {
            const int button = (kind == 2 ? command_raw_ : command_controller_)[c];
            command_fields_[c]->setText(
                QString::fromStdString(joystick_button_name(kind == 2 ? 2 : 1, button)));
            command_fields_[c]->setEnabled(kind != 0);
        }
    }

    std::array<PadKeys, Players> keys_;
    std::array<int, CommandKeyCount> commands_;
    std::array<PadButtonMap, Players> controller_, raw_;
    std::array<int, Players> joystick_for_;
    CommandButtonMap command_controller_, command_raw_;
    std::vector<Slot> slots_;
    std::vector<QPushButton*> key_fields_;
    std::array<std::array<QPushButton*, PadButtons>, Players> button_fields_{};
    std::array<QPushButton*, JoystickCommands> command_fields_{};
    std::array<QComboBox*, Players> combos_{};
    QLabel* hint_;
    QTimer poll_;
    int capturing_key_ = -1;
    int capturing_player_ = -1;
    int capturing_button_ = -1;
    int capturing_joystick_ = -1;
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
