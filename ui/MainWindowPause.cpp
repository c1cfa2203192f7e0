// The main window's pause and resume, and how the end of a recording nobody watched the window
// for is announced.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "platform/dbus/DesktopNotifications.h"
#include "recording/screen_capture_win.h"
#include "ui/RecordingSessionControl.h"

#include <QAction>
#include <QFileInfo>
#include <QMenu>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QToolButton>

namespace {

const QString kTrayIcon = QStringLiteral(":/resources/QZT-32.png");

} // namespace

void MainWindow::buildPauseControls()
{
    pauseButton = new QToolButton(this);
    pauseButton->setObjectName(QStringLiteral("toolButtonPause"));
    pauseButton->setIconSize(QSize(32, 32));
    pauseButton->setMinimumSize(QSize(52, 52));
    ui->layoutRecord->insertWidget(ui->layoutRecord->indexOf(ui->toolButtonRecord) + 1,
                                   pauseButton);
    connect(pauseButton, &QToolButton::clicked, this, &MainWindow::togglePause);

    trayPauseToggle = new QAction(this);
    trayMenu->insertAction(trayShowVideos, trayPauseToggle);
    connect(trayPauseToggle, &QAction::triggered, this, &MainWindow::togglePause);

    connect(session, &screen_capture_win::fileFinished, this, &MainWindow::announceFinishedFile);
    notifications_ = std::make_unique<DBusDesktopNotifications>(QStringLiteral("Torvane"),
                                                                QStringLiteral("torvane"));
    applyPauseLook();
}

void MainWindow::setDesktopNotifications(std::unique_ptr<DesktopNotifications> notifications)
{
    notifications_ = std::move(notifications);
}

void MainWindow::pauseRecording()
{
    // A start under way has nothing to pause yet; macros pause through their own request.
    if (phase_ != RecordingPhase::Recording || owner_ == RecordingOwner::Tab)
        return;
    setPhase(RecordingPhase::Paused);
    sessionControl->pause();
}

void MainWindow::resumeRecording()
{
    onRequestResumeRecording();
}

void MainWindow::togglePause()
{
    if (phase_ == RecordingPhase::Paused)
        resumeRecording();
    else
        pauseRecording();
}

void MainWindow::onPhaseChanged()
{
    // A start consumes the mark of the start from outside; a stop (the press meant to stop)
    // drops it.
    if (phase_ == RecordingPhase::Starting) {
        const bool unwatched = startedFromOutside_ || owner_ == RecordingOwner::Schedule ||
                               owner_ == RecordingOwner::Macro;
        sessionControl->setEndBoxShown(!unwatched);
    }
    if (phase_ == RecordingPhase::Starting || phase_ == RecordingPhase::Stopping)
        startedFromOutside_ = false;
    applyPauseLook();
}

void MainWindow::applyPauseLook()
{
    if (!pauseButton)
        return;
    const bool paused = phase_ == RecordingPhase::Paused;
    const bool available =
        (phase_ == RecordingPhase::Recording || paused) && owner_ != RecordingOwner::Tab;
    const QString action = paused ? tr("Resume recording") : tr("Pause recording");
    const QIcon icon = style()->standardIcon(paused ? QStyle::SP_MediaPlay : QStyle::SP_MediaPause);
    pauseButton->setEnabled(available);
    pauseButton->setIcon(icon);
    pauseButton->setToolTip(action);
    pauseButton->setAccessibleName(action);
    trayPauseToggle->setEnabled(available);
    trayPauseToggle->setIcon(icon);
    trayPauseToggle->setText(paused ? tr("Resume Recording") : tr("Pause Recording"));
    bgModeWindow->setPauseState(available, paused);
    // The tray and the preview say so while paused: no pictures come meanwhile.
    trayIcon->setIcon(paused ? icon : QIcon(kTrayIcon));
    trayIcon->setToolTip(paused ? tr("Paused %1").arg(elapsed.toString(QStringLiteral("hh:mm:ss")))
                                : windowTitle());
    if (paused)
        ui->labelFrame->setText(tr("Paused"));
    else if (ui->labelFrame->text() == tr("Paused"))
        ui->labelFrame->clear();
}

void MainWindow::announceFinishedFile(const QString& path)
{
    const QString finished = tr("Video write finished.");
    if (notifications_ &&
        notifications_->notify(finished, QFileInfo(path).fileName(), tr("Show Videos"),
                               [this] { openRecordingsFolder(); }))
        return;
    // Without a notification service the box is the only way to tell.
    showBox(QMessageBox::Information, tr("Info"), finished + QLatin1Char('\n') + path);
}
