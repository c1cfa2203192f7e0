#include "MacroListDialog.h"

#include "EventBus.h"
#include "MacroBoxes.h"
#include "MacroExecutor.h"
#include "MacroStore.h"
#include "NewMacroDialog.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTableView>
#include <QTime>
#include <QVBoxLayout>

namespace {

constexpr int kMaxRepeat = 99;

std::optional<MacroItem> editInDialog(QWidget* parent, const MacroItem* item)
{
    NewMacroDialog dialog(parent);
    if (item)
        dialog.setItem(*item);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.item();
}

QStandardItem* centred(const QString& text)
{
    auto* cell = new QStandardItem(text);
    cell->setTextAlignment(Qt::AlignCenter);
    return cell;
}

QPushButton* rowButton(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setProperty("class", "edit-delete-btn");
    button->setStyleSheet(QStringLiteral("QPushButton { font-size: 10px; }"));
    button->setMaximumHeight(30);
    return button;
}

} // namespace

MacroListDialog::MacroListDialog(QWidget* parent)
    : QDialog(parent), pushButton_(new QPushButton(tr("New Macro"), this)),
      tableView_(new QTableView(this)), model_(new QStandardItemModel(this)), editor_(editInDialog)
{
    setWindowTitle(tr("Macros"));
    pushButton_->setObjectName("pushButton");
    tableView_->setObjectName("tableView");
    tableView_->setAccessibleName(tr("Macros"));
    tableView_->setModel(model_);
    tableView_->setSortingEnabled(false);
    tableView_->setShowGrid(true);
    tableView_->setFrameShape(QFrame::Box);
    tableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableView_->verticalHeader()->hide();
    auto* header = new QHBoxLayout;
    header->addWidget(new QLabel(tr("Macros"), this));
    header->addStretch();
    header->addWidget(pushButton_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(header);
    layout->addWidget(tableView_, 1);
    resize(720, 360);

    connect(pushButton_, &QPushButton::clicked, this, &MacroListDialog::addNewMacro);
    MacroExecutor* executor = MacroExecutor::instance();
    connect(executor, &MacroExecutor::requestExecutionStarted, this, &MacroListDialog::refresh);
    connect(executor, &MacroExecutor::requestExecutionStopped, this, &MacroListDialog::refresh);
    connect(executor, &MacroExecutor::requestExecutionFinished, this, &MacroListDialog::refresh);
    refresh();
    macroboxes::tellBrokenFile(this, MacroStore::instance().filePath(),
                               MacroStore::instance().takeBrokenCopy());
}

void MacroListDialog::refresh()
{
    executing_ = MacroExecutor::instance()->isExecuting();
    executingId_ = MacroExecutor::instance()->currentMacroId();
    rebuildRows();
}

void MacroListDialog::rebuildRows()
{
    model_->clear();
    model_->setHorizontalHeaderLabels(
        {tr("Name"), tr("Duration"), tr("Repeat"), tr("Description"), tr("Edit")});
    const QList<MacroItem> macros = MacroStore::instance().macros();
    for (int row = 0; row < macros.size(); ++row) {
        const MacroItem& item = macros.at(row);
        model_->appendRow({centred(item.name), centred(item.durationText()), new QStandardItem,
                           centred(item.description), new QStandardItem});
        auto* repeat = new QSpinBox;
        repeat->setRange(1, kMaxRepeat);
        repeat->setMaximumWidth(60);
        repeat->setAlignment(Qt::AlignCenter);
        repeat->setValue(item.repeatCount);
        repeat->setAccessibleName(tr("Repeat count"));
        const std::uint64_t id = item.id;
        connect(repeat, &QSpinBox::valueChanged, this,
                [this, id](int count) { setRepeatCount(id, count); });
        tableView_->setIndexWidget(model_->index(row, 2), repeat);
        tableView_->setIndexWidget(model_->index(row, 4), buttonsFor(item));
    }
    QHeaderView* header = tableView_->horizontalHeader();
    header->resizeSection(0, 150);
    // The duration, the repeat count and the buttons as wide as their texts in any language; the
    // description takes the rest.
    for (const int column : {1, 2, 4})
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(3, QHeaderView::Stretch);
}

QWidget* MacroListDialog::buttonsFor(const MacroItem& item)
{
    auto* cell = new QWidget;
    auto* layout = new QHBoxLayout(cell);
    layout->setContentsMargins(0, 0, 0, 0);
    const bool thisOne = executing_ && item.id == executingId_;
    QPushButton* execute = rowButton(thisOne ? tr("Stop") : tr("Execute"), cell);
    QPushButton* edit = rowButton(tr("Edit"), cell);
    QPushButton* remove = rowButton(tr("Delete"), cell);
    execute->setEnabled(!executing_ || thisOne);
    edit->setEnabled(!thisOne);
    remove->setEnabled(!thisOne);
    connect(execute, &QPushButton::clicked, this, [this, item] {
        if (executing_)
            emit EventBus::instance()->requestStopMacroExecutionToMainWindow();
        else
            emit EventBus::instance()->requestStartMacroExecutionToMainWindow(item);
    });
    const std::uint64_t id = item.id;
    connect(edit, &QPushButton::clicked, this, [this, id] { editMacro(id); });
    connect(remove, &QPushButton::clicked, this, [this, item] { deleteMacro(item); });
    layout->addWidget(execute);
    layout->addWidget(edit);
    layout->addWidget(remove);
    return cell;
}

void MacroListDialog::addNewMacro()
{
    std::optional<MacroItem> item = editor_ ? editor_(this, nullptr) : std::nullopt;
    if (!item)
        return;
    item->id = MacroStore::instance().nextMacroId();
    MacroStore::instance().addMacro(*item);
    rebuildRows();
}

void MacroListDialog::editMacro(std::uint64_t id)
{
    for (const MacroItem& stored : MacroStore::instance().macros()) {
        if (stored.id != id)
            continue;
        if (const std::optional<MacroItem> edited =
                editor_ ? editor_(this, &stored) : std::nullopt) {
            MacroStore::instance().updateMacro(*edited);
            // Deferred: the Edit button that asked lives in the rows being rebuilt.
            QMetaObject::invokeMethod(this, &MacroListDialog::rebuildRows, Qt::QueuedConnection);
        }
        return;
    }
}

void MacroListDialog::deleteMacro(const MacroItem& item)
{
    if (!macroboxes::show(this, QMessageBox::Question, tr("Delete Macro"),
                          tr("Are you sure you want to delete the macro '%1'?").arg(item.name) +
                              QStringLiteral("\n\n") + tr("This action cannot be undone.")))
        return;
    MacroStore::instance().deleteMacro(item.id);
    QMetaObject::invokeMethod(this, &MacroListDialog::rebuildRows, Qt::QueuedConnection);
}

void MacroListDialog::setRepeatCount(std::uint64_t id, int count)
{
    for (MacroItem item : MacroStore::instance().macros())
        if (item.id == id) {
            item.repeatCount = count;
            MacroStore::instance().updateMacro(item);
            break;
        }
    QMetaObject::invokeMethod(this, &MacroListDialog::rebuildRows, Qt::QueuedConnection);
}
