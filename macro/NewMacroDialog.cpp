#include "NewMacroDialog.h"

#include "MacroActionSelectSourceDialog.h"
#include "MacroBoxes.h"
#include "widgets/SourceLists.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

#include <limits>

namespace {

constexpr int kRowHeight = 35;
constexpr int kKindCount = 6;
const char kSmallButtons[] = "QPushButton { font-size: 10px; }";

MacroAction defaultWait()
{
    return MacroAction(MacroActionType::Wait, {{QStringLiteral("duration_ms"), 1000}});
}

QPushButton* smallButton(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setProperty("class", "edit-delete-btn");
    button->setStyleSheet(kSmallButtons);
    button->setMaximumHeight(30);
    return button;
}

QLabel* note(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setStyleSheet(QStringLiteral("color: #AAAAAA; font-size: 10px;"));
    label->setWordWrap(true);
    return label;
}

bool editSourceInDialog(QWidget* parent, MacroAction* action)
{
    MacroActionSelectSourceDialog dialog(parent);
    dialog.setItem(*action);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *action = dialog.item();
    return true;
}

} // namespace

NewMacroDialog::NewMacroDialog(QWidget* parent)
    : QDialog(parent), lineEditMacroName_(new QLineEdit(this)),
      lineEditMacroDescription_(new QLineEdit(this)),
      pushButtonAddAction_(new QPushButton(tr("Add Action"), this)),
      tableView_(new QTableView(this)), model_(new QStandardItemModel(this)),
      sourceEditor_(editSourceInDialog)
{
    setWindowTitle(tr("Macro"));
    lineEditMacroName_->setObjectName("lineEditMacroName");
    lineEditMacroDescription_->setObjectName("lineEditMacroDescription");
    pushButtonAddAction_->setObjectName("pushButtonAddAction");
    tableView_->setObjectName("tableView");
    tableView_->setAccessibleName(tr("Macro actions"));
    tableView_->setStyleSheet(QStringLiteral("background: transparent;"));
    tableView_->setModel(model_);
    tableView_->verticalHeader()->hide();
    tableView_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    tableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    auto* ok = new QPushButton(tr("OK"), this);
    ok->setObjectName("pushButtonOK");
    ok->setDefault(true);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName("pushButtonCancel");

    auto* form = new QFormLayout;
    form->addRow(tr("Name"), lineEditMacroName_);
    form->addRow(tr("Description"), lineEditMacroDescription_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(pushButtonAddAction_, 0, Qt::AlignLeft);
    layout->addWidget(tableView_, 1);
    layout->addLayout(buttons);
    resize(560, 420);

    connect(pushButtonAddAction_, &QPushButton::clicked, this, &NewMacroDialog::addAction);
    connect(ok, &QPushButton::clicked, this, &NewMacroDialog::acceptDialog);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    rebuildTable();
}

void NewMacroDialog::setItem(const MacroItem& item)
{
    item_ = item;
    lineEditMacroName_->setText(item.name);
    lineEditMacroDescription_->setText(item.description);
    rebuildTable();
}

QString NewMacroDialog::sourceSummary(const QVariantMap& p, const AudioSourceListing& listing)
{
    QStringList parts;
    if (p.value("recordScreen").toBool()) {
        switch (p.value("areaCaptureMode").toInt()) {
        case 2:
            parts << sourcelists::rectangleText(
                QRect(p.value("left").toInt(), p.value("top").toInt(), p.value("width").toInt(),
                      p.value("height").toInt()));
            break;
        case 1:
            parts
                << QStringLiteral("window - %1").arg(p.value("selectedWindow_exeName").toString());
            break;
        default:
            parts << QStringLiteral("Screen %1").arg(p.value("screenIndex").toInt() + 1);
        }
    }
    if (p.value("recordAudioInput").toBool())
        parts << sourcelists::audioChoiceText(p.value("AudioInputDeviceId").toString(), listing);
    return parts.isEmpty() ? tr("No source selected") : parts.join(QStringLiteral(", "));
}

void NewMacroDialog::rebuildTable()
{
    model_->clear();
    model_->setHorizontalHeaderLabels({tr("No"), tr("Type"), tr("Setting"), tr("Edit")});
    for (int row = 0; row < item_.actions.size(); ++row) {
        auto* number = new QStandardItem(QString::number(row + 1));
        number->setTextAlignment(Qt::AlignCenter);
        model_->appendRow({number, new QStandardItem, new QStandardItem, new QStandardItem});
        auto* type = new QComboBox;
        type->setAccessibleName(tr("Action type"));
        for (int kind = 0; kind < kKindCount; ++kind)
            type->addItem(MacroAction::actionDisplayName(MacroActionType(kind)), kind);
        type->setCurrentIndex(type->findData(int(item_.actions.at(row).type)));
        connect(type, &QComboBox::activated, this, [this, row, type](int index) {
            onTypeChanged(row, type->itemData(index).toInt());
        });
        tableView_->setIndexWidget(model_->index(row, 1), type);
        tableView_->setIndexWidget(model_->index(row, 2), settingCell(row));
        tableView_->setIndexWidget(model_->index(row, 3), editCell(row));
    }
    QHeaderView* header = tableView_->horizontalHeader();
    header->resizeSection(0, 40);
    // As wide as the longest action name in the language shown.
    header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    header->resizeSection(2, 200);
    header->resizeSection(3, 120);
    header->setStretchLastSection(true);
}

QWidget* NewMacroDialog::settingCell(int row)
{
    const MacroAction& action = item_.actions.at(row);
    auto* cell = new QWidget;
    auto* layout = new QHBoxLayout(cell);
    layout->setContentsMargins(10, 0, 10, 0);
    QWidget* content = nullptr;
    switch (action.type) {
    case MacroActionType::Wait: {
        // Whole milliseconds only: nothing else can be typed. A value a file holds that is no
        // such number shows as 0 until one is entered; OK names the step meanwhile.
        auto* edit = new QSpinBox(cell);
        edit->setRange(0, std::numeric_limits<int>::max());
        edit->setValue(action.waitMs().value_or(0));
        edit->setSuffix(QStringLiteral(" ms"));
        edit->setToolTip(tr("Time (ms)"));
        edit->setAccessibleName(tr("Wait time in milliseconds"));
        connect(edit, &QSpinBox::valueChanged, this,
                [this, row](int ms) { onWaitTimeChanged(row, ms); });
        connect(edit, &QSpinBox::editingFinished, this,
                [this, row, edit] { onWaitTimeChanged(row, edit->value()); });
        content = edit;
        break;
    }
    case MacroActionType::SelectSource:
        if (!audioListing_)
            audioListing_ = sourcelists::audioSources();
        content = note(sourceSummary(action.parameters, *audioListing_), cell);
        break;
    case MacroActionType::StartRecording:
        content = note(tr("Starts the recording process"), cell);
        break;
    case MacroActionType::StopRecording:
        content = note(tr("Stops the recording process"), cell);
        break;
    case MacroActionType::PauseRecording:
        content = note(tr("Pauses the current recording"), cell);
        break;
    case MacroActionType::ResumeRecording:
        content = note(tr("Resumes a paused recording"), cell);
        break;
    }
    if (!content)
        content = note(tr("No additional settings required"), cell);
    layout->addWidget(content);
    return cell;
}

QWidget* NewMacroDialog::editCell(int row)
{
    auto* cell = new QWidget;
    auto* layout = new QHBoxLayout(cell);
    layout->setContentsMargins(0, 0, 0, 0);
    QPushButton* insert = smallButton(tr("Insert"), cell);
    QPushButton* remove = smallButton(tr("Delete"), cell);
    connect(insert, &QPushButton::clicked, this, [this, row] { onInsertAction(row); });
    connect(remove, &QPushButton::clicked, this, [this, row] { onDeleteAction(row); });
    layout->addWidget(insert);
    layout->addWidget(remove);
    return cell;
}

void NewMacroDialog::onTypeChanged(int row, int typeIndex)
{
    if (row < 0 || row >= item_.actions.size())
        return;
    MacroAction& action = item_.actions[row];
    action.type = MacroActionType(typeIndex);
    action.unknownType.clear();
    action.name = MacroAction::actionDisplayName(action.type);
    if (action.type == MacroActionType::SelectSource && sourceEditor_) {
        MacroAction edited = action;
        if (sourceEditor_(this, &edited))
            action = edited;
    }
    // Deferred: the combo box that called is one of the cells being replaced.
    QMetaObject::invokeMethod(
        this,
        [this, row] {
            if (row < item_.actions.size())
                tableView_->setIndexWidget(model_->index(row, 2), settingCell(row));
        },
        Qt::QueuedConnection);
}

void NewMacroDialog::onWaitTimeChanged(int row, int ms)
{
    if (row >= 0 && row < item_.actions.size() &&
        item_.actions.at(row).type == MacroActionType::Wait)
        item_.actions[row].parameters["duration_ms"] = ms;
}

void NewMacroDialog::onInsertAction(int row)
{
    item_.actions.insert(std::clamp<qsizetype>(row, 0, item_.actions.size()), defaultWait());
    QMetaObject::invokeMethod(this, &NewMacroDialog::rebuildTable, Qt::QueuedConnection);
}

void NewMacroDialog::onDeleteAction(int row)
{
    removeAction(row);
}

void NewMacroDialog::addAction()
{
    item_.actions.append(defaultWait());
    rebuildTable();
}

void NewMacroDialog::removeAction(int row)
{
    if (row < 0 || row >= item_.actions.size())
        return;
    item_.actions.removeAt(row);
    // The button that asked is inside the table: rebuild once its click has returned.
    QMetaObject::invokeMethod(this, &NewMacroDialog::rebuildTable, Qt::QueuedConnection);
}

void NewMacroDialog::warn(const QString& text)
{
    macroboxes::show(this, QMessageBox::Warning, tr("Validation Error"), text);
}

void NewMacroDialog::acceptDialog()
{
    if (lineEditMacroName_->text().isEmpty()) {
        warn(tr("Name is required"));
        return;
    }
    if (item_.actions.isEmpty()) {
        warn(tr("Create actions"));
        return;
    }
    item_.name = lineEditMacroName_->text();
    item_.description = lineEditMacroDescription_->text();
    if (!item_.isValid()) {
        warn(tr("Action Lists are invalid"));
        return;
    }
    if (const QString error = item_.stepError(); !error.isEmpty()) {
        warn(error);
        return;
    }
    accept();
}
