// The main window's start and stop procedures, the elapsed-time clock, preview and CPU figure.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "recording/DiskSpaceWatchdog.h"
#include "recording/screen_capture_win.h"
#include "macro/MacroExecutor.h"
#include "media/PerformanceCounter.h"
#include "platform/posix/ProcessTimes.h"
#include "ui/AreaDisplay.h"
#include "ui/BG_Mode_Window.h"
#include "recording/OutputFileName.h"
#include "ui/RecordingSessionControl.h"
#include "ui/WindowPreview.h"
#include "tabcapture/TabCaptureServerWin.h"

#include <QAction>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QTimer>

namespace {

const QString kClockFormat = QStringLiteral("hh:mm:ss");
const QString kRedIcon = QStringLiteral(":/resources/red.png");
const QString kGreenIcon = QStringLiteral(":/resources/green.png");

bool previewEnabled()
{
    return SettingsStore::instance()
        .value(settings::kUiGroup, settings::kEnablePreview, true)
        .toBool();
}

QScreen* screenOrPrimary(const QPoint& point)
{
    QScreen* screen = QGuiApplication::screenAt(point);
    return screen ? screen : QGuiApplication::primaryScreen();
}

} // namespace

QString MainWindow::recordingFolder()
{
    return RecordingSettings::folderFromStore(SettingsStore::instance());
}

// ---- Recording state ----

bool MainWindow::isRecording() const
{
    return phase_ == RecordingPhase::Starting || phase_ == RecordingPhase::Recording ||
           phase_ == RecordingPhase::Paused;
}

void MainWindow::beginRun(RecordingOwner owner)
{
    owner_ = owner;
    if (owner == RecordingOwner::Schedule || owner == RecordingOwner::Macro)
        userChoices_ = sourceChoices();
    // The browser extension hears "busy" for as long as anything holds the controls.
    tabServer->setScreenRecordingActive(true);
    applyRecordingLook();
    setRecordingLockEnabled(false);
    ui->toolButtonMarkRecordArea->setEnabled(false);
}

void MainWindow::setPhase(RecordingPhase phase)
{
    phase_ = phase;
    onPhaseChanged();
    if (bgModeWindow->isVisible())
        bgModeWindow->setRecordingState(isRecording());
    if (isRecording())
        return;
    // Between a macro's recordings the clock waits at zero for its next start.
    tickTimer->stop();
    elapsed = QTime(0, 0, 0);
    showOnClock(elapsed.toString(kClockFormat));
}

void MainWindow::endRun()
{
    if (owner_ == RecordingOwner::None)
        return;
    setPhase(RecordingPhase::Idle);
    // A one-time schedule has had its run, however it ended.
    if (currentSchedule.id != 0)
        disableFinishedOneTimeSchedule();
    currentSchedule = ScheduleItem();
    // Put back while the run still holds the controls, so that no window picker opens.
    if (userChoices_) {
        restoreSourceChoices(*userChoices_);
        userChoices_.reset();
    }
    owner_ = RecordingOwner::None;
    tabServer->setScreenRecordingActive(false);
    applyIdleLook();
    setRecordingLockEnabled(true);
    // The area button stays off in window mode, where no area can be chosen.
    ui->toolButtonMarkRecordArea->setEnabled(captureKind != 1);
}

void MainWindow::stopAndEndRun(bool quiet)
{
    stopRecordingProcedure(quiet);
    if (owner_ != RecordingOwner::Macro)
        endRun();
}

// ---- Start/stop dispatch ----

void MainWindow::startStopRecording()
{
    // A second press while a start or a stop is under way would cut a file before its first
    // picture or start one nobody asked for. The desktop's share dialog may be cancelled.
    if ((phase_ == RecordingPhase::Starting && !askingDesktop_) ||
        phase_ == RecordingPhase::Stopping)
        return;
    switch (owner_) {
    case RecordingOwner::None:
        break;
    case RecordingOwner::Macro:
        endMacroRun();
        return;
    case RecordingOwner::User:
    case RecordingOwner::Schedule:
    case RecordingOwner::Tab:
        stopAndEndRun(false);
        return;
    }
    sessionControl->setStartTrigger(StartTrigger::User);
    if (SettingsStore::instance()
            .value(settings::kUiGroup, settings::kMinimizeWhenRecording, false)
            .toBool())
        minimizeToTray(false);
    startRecordingProcedure();
}

void MainWindow::onTrayRecordToggle()
{
    startStopRecording();
}

// ---- Start procedure ----

bool MainWindow::startRecordingProcedure()
{
    ui->labelFrame->clear();
    StartPlan plan;
    if (!checkStart(&plan))
        return false;

    if (owner_ == RecordingOwner::None)
        beginRun(RecordingOwner::User);
    // On Wayland the clock waits for the desktop's share dialog: the file starts after it.
    const bool desktopAsks =
        screen_capture_win::desktopPicksWindow() && owner_ != RecordingOwner::Macro;
    if (!tickTimer->isActive() && !desktopAsks)
        tickTimer->start();
    setPhase(RecordingPhase::Starting);
    configureAndStartSession(plan);
    return true;
}

// Every check runs before anything changes, so a refused start leaves the window as it was.
bool MainWindow::checkStart(StartPlan* plan)
{
    if (captureKind == 1 && selectedWindow != 0) {
        WindowSystem* ws = windowSystem();
        if (!ws || !ws->isWindow(selectedWindow)) {
            showBox(QMessageBox::Warning, tr("Recording failed!"),
                    tr("Source window is closed or invalid."));
            return false;
        }
    }

    const QString folder = recordingFolder();
    if (!QDir(folder).exists() && !QDir().mkpath(folder)) {
        ui->toolButtonRecord->setToolTip(tr("Start Recording."));
        showBox(QMessageBox::Warning, tr("Recording failed!"),
                tr("Cannot create output folder '") + folder +
                    tr("', please change folder path in the app settings."));
        return false;
    }
    if (const auto free_bytes = DiskSpaceWatchdog::tooLittleToStart(folder)) {
        qWarning().noquote() << "Recording not started, disk space low:" << *free_bytes
                             << "bytes free in" << folder;
        showBox(QMessageBox::Warning, DiskSpaceWatchdog::notEnoughToStartTitle(),
                DiskSpaceWatchdog::notEnoughToStartText(folder, *free_bytes));
        return false;
    }

    const int sourceIndex = ui->comboBoxScreenWindows->currentIndex();
    if (captureKind == 0 && sourceIndex < 0) {
        showBox(QMessageBox::Warning, tr("No screen selected!"),
                tr("Please select a screen to record."));
        return false;
    }
    if (captureKind == 1 && ui->comboBoxScreenWindows->currentText().isEmpty()) {
        showBox(QMessageBox::Warning, tr("No window selected!"),
                tr("Please select a window to record."));
        return false;
    }

    plan->screen = ui->comboBoxCaptureType->currentText() == tr("Screen Capture");
    // Area mode without a frame yet (the overlay is still open) records the whole screen.
    plan->area = areaMode && areaDisplay;
    if (!plan->screen)
        return true;
    if (plan->area) {
        plan->screenRect = areaDisplay->areaScreen()->geometry();
        return true;
    }
    if (sourceIndex < 0) {
        showBox(QMessageBox::Warning, tr("No screen selected!"),
                tr("Please select a screen to record."));
        return false;
    }
    const QVariant data = ui->comboBoxScreenWindows->currentData();
    if (data.metaType() != QMetaType::fromType<QRect>()) {
        showBox(QMessageBox::Warning, tr("Cannot get screen geometry!"),
                tr("Cannot get screen geometry information for selected screen."));
        return false;
    }
    plan->screenRect = data.toRect();
    return true;
}

QString MainWindow::nextOutputPath(const QString& folder) const
{
    SettingsStore& store = SettingsStore::instance();
    const bool userDefined =
        store.value(settings::kOutputGroup, settings::kUserDefinedFileName, false).toBool();
    const QString userName =
        store
            .value(settings::kOutputGroup, settings::kRecordingFileName, QStringLiteral("out_file"))
            .toString();
    const QString format =
        store.value(settings::kVideoGroup, settings::kVideoFormat, settings::kFormatMp4).toString();

    QString source;
    if (captureKind == 1) {
        source = ui->comboBoxScreenWindows->currentText();
    } else {
        const QList<QScreen*> screens = QGuiApplication::screens();
        const int index = ui->comboBoxScreenWindows->currentIndex();
        if (index >= 0 && index < screens.size())
            source = screens.at(index)->name();
    }
    return outputfilename::outputFilePath(folder, source, userDefined, userName, format,
                                          QDateTime::currentDateTime());
}

void MainWindow::configureAndStartSession(const StartPlan& plan)
{
    const RecordingSettings settings = RecordingSettings::fromStore(SettingsStore::instance());
    const QString path = nextOutputPath(settings.folder);
    qDebug().noquote() << "Saving..." << path;

    sessionControl->configure(settings, ui->comboBoxAudioDevice->currentData().toString(), path,
                              ui->labelFps);
    RecordingTarget target;
    target.areaMode = plan.area;
    if (plan.screen) {
        target.targetType = TargetScreen;
        target.targetRect = plan.screenRect;
    } else {
        target.targetType = TargetWindow;
        target.targetTitle = ui->comboBoxScreenWindows->currentText();
        target.targetWindow = selectedWindow;
    }
    sessionControl->setTarget(target);
    // A schedule ends at its own time, not at the window's limit.
    const bool limited = durationLimitEnabled && owner_ != RecordingOwner::Schedule;
    sessionControl->setDurationLimit(limited ? QTime(0, 0).msecsTo(durationLimit) * 1000LL : 0);
    // A window not shown yet (started to the tray) has not laid its label out: the default then.
    sessionControl->setPreviewBox(
        ui->labelFrame->isVisible() ? ui->labelFrame->contentsRect().size() : QSize());
    if (plan.area) {
        const QRect area = areaDisplay->captureArea();
        sessionControl->setCaptureArea(area.x(), area.y(), area.width(), area.height());
    }
    // A press meanwhile (another event loop runs while the desktop's share dialog is open, or
    // a box asks about the window) is left out, but may cancel the share dialog.
    askingDesktop_ = screen_capture_win::desktopPicksWindow();
    sessionControl->start();
    askingDesktop_ = false;
    // A target that vanished at the last moment starts nothing and only logs it; the window
    // must not go on counting a recording that does not exist.
    if (isRecording() && !sessionControl->isRunning()) {
        stopAndEndRun(true);
    } else if (isRecording() && owner_ != RecordingOwner::Macro &&
               screen_capture_win::desktopPicksWindow()) {
        // The desktop's share dialog has been answered; Stop while it was open cancels it.
        elapsed = QTime(0, 0, 0);
        tickTimer->start();
        showOnClock(elapsed.toString(kClockFormat));
    }
}

// ---- Stop procedure ----

void MainWindow::stopRecordingProcedure(bool quiet)
{
    if (owner_ == RecordingOwner::Tab) {
        // The browser tab is told to stop; its session finishes the file and reports the end.
        tabServer->stopRecordingFromApp();
        if (owner_ == RecordingOwner::Tab) // nobody left to report it
            endRun();
        return;
    }
    if (!isRecording())
        return;
    setPhase(RecordingPhase::Stopping);
    sessionControl->stop(quiet);
    if (areaMode)
        selectRecordingArea();
    setPhase(RecordingPhase::Idle);
}

void MainWindow::onSessionStopRequest()
{
    if (isRecording())
        stopAndEndRun(false);
}

void MainWindow::onRequestPauseRecording()
{
    if (phase_ != RecordingPhase::Starting && phase_ != RecordingPhase::Recording)
        return;
    setPhase(RecordingPhase::Paused);
    sessionControl->pause();
}

void MainWindow::onRequestResumeRecording()
{
    if (phase_ != RecordingPhase::Paused)
        return;
    setPhase(RecordingPhase::Recording);
    sessionControl->resume();
}

// ---- Elapsed time and duration limit ----

void MainWindow::onTickTimeout()
{
    // The recording's first second ends its start, as its first picture does.
    if (phase_ == RecordingPhase::Starting)
        setPhase(RecordingPhase::Recording);
    if (phase_ != RecordingPhase::Paused)
        elapsed = elapsed.addSecs(1);
    const QString text = elapsed.toString(kClockFormat);
    if (bgModeWindow->isVisible())
        bgModeWindow->setElapsedText(text);
    else
        showOnClock(text);
    // The session ends its file at the limit and asks for the stop; this second-late one stops
    // what cannot end itself (a tab recording, a still screen without sound).
    if (durationLimitEnabled && elapsed > durationLimit)
        startStopRecording();
}

// ---- Looks ----

void MainWindow::applyRecordingLook()
{
    trayRecordToggle->setText(tr("Stop Recording"));
    trayRecordToggle->setIcon(QIcon(kRedIcon));
    ui->labelRecord->setText(tr("STOP"));
    ui->toolButtonRecord->setIcon(QIcon(kRedIcon));
    ui->toolButtonRecord->setToolTip(tr("Stop Recording."));
}

void MainWindow::applyIdleLook()
{
    trayRecordToggle->setText(tr("Start Recording"));
    trayRecordToggle->setIcon(QIcon(kGreenIcon));
    ui->labelRecord->setText(tr("START"));
    ui->toolButtonRecord->setIcon(QIcon(kGreenIcon));
    ui->toolButtonRecord->setToolTip(tr("Start Recording."));
    showOnClock(QStringLiteral("00:00:00"));
}

void MainWindow::setRecordingLockEnabled(bool enabled)
{
    ui->comboBoxCaptureType->setEnabled(enabled);
    ui->comboBoxScreenWindows->setEnabled(enabled);
    ui->toolButtonRefresh->setEnabled(enabled);
    ui->comboBoxAudioDevice->setEnabled(enabled);
    ui->checkBoxRecordingDuration->setEnabled(enabled);
    // The time edit follows its check box when unlocked.
    ui->timeEditRecordingDuration->setEnabled(enabled && durationLimitEnabled);
}

void MainWindow::showOnClock(const QString& text)
{
    clockText_ = text;
    ui->lcdNumber->display(text);
}

// ---- Preview and CPU ----

void MainWindow::onPreviewFrame(const QImage& frame)
{
    if (!isRecording() || phase_ == RecordingPhase::Paused || frame.isNull())
        return;
    if (phase_ == RecordingPhase::Starting)
        setPhase(RecordingPhase::Recording);
    if (previewEnabled())
        showPicture(frame);
    else
        ui->labelFrame->clear();
}

void MainWindow::showPicture(const QImage& picture)
{
    if (picture.isNull()) {
        ui->labelFrame->clear();
        return;
    }
    const QSize box = ui->labelFrame->contentsRect().size();
    QSize fitted = picture.size().scaled(box, Qt::KeepAspectRatio);
    // A picture that fits is shown as it is unless the label is much larger: a recording's
    // preview comes at about the label's smallest size, and scaling it five times a second
    // would cost more than drawing it.
    if (picture.width() <= box.width() && picture.height() <= box.height() &&
        fitted.width() * 4 <= picture.width() * 5)
        fitted = picture.size();
    // Scaled as an image, so that only the scaled pixels are converted for the screen.
    ui->labelFrame->setPixmap(QPixmap::fromImage(
        fitted == picture.size()
            ? picture
            : picture.scaled(fitted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
}

void MainWindow::updatePreviewWhenNotRecording()
{
    ui->labelCPU->setText(QString::number(getCpuUsage(), 'f', 1) + QLatin1Char('%'));
    if (isRecording())
        return;
    if (!previewEnabled()) {
        ui->labelFrame->clear();
        return;
    }
    if (screen_capture_win::desktopPicksWindow()) {
        // Wayland shows no program the screen before the desktop's share dialog is answered,
        // and asking at idle would bring the dialog up unbidden.
        const QString hint = tr("The picture appears here when the recording starts.");
        if (ui->labelFrame->text() != hint)
            ui->labelFrame->setText(hint);
        return;
    }
    showPicture(idlePreviewPicture());
}

QImage MainWindow::idlePreviewPicture()
{
    WindowPreview* windowPreview = WindowPreview::of(this);
    if (captureKind != 1 || selectedWindow == 0)
        windowPreview->release();
    if (captureKind == 0) {
        // The window system shrinks the screen to the preview's size itself where it can: a
        // whole read of a large screen twice a second would be most of the idle window's work.
        const QSize box = ui->labelFrame->contentsRect().size();
        WindowSystem* ws = windowSystem();
        if (areaMode && areaDisplay) {
            const QRect area = areaDisplay->captureArea();
            if (area.width() < 1 || area.height() < 1)
                return {};
            QScreen* screen = areaDisplay->areaScreen();
            QImage picture;
            if (ws && screen->devicePixelRatio() == 1.0)
                picture = ws->screenImage(area.translated(screen->geometry().topLeft()), box);
            return !picture.isNull()
                       ? picture
                       : screen->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                             .toImage();
        }
        const QVariant data = ui->comboBoxScreenWindows->currentData();
        if (data.metaType() != QMetaType::fromType<QRect>())
            return {};
        const QRect rect = data.toRect();
        if (QImage picture = ws ? ws->screenImage(rect, box) : QImage(); !picture.isNull())
            return picture;
        QScreen* screen = screenOrPrimary(rect.topLeft());
        // Screen grabs take coordinates relative to the screen.
        return screen->grabWindow(0, 0, 0, rect.width(), rect.height()).toImage();
    }
    if (selectedWindow == 0)
        return {};
    QImage picture;
    if (WindowSystem* ws = windowSystem()) {
        picture = windowPreview->picture(*ws, selectedWindow);
        // Without Composite the window system still reads what the screen shows of it.
        if (picture.isNull())
            picture = ws->windowImage(selectedWindow);
    }
    if (picture.isNull() && QGuiApplication::primaryScreen())
        picture = QGuiApplication::primaryScreen()->grabWindow(selectedWindow).toImage();
    return picture;
}

double MainWindow::getCpuUsage()
{
    const std::optional<std::int64_t> processTime = platform::processCpuTime();
    if (!processTime)
        return cpuMeter.sampleFailed();
    return cpuMeter.sample(*processTime, media::performanceCounter(), media::performanceFrequency(),
                           QThread::idealThreadCount());
}
