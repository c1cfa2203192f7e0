#include "NewScheduleDialog.h"

#include "macro/EventBus.h"
#include "macro/MacroExecutor.h"
#include "macro/MacroStore.h"
#include "macro/NewMacroDialog.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

// The dialog's macro tab: a schedule that runs a stored macro instead of recording.

namespace {

std::optional<MacroItem> storedMacro(std::uint64_t id)
{
    for (const MacroItem& macro : MacroStore::instance().macros())
        if (macro.id == id)
            return macro;
    return std::nullopt;
}

} // namespace

QWidget* NewScheduleDialog::buildMacroTab()
{
    auto* tab = new QWidget;
    tab->setObjectName("tabMacroExecution");

    auto* macro = new QHBoxLayout;
    macro->addWidget(comboBoxMacroList_, 1);
    macro->addWidget(labelMacroDuration_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(pushButtonMacroSettings_);
    buttons->addWidget(pushButtonMacroExecute_);
    auto* form = new QFormLayout(tab);
    form->addRow(tr("Select Macro"), macro);
    form->addRow(QString(), buttons);
    return tab;
}

void NewScheduleDialog::fillMacroList(std::uint64_t selectedId)
{
    comboBoxMacroList_->clear();
    for (const MacroItem& macro : MacroStore::instance().macros())
        comboBoxMacroList_->addItem(QStringLiteral("%1 - %2").arg(macro.name, macro.description),
                                    QVariant::fromValue<qulonglong>(macro.id));
    comboBoxMacroList_->addItem(tr("Add new macro ..."), QVariant::fromValue<qulonglong>(0));
    // A stored schedule whose macro is gone shows no choice rather than another macro.
    comboBoxMacroList_->setCurrentIndex(
        selectedId ? comboBoxMacroList_->findData(QVariant::fromValue<qulonglong>(selectedId)) : 0);
    showMacroDuration();
}

std::uint64_t NewScheduleDialog::chosenMacroId() const
{
    const int index = comboBoxMacroList_->currentIndex();
    if (index < 0 || index > comboBoxMacroList_->count() - 2)
        return 0;
    return comboBoxMacroList_->currentData().toULongLong();
}

void NewScheduleDialog::showMacroDuration()
{
    const std::optional<MacroItem> macro = chosenMacro();
    labelMacroDuration_->setText(macro ? macro->durationText() : QStringLiteral("00:00:00"));
}

void NewScheduleDialog::handleComboBoxMacroListActivated(int index)
{
    if (index >= 0 && index == comboBoxMacroList_->count() - 1) {
        NewMacroDialog dialog(this);
        if (!macroDialogRunner_(&dialog)) {
            comboBoxMacroList_->setCurrentIndex(-1);
            showMacroDuration();
            return;
        }
        MacroItem macro = dialog.item();
        macro.id = MacroStore::instance().nextMacroId();
        MacroStore::instance().addMacro(macro);
        fillMacroList(macro.id);
        return;
    }
    showMacroDuration();
}

void NewScheduleDialog::handlePushButtonMacroSettingsClicked()
{
    const std::uint64_t id = chosenMacroId();
    const std::optional<MacroItem> macro = storedMacro(id);
    if (!macro)
        return;
    NewMacroDialog dialog(this);
    dialog.setItem(*macro);
    if (!macroDialogRunner_(&dialog))
        return;
    MacroStore::instance().updateMacro(dialog.item());
    fillMacroList(id);
}

void NewScheduleDialog::handlePushButtonMacroExecutionClicked()
{
    if (MacroExecutor::instance()->isExecuting()) {
        emit EventBus::instance()->requestStopMacroExecutionToMainWindow();
        return;
    }
    if (const std::optional<MacroItem> macro = chosenMacro())
        emit EventBus::instance()->requestStartMacroExecutionToMainWindow(*macro);
}

void NewScheduleDialog::handleMacroExecutionFinished()
{
    pushButtonMacroExecute_->setText(tr("Execute"));
}

std::optional<MacroItem> NewScheduleDialog::chosenMacro() const
{
    return storedMacro(chosenMacroId());
}
