#pragma once

#include "MacroItem.h"
#include "platform/AudioSourceList.h"

#include <QDialog>

#include <functional>
#include <optional>

class QLineEdit;
class QPushButton;
class QStandardItemModel;
class QTableView;

// Edits one macro: its name, description and the table of its actions.
class NewMacroDialog : public QDialog
{
    Q_OBJECT

public:
    // Edits a select-source action in place; false when the user cancelled.
    using SourceEditor = std::function<bool(QWidget* parent, MacroAction* action)>;

    explicit NewMacroDialog(QWidget* parent = nullptr);

    void setItem(const MacroItem& item);
    MacroItem item() const { return item_; }
    // Replaces the source dialog (tests).
    void setSourceEditor(SourceEditor editor) { sourceEditor_ = std::move(editor); }

    // What the setting cell of a select-source action says about its source; microphones by
    // the listing's descriptions.
    static QString sourceSummary(const QVariantMap& parameters,
                                 const AudioSourceListing& listing = {});

public Q_SLOTS:
    void onTypeChanged(int row, int typeIndex);
    void onWaitTimeChanged(int row, int ms);
    void onInsertAction(int row);
    void onDeleteAction(int row);
    void addAction();
    void removeAction(int row);
    void acceptDialog();

private:
    void rebuildTable();
    QWidget* settingCell(int row);
    QWidget* editCell(int row);
    void warn(const QString& text);

    QLineEdit* lineEditMacroName_;
    QLineEdit* lineEditMacroDescription_;
    QPushButton* pushButtonAddAction_;
    QTableView* tableView_;
    QStandardItemModel* model_;
    MacroItem item_;
    SourceEditor sourceEditor_;
    // Asked of the sound server once, when the first source is summed up.
    std::optional<AudioSourceListing> audioListing_;
};
