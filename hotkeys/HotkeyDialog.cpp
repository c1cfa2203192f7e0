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
        Row{ui->checkBoxHotkeyPauseResumeRecording, ui->lineEditHotkeyPauseResumeRecording},
    }};

    // Every change of a row, to its box or to its keys, is written through at once.
    for (int id = 0; id < int(rows_.size()); ++id) {
        connect(rows_[std::size_t(id)].checkBox, &QCheckBox::toggled, this,
                [this, id] { writeThrough(id); });
        connect(rows_[std::size_t(id)].lineEdit, &QLineEdit::textChanged, this,
                [this, id] { writeThrough(id); });
    }
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
