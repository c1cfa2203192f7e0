// The main window's side of schedules: the runner's start and stop requests, a stored source
// applied to the source lists, and the status bar's next-recording countdown.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "macro/EventBus.h"
#include "macro/MacroStore.h"
#include "schedule/ScheduleListDialog.h"
#include "schedule/ScheduleRunner.h"
#include "schedule/ScheduleStore.h"
#include "ui/AreaDisplay.h"
#include "ui/RecordingSessionControl.h"
#include "widgets/SourceLists.h"

#include <QDebug>
#include <QLabel>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

constexpr int kTrayMessageDelay_ms = 200;
constexpr qint64 kFiveDays_s = 432000;
constexpr qint64 kTwoDays_s = 172800;
constexpr qint64 kOneDay_s = 86400;

} // namespace

QString MainWindow::nextRecordingText(const QDateTime& next, const QDateTime& now)
{
    if (!next.isValid() || next <= now)
        return {};
    const qint64 s = now.secsTo(next);
    if (s >= kFiveDays_s)
        return tr("Next Recording starts %1")
            .arg(next.date().toString(QStringLiteral("yyyy-MM-dd")));
    if (s >= kTwoDays_s)
        return tr("Next Recording starts %1 days later").arg(s / kOneDay_s);
    if (s >= kOneDay_s)
        return tr("Next Recording starts %1 hours later").arg(s / 3600);
    return tr("Next Recording starts %1 later")
        .arg(QTime(0, 0).addSecs(int(s)).toString(QStringLiteral("hh:mm:ss")));
}

void MainWindow::updateNextRecordingLabel()
{
    ScheduleRunner* runner = ScheduleRunner::instance();
    nextRecordingLabel->setText(
        nextRecordingText(runner->nextScheduledStart(), runner->currentDateTime()));
}

void MainWindow::connectScheduleRequests()
{
    ScheduleRunner* runner = ScheduleRunner::instance();
    connect(runner, &ScheduleRunner::requestStart, this, &MainWindow::onScheduleRequestStart);
    connect(runner, &ScheduleRunner::requestStop, this, &MainWindow::onScheduleRequestStop);
    runner->startRunner();
    // A period already running at launch (the system started us for it) starts now, not in a
    // second.
    QTimer::singleShot(0, runner, &ScheduleRunner::onTimeout);
}

void MainWindow::openScheduleDialog()
{
    ScheduleListDialog dialog(this);
    dialog.exec();
    updateNextRecordingLabel();
}

void MainWindow::onScheduleRequestStart(ScheduleItem& item)
{
    qDebug().noquote() << "Schedule requested start for: " + item.name;
    if (owner_ == RecordingOwner::None) {
        serveSchedule(item);
        return;
    }
    qDebug() << "ALready another recording is in progress";
    if (item.repeatType == ScheduleRepeatType::OneTime) {
        item.enabled = false;
        ScheduleStore::instance().updateSchedule(item);
    }
}

void MainWindow::serveSchedule(const ScheduleItem& item)
{
    // The macro's run, once it starts, is this schedule's.
    currentSchedule = item;
    if (item.macroExecution) {
        for (const MacroItem& macro : MacroStore::instance().macros())
            if (macro.id == item.macroItemId) {
                emit EventBus::instance()->requestStartMacroExecutionToMainWindow(macro);
                return;
            }
        qWarning().noquote() << "Macro not found for schedule:" << item.name << "macro id"
                             << item.macroItemId;
        currentSchedule = ScheduleItem();
        return;
    }
    beginRun(RecordingOwner::Schedule);
    // A start refused on the way (the window gone, or a box saying why) is no run of it.
    if (!applyScheduleSource(item)) {
        currentSchedule = ScheduleItem();
        endRun();
        return;
    }
    sessionControl->setStartTrigger(StartTrigger::Schedule);
    const QString name = item.name;
    QTimer::singleShot(kTrayMessageDelay_ms, this, [this, name] {
        if (trayIcon && trayIcon->isVisible())
            trayIcon->showMessage(tr("Scheduled Recording Started"),
                                  tr("Recording '%1' is now in progress.").arg(name),
                                  QSystemTrayIcon::Information);
    });
    if (!startRecordingProcedure()) {
        currentSchedule = ScheduleItem();
        endRun();
    }
}

bool MainWindow::applyScheduleSource(const ScheduleItem& item)
{
    if (item.screenEnabled) {
        if (item.screenType == ScreenSourceType::Window) {
            WindowIdentity identity;
            identity.pid = item.windowPid;
            identity.className = item.windowClassName;
            identity.exeName = item.windowExeName;
            WindowSystem* ws = windowSystem();
            const NativeWindow found = ws ? ws->findWindowByIdentity(identity) : 0;
            if (!found) {
                qWarning().noquote() << "Window not found for schedule:" << item.name;
                qWarning().noquote()
                    << "Looking for - PID:" << identity.pid << "Exe:" << identity.exeName
                    << "Class:" << identity.className;
                return false;
            }
            ui->comboBoxCaptureType->setCurrentIndex(1);
            captureKind = 1;
            ui->comboBoxScreenWindows->clear();
            ui->comboBoxScreenWindows->addItem(item.windowExeName);
            ui->comboBoxScreenWindows->setCurrentIndex(0);
            selectedWindow = found;
        } else {
            ui->comboBoxCaptureType->setCurrentIndex(0);
            captureKind = 0;
            if (item.screenIndex >= 0 && item.screenIndex < ui->comboBoxScreenWindows->count())
                ui->comboBoxScreenWindows->setCurrentIndex(item.screenIndex);
            if (item.screenType == ScreenSourceType::CustomRegion)
                showAreaDisplay(item.region);
            else if (areaMode) // the whole screen, not the user's area
                selectRecordingArea();
        }
    }
    if (item.audioEnabled) {
        audioCaptureOn = true;
        sourcelists::selectByDataOrText(ui->comboBoxAudioDevice, item.audioDeviceId);
    } else {
        audioCaptureOn = false;
        selectAudioByData(QStringLiteral("No Audio"));
    }
    return true;
}

void MainWindow::onScheduleRequestStop(quint64 scheduleId)
{
    qDebug().noquote() << "Schedule requested stop for ID: " + QString::number(scheduleId);
    // A run the user ended already has nothing left to stop.
    if (currentSchedule.id == 0 || scheduleId != currentSchedule.id)
        return;
    if (owner_ == RecordingOwner::Macro) {
        // Its macro runs to its end, no longer on the schedule's account.
        disableFinishedOneTimeSchedule();
        currentSchedule = ScheduleItem();
        return;
    }
    stopAndEndRun(false);
}

MainWindow::SourceChoices MainWindow::sourceChoices() const
{
    SourceChoices choices;
    choices.captureType = ui->comboBoxCaptureType->currentIndex();
    choices.sourceIndex = ui->comboBoxScreenWindows->currentIndex();
    if (captureKind == 1)
        choices.windowTitle = ui->comboBoxScreenWindows->currentText();
    choices.window = selectedWindow;
    if (areaMode && areaDisplay)
        choices.area =
            areaDisplay->captureArea().translated(areaDisplay->areaScreen()->geometry().topLeft());
    choices.audio = ui->comboBoxAudioDevice->currentData().toString();
    choices.audioCaptureOn = audioCaptureOn;
    return choices;
}

void MainWindow::restoreSourceChoices(const SourceChoices& choices)
{
    if (areaMode) // the run's own area
        selectRecordingArea();
    {
        const QSignalBlocker quiet(ui->comboBoxCaptureType);
        ui->comboBoxCaptureType->setCurrentIndex(choices.captureType);
    }
    rebuildSourceList();
    QComboBox* sources = ui->comboBoxScreenWindows;
    if (captureKind == 1 && !choices.windowTitle.isEmpty()) {
        sources->clear();
        sources->addItem(choices.windowTitle);
    } else if (captureKind == 0 && choices.area) {
        showAreaDisplay(*choices.area);
    }
    if (choices.sourceIndex < sources->count())
        sources->setCurrentIndex(choices.sourceIndex);
    selectedWindow = choices.window;
    selectAudioByData(choices.audio);
    audioCaptureOn = choices.audioCaptureOn;
}

void MainWindow::disableFinishedOneTimeSchedule()
{
    if (currentSchedule.repeatType != ScheduleRepeatType::OneTime || currentSchedule.id == 0)
        return;
    currentSchedule.enabled = false;
    ScheduleStore::instance().updateSchedule(currentSchedule);
}
