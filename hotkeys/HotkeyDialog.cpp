#include "HotkeyDialog.h"

#include "ui_HotkeyDialog.h"

#include "hotkeys/HotkeyLineEdit.h"
#include "hotkeys/HotkeyManager.h"
#include "platform/GlobalShortcuts.h"
#include "platform/portal/PortalScreenCast.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QEvent>
#include <QMessageBox>
#include <QSignalBlocker>

#include <vector>

HotkeyDialog::HotkeyDialog(QWidget* parent, HotkeyManager* manager)
    : QDialog(parent), ui(std::make_unique<Ui::HotkeyDialog>()),
      manager_(manager ? manager : &HotkeyManager::instance())
{
    ui->setupUi(this);
    rows_ = {{
        Row{ui->checkBoxHotkeyStartStopRecording, ui->lineEditHotkeyStartStopRecording},
        Row{ui->checkBoxHotkeyAreaSelect, ui->lineEditHotkeyAreaSelect},
        Row{ui->checkBoxHotkeyOpenRecordFolder, ui->lineEditHotkeyOpenRecordFolder},
        Row{ui->checkBoxHotkeySettingsDialog, ui->lineEditHotkeySettingsDialog},
        Row{ui->checkBoxHotkeyInformation, ui->lineEditHotkeyInformation},
        Row{ui->checkBoxHotkeyCheckUpdate, ui->lineEditHotkeyCheckUpdate},
        Row{ui->checkBoxHotkeyHelp, ui->lineEditHotkeyHelp},
        Row{ui->checkBoxHotkeyBackgroundMode, ui->lineEditHotkeyBackgroundMode},
        Row{ui->checkBoxHotkeyScheduleDialog, ui->lineEditHotkeyScheduleDialog},
        Row{ui->checkBoxHotkeyMacroDialog, ui->lineEditHotkeyMacroDialog},
        Row{ui->checkBoxHotkeyHotkeyDialog, ui->lineEditHotkeyHotkeyDialog},
        Row{ui->checkBoxHotkeyPauseResumeRecording, ui->lineEditHotkeyPauseResumeRecording},
    }};

    // Every change of a row, to its box or to its keys, is written through at once.
    for (int id = 0; id < int(rows_.size()); ++id) {
        connect(rows_[std::size_t(id)].checkBox, &QCheckBox::toggled, this,
                [this, id] { writeThrough(id); });
        connect(rows_[std::size_t(id)].lineEdit, &QLineEdit::textChanged, this,
                [this, id] { writeThrough(id); });
    }
    buildGlobalSection();
    connect(ui->pushButtonOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(manager_, &HotkeyManager::requestUpdate, this, &HotkeyDialog::refill);

    refill();
}

HotkeyDialog::~HotkeyDialog() = default;

void HotkeyDialog::refill()
{
    std::vector<std::unique_ptr<QSignalBlocker>> blockers;
    for (const Row& row : rows_) {
        blockers.push_back(std::make_unique<QSignalBlocker>(row.checkBox));
        blockers.push_back(std::make_unique<QSignalBlocker>(row.lineEdit));
    }
    blockers.push_back(std::make_unique<QSignalBlocker>(ui->pushButtonOK));

    const QList<HotkeyRecord> records = manager_->hotkeys();
    for (const HotkeyRecord& record : records) {
        if (record.hotkeyId < 0 || record.hotkeyId >= int(rows_.size()))
            continue;
        const Row& row = rows_[std::size_t(record.hotkeyId)];
        row.checkBox->setChecked(record.enabled);
        row.lineEdit->setText(record.hotkey);
        row.lineEdit->setEnabled(record.enabled);
    }
    refillGlobal();
}

void HotkeyDialog::writeThrough(int hotkeyId)
{
    const Row& row = rows_[std::size_t(hotkeyId)];
    HotkeyRecord record;
    record.hotkeyId = hotkeyId;
    record.enabled = row.checkBox->isChecked();
    record.hotkey = row.lineEdit->text();
    const int other = manager_->conflictingHotkey(record);
    if (other < 0) {
        manager_->setHotkey(record);
        return;
    }
    refill();
    // Not exec(): the dialog stays responsive and nothing waits on the answer.
    auto* box = new QMessageBox(
        QMessageBox::Warning, tr("Shortcut in use"),
        tr("%1 is already the shortcut of \"%2\".")
            .arg(record.hotkey, rows_[std::size_t(other)].checkBox->text().trimmed()),
        QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void HotkeyDialog::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
    QDialog::changeEvent(event);
}

void HotkeyDialog::buildGlobalSection()
{
    auto* box = new QGroupBox(tr("Global shortcuts"), this);
    box->setObjectName(QStringLiteral("groupBoxGlobalShortcuts"));
    auto* grid = new QGridLayout(box);
    const QString names[] = {tr("Start/Stop Recording"), tr("Pause/Resume")};
    // Screen readers tell them from the window's own shortcuts of the same action.
    const QString spoken[] = {tr("Shortcut for Start/Stop Recording"),
                              tr("Shortcut for Pause/Resume Recording")};
    for (std::size_t i = 0; i < globalRows_.size(); ++i) {
        Row& row = globalRows_[i];
        row.checkBox = new QCheckBox(names[i], box);
        row.lineEdit = new HotkeyLineEdit(box);
        row.lineEdit->setObjectName(QStringLiteral("lineEditGlobal%1").arg(i));
        row.lineEdit->setAccessibleName(
            QStringLiteral("%1 (%2)").arg(spoken[i], tr("Global shortcuts")));
        globalStatus_[i] = new QLabel(box);
        globalStatus_[i]->setObjectName(QStringLiteral("labelGlobalStatus%1").arg(i));
        globalStatus_[i]->setWordWrap(true);
        globalStatus_[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(row.checkBox, int(i) * 2, 0);
        grid->addWidget(row.lineEdit, int(i) * 2, 1);
        grid->addWidget(globalStatus_[i], int(i) * 2 + 1, 0, 1, 2);
        connect(row.checkBox, &QCheckBox::toggled, this, [this, i] { writeThroughGlobal(i); });
        connect(row.lineEdit, &QLineEdit::textChanged, this, [this, i] { writeThroughGlobal(i); });
    }
    ui->verticalLayout->insertWidget(1, box);
    if (GlobalShortcuts* shortcuts = GlobalShortcuts::current())
        connect(shortcuts, &GlobalShortcuts::statusChanged, this, &HotkeyDialog::showGlobalStatus);
}

void HotkeyDialog::refillGlobal()
{
    const QList<GlobalHotkey> hotkeys = manager_->globalHotkeys();
    for (std::size_t i = 0; i < globalRows_.size() && i < std::size_t(hotkeys.size()); ++i) {
        const Row& row = globalRows_[i];
        const QSignalBlocker blockBox(row.checkBox);
        const QSignalBlocker blockEdit(row.lineEdit);
        row.checkBox->setChecked(hotkeys[qsizetype(i)].enabled);
        row.lineEdit->setText(hotkeys[qsizetype(i)].hotkey);
        row.lineEdit->setEnabled(hotkeys[qsizetype(i)].enabled);
    }
    showGlobalStatus();
}

void HotkeyDialog::writeThroughGlobal(std::size_t index)
{
    const QList<GlobalHotkey> hotkeys = manager_->globalHotkeys();
    if (index >= std::size_t(hotkeys.size()))
        return;
    GlobalHotkey hotkey = hotkeys[qsizetype(index)];
    hotkey.enabled = globalRows_[index].checkBox->isChecked();
    hotkey.hotkey = globalRows_[index].lineEdit->text();
    const QString refusal = GlobalHotkeys::refusal(hotkey.hotkey);
    if (refusal.isEmpty()) {
        manager_->setGlobalHotkey(hotkey);
        return;
    }
    refillGlobal();
    auto* box = new QMessageBox(QMessageBox::Warning, tr("Global shortcuts"), refusal,
                                QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void HotkeyDialog::showGlobalStatus()
{
    const GlobalShortcuts* shortcuts = GlobalShortcuts::current();
    const QList<GlobalHotkey> hotkeys = manager_->globalHotkeys();
    const QString commands[] = {QStringLiteral("torvane --toggle"),
                                QStringLiteral("torvane --pause")};
    for (std::size_t i = 0; i < globalStatus_.size() && i < std::size_t(hotkeys.size()); ++i) {
        QString text;
        const GlobalHotkey& hotkey = hotkeys[qsizetype(i)];
        const auto status =
            shortcuts ? shortcuts->status(hotkey.action) : GlobalShortcuts::Status::Active;
        if (!hotkey.enabled || status == GlobalShortcuts::Status::Active)
            text.clear();
        else if (status == GlobalShortcuts::Status::TakenByAnotherProgram)
            text = tr("Another program already uses %1. Choose another combination.")
                       .arg(hotkey.hotkey);
        else if (status == GlobalShortcuts::Status::Pending)
            text = tr("Waiting for the desktop to confirm the shortcut.");
        else if (PortalScreenCast::isWaylandSession())
            text = tr("This desktop does not offer global shortcuts. In the desktop's keyboard "
                      "settings, bind a key to the command: %1")
                       .arg(commands[i]);
        else
            text = tr("This key cannot be a global shortcut here.");
        globalStatus_[i]->setText(text);
        globalStatus_[i]->setVisible(!text.isEmpty());
    }
}
