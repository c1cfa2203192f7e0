// The main window's side of macros: starting and stopping them through its checks, and serving
// the executor's requests with the same start, pause and stop procedures as its own buttons.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "macro/EventBus.h"
#include "macro/MacroExecutor.h"
#include "macro/MacroListDialog.h"
#include "ui/AreaDisplay.h"
#include "ui/RecordingSessionControl.h"
#include "widgets/SourceLists.h"

#include <QDebug>

void MainWindow::connectMacroRequests()
{
    EventBus* bus = EventBus::instance();
    connect(bus, &EventBus::requestStartMacroExecutionToMainWindow, this,
            &MainWindow::onRequestStartMacroExecution);
    connect(bus, &EventBus::requestStopMacroExecutionToMainWindow, this,
            &MainWindow::onRequestStopMacroExecution);
    MacroExecutor* executor = MacroExecutor::instance();
    connect(executor, &MacroExecutor::requestStartRecording, this,
            &MainWindow::onRequestMacroStartRecording);
    connect(executor, &MacroExecutor::requestStopRecording, this,
            &MainWindow::onRequestMacroStopRecording);
    connect(executor, &MacroExecutor::requestPauseRecording, this,
            &MainWindow::onRequestPauseRecording);
    connect(executor, &MacroExecutor::requestResumeRecording, this,
            &MainWindow::onRequestResumeRecording);
    connect(executor, &MacroExecutor::requestSelectSource, this,
            &MainWindow::onRequestMacroSelectSource);
    connect(executor, &MacroExecutor::requestExecutionStarted, this,
            &MainWindow::onRequestMacroExecutionStarted);
    connect(executor, &MacroExecutor::requestExecutionStopped, this,
            &MainWindow::onRequestMacroExecutionStopped);
    connect(executor, &MacroExecutor::requestExecutionFinished, this,
            &MainWindow::onRequestMacroExecutionFinished);
}

void MainWindow::openMacroDialog()
{
    MacroListDialog dialog(this);
    dialog.exec();
}

bool MainWindow::onRequestStartMacroExecution(const MacroItem& item)
{
    if (owner_ != RecordingOwner::None) {
        qWarning().noquote() << "Macro not started, a recording is in progress:" << item.name;
        showBox(QMessageBox::Warning, tr("Warning"),
                tr("A recording is in progress. Stop it before running a macro."));
        return false;
    }
    // The run begins with the executor's report that it started, before its first step.
    QString refusal;
    if (!MacroExecutor::instance()->startExecution(item, &refusal)) {
        currentSchedule = ScheduleItem(); // a schedule's macro that never ran
        if (!refusal.isEmpty())
            showBox(QMessageBox::Warning, tr("Warning"), refusal);
        return false;
    }
    return true;
}

void MainWindow::onRequestStopMacroExecution()
{
    if (owner_ == RecordingOwner::Macro)
        endMacroRun();
}

void MainWindow::onRequestMacroExecutionStarted()
{
    beginRun(RecordingOwner::Macro);
}

void MainWindow::onRequestMacroExecutionStopped()
{
    if (owner_ != RecordingOwner::Macro)
        return;
    // A recording the macro left running ends with it.
    stopRecordingProcedure(false);
    endRun();
}

void MainWindow::onRequestMacroExecutionFinished()
{
    // A finish that follows a stop has nothing left to end.
    if (owner_ != RecordingOwner::Macro)
        return;
    onRequestMacroExecutionStopped();
    showBox(QMessageBox::Information, tr("Finished"), tr("Macro Recording Finished"));
}

void MainWindow::endMacroRun()
{
    MacroExecutor::instance()->stopExecution();
    onRequestMacroExecutionStopped(); // when the executor had already finished
}

void MainWindow::onRequestMacroStartRecording()
{
    if (owner_ != RecordingOwner::Macro || phase_ != RecordingPhase::Idle)
        return;
    sessionControl->setStartTrigger(StartTrigger::Macro);
    startRecordingProcedure();
}

void MainWindow::onRequestMacroStopRecording()
{
    // The macro goes on: the clock starts again from zero at its next start.
    if (owner_ == RecordingOwner::Macro)
        stopRecordingProcedure(false);
}

void MainWindow::onRequestMacroSelectSource(const MacroAction& action)
{
    const QVariantMap& p = action.parameters;
    if (p.value("recordScreen").toBool()) {
        const int mode = p.value("areaCaptureMode").toInt();
        if (mode == 1) {
            WindowIdentity identity;
            identity.pid = p.value("selectedWindow_pid").toUInt();
            identity.className = p.value("selectedWindow_className").toString();
            identity.exeName = p.value("selectedWindow_exeName").toString();
            WindowSystem* ws = windowSystem();
            const NativeWindow found = ws ? ws->findWindowByIdentity(identity) : 0;
            if (!found) {
                qWarning().noquote() << "Window not found for macro execution:" << action.name;
                qWarning().noquote()
                    << "Looking for - PID:" << identity.pid << "Exe:" << identity.exeName
                    << "Class:" << identity.className;
                emit EventBus::instance()->requestStopMacroExecutionToMainWindow();
                return;
            }
            ui->comboBoxCaptureType->setCurrentIndex(1);
            captureKind = 1;
            ui->comboBoxScreenWindows->clear();
            const QString title = ws->windowTitle(found);
            ui->comboBoxScreenWindows->addItem(title.isEmpty() ? identity.exeName : title);
            ui->comboBoxScreenWindows->setCurrentIndex(0);
            selectedWindow = found;
            areaMode = false;
            if (areaDisplay)
                areaDisplay->close();
            ui->toolButtonMarkRecordArea->setEnabled(false);
        } else {
            // An area is recorded from a screen: the screen list, whatever was chosen before.
            ui->comboBoxCaptureType->setCurrentIndex(0);
            captureKind = 0;
            if (areaDisplay)
                areaDisplay->close();
            areaDisplay = nullptr;
            if (mode == 2) {
                showAreaDisplay(QRect(p.value("left").toInt(), p.value("top").toInt(),
                                      p.value("width").toInt(), p.value("height").toInt()));
            } else {
                areaMode = false;
                const int index = p.value("screenIndex").toInt();
                if (index >= 0 && index < ui->comboBoxScreenWindows->count())
                    ui->comboBoxScreenWindows->setCurrentIndex(index);
            }
        }
    }
    if (p.value("recordAudioInput").toBool()) {
        audioCaptureOn = true;
        sourcelists::selectByDataOrText(ui->comboBoxAudioDevice,
                                        p.value("AudioInputDeviceId").toString());
    } else {
        audioCaptureOn = false;
        selectAudioByData(QStringLiteral("No Audio"));
    }
}
