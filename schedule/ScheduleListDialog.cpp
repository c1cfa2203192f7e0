#include "ScheduleListDialog.h"

#include "NewScheduleDialog.h"
#include "ScheduleRunner.h"
#include "ScheduleStore.h"
#include "macro/MacroBoxes.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

namespace {

const char kStyle[] = "QDialog { background-color: #181D3D; }"
                      "QPushButton { background-color: #4B5386; color: #EBECF2;"
                      " border-radius: 5px; padding: 5px 10px; }"
                      // Two of them share one narrow cell.
                      "QPushButton[class=\"edit-delete-btn\"] { padding: 2px 6px; }"
                      // The switch stays plain to see when off: a light frame on the dark rows.
                      "QCheckBox::indicator { width: 16px; height: 16px; border: 2px solid #C8CCE8;"
                      " border-radius: 4px; background-color: #181D3D; }"
                      "QCheckBox::indicator:checked { background-color: #41A7F6; }";
constexpr int kColumnWidths[] = {150, 120, 100, 120, 100, 80};
constexpr int kSecondsPerDay = 24 * 3600;

bool runEditor(NewScheduleDialog* dialog)
{
    return dialog->exec() == QDialog::Accepted;
}

QString startText(const ScheduleItem& item)
{
    if (item.repeatType == ScheduleRepeatType::OneTime)
        return item.oneTimeStart.isValid()
                   ? item.oneTimeStart.toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                   : QString();
    return item.startTime.toString(QStringLiteral("HH:mm"));
}

// The length of one period as a time of day, so a one-time period of a day and more wraps.
QString durationText(const ScheduleItem& item)
{
    qint64 seconds = 0;
    if (item.repeatType == ScheduleRepeatType::OneTime) {
        if (!item.oneTimeStart.isValid() || !item.oneTimeEnd.isValid())
            return {};
        seconds = item.oneTimeStart.secsTo(item.oneTimeEnd);
    } else {
        seconds = item.startTime.secsTo(item.endTime);
        if (seconds < 0)
            seconds += kSecondsPerDay;
    }
    return QTime(0, 0).addSecs(int(seconds % kSecondsPerDay)).toString(QStringLiteral("hh:mm:ss"));
}

QString repeatText(const ScheduleItem& item)
{
    switch (item.repeatType) {
    case ScheduleRepeatType::Daily:
        return ScheduleListDialog::tr("Daily");
    case ScheduleRepeatType::Weekly: {
        const QStringList names = {ScheduleListDialog::tr("Mon"), ScheduleListDialog::tr("Tue"),
                                   ScheduleListDialog::tr("Wed"), ScheduleListDialog::tr("Thu"),
                                   ScheduleListDialog::tr("Fri"), ScheduleListDialog::tr("Sat"),
                                   ScheduleListDialog::tr("Sun")};
        QStringList days;
        for (int day = 1; day <= 7; ++day)
            if (item.daysOfWeek.contains(day))
                days << names.at(day - 1);
        return ScheduleListDialog::tr("Weekly") + QStringLiteral(": ") +
               days.join(QStringLiteral(", "));
    }
    case ScheduleRepeatType::OneTime:
        break;
    }
    return ScheduleListDialog::tr("One-time");
}

// A one-time schedule whose end has passed, run or missed while the computer was off.
bool hasEnded(const ScheduleItem& item)
{
    return item.repeatType == ScheduleRepeatType::OneTime && item.oneTimeEnd.isValid() &&
           item.oneTimeEnd <= ScheduleRunner::instance()->currentDateTime();
}

QStandardItem* cell(const QString& text)
{
    auto* item = new QStandardItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

QPushButton* rowButton(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setProperty("class", "edit-delete-btn");
    return button;
}

} // namespace

ScheduleListDialog::ScheduleListDialog(QWidget* parent)
    : QDialog(parent), tableView_(new QTableView(this)), model_(new QStandardItemModel(0, 6, this)),
      editorRunner_(runEditor)
{
    setWindowTitle(tr("Scheduled Recording List"));
    setStyleSheet(QString::fromLatin1(kStyle));
    auto* pushButtonAddSchedule = new QPushButton(tr("Add Schedule"), this);
    pushButtonAddSchedule->setObjectName("pushButtonAddSchedule");
    tableView_->setObjectName("tableView");
    tableView_->setAccessibleName(tr("Schedules"));
    tableView_->setStyleSheet(QStringLiteral("background: transparent;"));
    tableView_->setModel(model_);
    tableView_->setSortingEnabled(false);
    tableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableView_->verticalHeader()->hide();
    tableView_->verticalHeader()->setDefaultSectionSize(35);
    model_->setHorizontalHeaderLabels(
        {tr("Name"), tr("Start time"), tr("Duration"), tr("Repeat"), tr("Status"), tr("Edit")});
    QHeaderView* header = tableView_->horizontalHeader();
    for (int column = 0; column < model_->columnCount(); ++column)
        header->resizeSection(column, kColumnWidths[column]);
    header->setStretchLastSection(true);

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(tr("Scheduled Recording List"), this));
    top->addStretch();
    top->addWidget(pushButtonAddSchedule);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(new QLabel(tr("Task Lists"), this));
    layout->addWidget(tableView_, 1);
    resize(780, 400);

    connect(pushButtonAddSchedule, &QPushButton::clicked, this,
            &ScheduleListDialog::addNewSchedule);
    connect(ScheduleRunner::instance(), &ScheduleRunner::requestStop, this,
            &ScheduleListDialog::renderScheduleList);
    renderScheduleList();
    macroboxes::tellBrokenFile(this, ScheduleStore::instance().filePath(),
                               ScheduleStore::instance().takeBrokenCopy());
}

void ScheduleListDialog::renderScheduleList()
{
    // Removed rows take their cell widgets with them (deleted later, so a button of a row may
    // be the one whose click asked for this).
    model_->removeRows(0, model_->rowCount());
    const QList<ScheduleItem> schedules = ScheduleStore::instance().schedules();
    for (int row = 0; row < schedules.size(); ++row) {
        const ScheduleItem& item = schedules.at(row);
        model_->appendRow({cell(item.name), cell(startText(item)), cell(durationText(item)),
                           cell(repeatText(item)), new QStandardItem, new QStandardItem});
        tableView_->setIndexWidget(model_->index(row, 5), actionsFor(item));
        // An ended one-time schedule can never run again: no switch, just that it is done.
        if (hasEnded(item)) {
            model_->setItem(row, 4, cell(tr("Done")));
            continue;
        }
        // Centred in its cell by a holder.
        auto* holder = new QWidget;
        auto* centre = new QHBoxLayout(holder);
        centre->setContentsMargins(0, 0, 0, 0);
        auto* status = new QCheckBox(holder);
        status->setAccessibleName(tr("Schedule enabled"));
        centre->addWidget(status, 0, Qt::AlignCenter);
        status->setChecked(item.enabled);
        // Said in words too, and a wider target than the box alone.
        status->setText(item.enabled ? tr("On") : tr("Off"));
        status->setProperty("scheduleId", QVariant::fromValue<qulonglong>(item.id));
        const std::uint64_t id = item.id;
        connect(status, &QCheckBox::toggled, this, [this, id, status](bool enabled) {
            status->setText(enabled ? tr("On") : tr("Off"));
            setScheduleEnabled(id, enabled);
        });
        tableView_->setIndexWidget(model_->index(row, 4), holder);
    }
}

QWidget* ScheduleListDialog::actionsFor(const ScheduleItem& item)
{
    auto* actions = new QWidget;
    auto* layout = new QHBoxLayout(actions);
    layout->setContentsMargins(0, 0, 0, 0);
    QPushButton* edit = rowButton(tr("Edit"), actions);
    QPushButton* remove = rowButton(tr("Delete"), actions);
    const std::uint64_t id = item.id;
    connect(edit, &QPushButton::clicked, this, [this, id] { editSchedule(id); });
    const QString name = item.name;
    connect(remove, &QPushButton::clicked, this, [this, id, name] { deleteSchedule(id, name); });
    layout->addWidget(edit);
    layout->addWidget(remove);
    return actions;
}

void ScheduleListDialog::addNewSchedule()
{
    NewScheduleDialog dialog(this);
    if (!editorRunner_(&dialog))
        return;
    ScheduleItem item = dialog.item();
    item.id = ScheduleStore::instance().nextScheduleId();
    ScheduleStore::instance().addSchedule(item);
    renderScheduleList();
}

void ScheduleListDialog::editSchedule(std::uint64_t id)
{
    for (const ScheduleItem& stored : ScheduleStore::instance().schedules()) {
        if (stored.id != id)
            continue;
        NewScheduleDialog dialog(this);
        dialog.setEditMode(true);
        dialog.setItem(stored);
        if (!editorRunner_(&dialog))
            return;
        ScheduleItem item = dialog.item();
        item.id = id;
        ScheduleStore::instance().updateSchedule(item);
        renderScheduleList();
        return;
    }
}

void ScheduleListDialog::deleteSchedule(std::uint64_t id, const QString& name)
{
    if (!macroboxes::show(this, QMessageBox::Question, tr("Delete Schedule"),
                          tr("Are you sure you want to delete the schedule '%1'?").arg(name) +
                              QStringLiteral("\n\n") + tr("This action cannot be undone.")))
        return;
    if (ScheduleStore::instance().deleteSchedule(id))
        renderScheduleList();
}

void ScheduleListDialog::setScheduleEnabled(std::uint64_t id, bool enabled)
{
    for (ScheduleItem item : ScheduleStore::instance().schedules())
        if (item.id == id) {
            item.enabled = enabled;
            item.updatedAt = QDateTime::currentDateTime();
            ScheduleStore::instance().updateSchedule(item);
            return;
        }
}
