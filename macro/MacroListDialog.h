#pragma once

#include "MacroItem.h"

#include <QDialog>

#include <cstdint>
#include <functional>
#include <optional>

class QPushButton;
class QStandardItemModel;
class QTableView;

// Lists every macro with its duration, repeat count and description, and offers new, execute
// (or stop), edit and delete. Every change goes to the store at once.
class MacroListDialog : public QDialog
{
    Q_OBJECT

public:
    // Edits a macro (null: a new one) in the macro dialog; nullopt when cancelled.
    using Editor = std::function<std::optional<MacroItem>(QWidget* parent, const MacroItem* item)>;

    explicit MacroListDialog(QWidget* parent = nullptr);
    // Replaces the macro dialog (tests).
    void setEditor(Editor editor) { editor_ = std::move(editor); }

public Q_SLOTS:
    void addNewMacro();

private:
    void refresh();
    void rebuildRows();
    QWidget* buttonsFor(const MacroItem& item);
    void editMacro(std::uint64_t id);
    void deleteMacro(const MacroItem& item);
    void setRepeatCount(std::uint64_t id, int count);

    QPushButton* pushButton_;
    QTableView* tableView_;
    QStandardItemModel* model_;
    bool executing_ = false;
    std::uint64_t executingId_ = 0;
    Editor editor_;
};
