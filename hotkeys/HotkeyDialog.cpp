#include "HotkeyDialog.h"

#include "ui_HotkeyDialog.h"

#include "hotkeys/HotkeyLineEdit.h"
#include "hotkeys/HotkeyManager.h"

#include <QCheckBox>
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
    }};

    connect(ui->checkBoxHotkeyStartStopRecording, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyStartStopRecordingToggled);
    connect(ui->lineEditHotkeyStartStopRecording, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyStartStopRecordingTextChanged);
    connect(ui->checkBoxHotkeyAreaSelect, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyAreaSelectToggled);
    connect(ui->lineEditHotkeyAreaSelect, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyAreaSelectTextChanged);
    connect(ui->checkBoxHotkeyOpenRecordFolder, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyOpenRecordFolderToggled);
    connect(ui->lineEditHotkeyOpenRecordFolder, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyOpenRecordFolderTextChanged);
    connect(ui->checkBoxHotkeySettingsDialog, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeySettingsDialogToggled);
    connect(ui->lineEditHotkeySettingsDialog, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeySettingsDialogTextChanged);
    connect(ui->checkBoxHotkeyInformation, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyInformationToggled);
    connect(ui->lineEditHotkeyInformation, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyInformationTextChanged);
    connect(ui->checkBoxHotkeyCheckUpdate, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyCheckUpdateToggled);
    connect(ui->lineEditHotkeyCheckUpdate, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyCheckUpdateTextChanged);
    connect(ui->checkBoxHotkeyHelp, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyHelpToggled);
    connect(ui->lineEditHotkeyHelp, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyHelpTextChanged);
    connect(ui->checkBoxHotkeyBackgroundMode, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyBackgroundModeToggled);
    connect(ui->lineEditHotkeyBackgroundMode, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyBackgroundModeTextChanged);
    connect(ui->checkBoxHotkeyScheduleDialog, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyScheduleDialogToggled);
    connect(ui->lineEditHotkeyScheduleDialog, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyScheduleDialogTextChanged);
    connect(ui->checkBoxHotkeyMacroDialog, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyMacroDialogToggled);
    connect(ui->lineEditHotkeyMacroDialog, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyMacroDialogTextChanged);
    connect(ui->checkBoxHotkeyHotkeyDialog, &QCheckBox::toggled, this,
            &HotkeyDialog::handleCheckBoxHotkeyHotkeyDialogToggled);
    connect(ui->lineEditHotkeyHotkeyDialog, &QLineEdit::textChanged, this,
            &HotkeyDialog::handleLineEditHotkeyHotkeyDialogTextChanged);
    connect(ui->pushButtonOK, &QPushButton::clicked, this, &HotkeyDialog::acceptDialog);
    connect(manager_, &HotkeyManager::requestUpdate, this, &HotkeyDialog::refill);

    refill();
}

HotkeyDialog::~HotkeyDialog() = default;

void HotkeyDialog::handleCheckBoxHotkeyStartStopRecordingToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::StartStopRecording);
}

void HotkeyDialog::handleCheckBoxHotkeyOpenRecordFolderToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::OpenRecordFolder);
}

void HotkeyDialog::handleCheckBoxHotkeyBackgroundModeToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::BackgroundMode);
}

void HotkeyDialog::handleCheckBoxHotkeyCheckUpdateToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::CheckUpdate);
}

void HotkeyDialog::handleCheckBoxHotkeyAreaSelectToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::AreaSelect);
}

void HotkeyDialog::handleCheckBoxHotkeySettingsDialogToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::SettingsDialog);
}

void HotkeyDialog::handleCheckBoxHotkeyInformationToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::Information);
}

void HotkeyDialog::handleCheckBoxHotkeyHelpToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::Help);
}

void HotkeyDialog::handleLineEditHotkeyStartStopRecordingTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::StartStopRecording);
}

void HotkeyDialog::handleLineEditHotkeyOpenRecordFolderTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::OpenRecordFolder);
}

void HotkeyDialog::handleLineEditHotkeyBackgroundModeTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::BackgroundMode);
}

void HotkeyDialog::handleLineEditHotkeyCheckUpdateTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::CheckUpdate);
}

void HotkeyDialog::handleLineEditHotkeyAreaSelectTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::AreaSelect);
}

void HotkeyDialog::handleLineEditHotkeySettingsDialogTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::SettingsDialog);
}

void HotkeyDialog::handleLineEditHotkeyInformationTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::Information);
}

void HotkeyDialog::handleLineEditHotkeyHelpTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::Help);
}

void HotkeyDialog::handleCheckBoxHotkeyScheduleDialogToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::ScheduleDialog);
}

void HotkeyDialog::handleCheckBoxHotkeyHotkeyDialogToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::HotkeyDialog);
}

void HotkeyDialog::handleLineEditHotkeyScheduleDialogTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::ScheduleDialog);
}

void HotkeyDialog::handleLineEditHotkeyHotkeyDialogTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::HotkeyDialog);
}

void HotkeyDialog::handleCheckBoxHotkeyMacroDialogToggled(bool /*checked*/)
{
    writeThrough(HotkeyManager::MacroDialog);
}

void HotkeyDialog::handleLineEditHotkeyMacroDialogTextChanged(const QString& /*text*/)
{
    writeThrough(HotkeyManager::MacroDialog);
}

void HotkeyDialog::acceptDialog()
{
    accept();
}

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
