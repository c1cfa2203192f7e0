#pragma once

#include "ScheduleItem.h"

#include <QDialog>

#include <cstdint>
#include <functional>

class NewScheduleDialog;
class QStandardItemModel;
class QTableView;

// Lists every schedule with its start, duration, repeat kind and an enabled switch, and offers
// add, edit and delete. Every change goes to the schedule store at once.
class ScheduleListDialog : public QDialog
{
    Q_OBJECT

public:
    // Runs the schedule editor; true when it was accepted.
    using EditorRunner = std::function<bool(NewScheduleDialog* dialog)>;

    explicit ScheduleListDialog(QWidget* parent = nullptr);
    // Replaces running the editor modally (tests).
    void setEditorRunner(EditorRunner runner) { editorRunner_ = std::move(runner); }

public Q_SLOTS:
    void addNewSchedule();
    void renderScheduleList();

private:
    QWidget* actionsFor(const ScheduleItem& item);
    void editSchedule(std::uint64_t id);
    void deleteSchedule(std::uint64_t id, const QString& name);
    void setScheduleEnabled(std::uint64_t id, bool enabled);

    QTableView* tableView_;
    QStandardItemModel* model_;
    EditorRunner editorRunner_;
};
