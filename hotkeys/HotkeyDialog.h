#pragma once

#include "hotkeys/HotkeyManager.h"

#include <QDialog>

#include <array>
#include <memory>

class HotkeyLineEdit;
class QCheckBox;
class QLabel;

namespace Ui {
class HotkeyDialog;
}

// Lets the user switch each of the twelve shortcuts on or off and record a new key combination
// for it. Every change is written through to HotkeyManager at once (saved and made live); there
// is no separate apply step, so closing the dialog by any means keeps what was changed.
class HotkeyDialog : public QDialog
{
    Q_OBJECT

public:
    // manager: null means HotkeyManager::instance().
    explicit HotkeyDialog(QWidget* parent = nullptr, HotkeyManager* manager = nullptr);
    ~HotkeyDialog() override;

private slots:
    // Shows the manager's hotkeys without writing anything back.
    void refill();

protected:
    void changeEvent(QEvent* event) override;

private:
    struct Row
    {
        QCheckBox* checkBox = nullptr;
        HotkeyLineEdit* lineEdit = nullptr;
    };

    // Saves the row's check state and text as the hotkey of that id, unless another enabled
    // hotkey has the same sequence: then the row goes back to the saved state and a message
    // names the other action.
    void writeThrough(int hotkeyId);

    // The global shortcuts below the table: the same write-through, and under each a line that
    // says when the desktop does not pass it on (GlobalShortcuts::current()).
    void buildGlobalSection();
    void refillGlobal();
    void writeThroughGlobal(std::size_t index);
    void showGlobalStatus();

    std::unique_ptr<Ui::HotkeyDialog> ui;
    HotkeyManager* manager_;
    std::array<Row, HotkeyManager::kHotkeyCount> rows_;
    std::array<Row, 2> globalRows_;
    std::array<QLabel*, 2> globalStatus_{};
};
