// The main window's side of browser tab recording: the server on the configured port, and the
// recording look while the extension streams a tab.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "tabcapture/TabCaptureServerWin.h"

#include <QDebug>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

constexpr int kDefaultTabPort = 8765;

} // namespace

quint16 MainWindow::configuredTabPort()
{
    const int port =
        SettingsStore::instance()
            .value(settings::kTabCaptureGroup, settings::kWebSocketPort, kDefaultTabPort)
            .toInt();
    return quint16(std::clamp(port, 1, 65535));
}

void MainWindow::connectTabCapture()
{
    connect(tabServer, &TabCaptureServerWin::recordingStarted, this,
            &MainWindow::onTabRecordingStarted);
    connect(tabServer, &TabCaptureServerWin::recordingStopped, this,
            &MainWindow::onTabRecordingStopped);
    connect(tabServer, &TabCaptureServerWin::previewFrame, this, &MainWindow::onPreviewFrame);
    connect(tabServer, &TabCaptureServerWin::fpsSignal, ui->labelFps, &QLabel::setText);
    // A tab recording ends its file at the window's limit, as a screen recording does.
    tabServer->setDurationLimitSource(
        [this] { return durationLimitEnabled ? QTime(0, 0).msecsTo(durationLimit) * 1000LL : 0; });
    tabServer->setSettingsSource([] {
        SettingsStore& store = SettingsStore::instance();
        TabCaptureSettings current{RecordingSettings::fromStore(store), {}};
        const QString added =
            store.value(settings::kTabCaptureGroup, settings::kAllowedExtensions).toString();
        for (const QString& id : added.split(QLatin1Char(','), Qt::SkipEmptyParts))
            current.addedExtensions << id.trimmed();
        return current;
    });
    // Why a tab recording would not start or ended early (a full disk, a failed write): the
    // session's own reports, so a taken port is not announced twice. One notice that does not
    // block the window and that a repeat updates: a client failing its start in a loop nested one
    // modal box inside the last.
    if (TabCaptureSessionBase* session = tabServer->session()) {
        auto notice = std::make_shared<QPointer<QMessageBox>>();
        connect(session, &TabCaptureSessionBase::errorMessage, this,
                [this, notice](const QString& text) {
                    if (*notice) {
                        (*notice)->setText(text);
                        return;
                    }
                    if (boxHandler)
                        boxHandler(QMessageBox::Warning, tr("Tab Capture"), text);
                    auto* box = new QMessageBox(QMessageBox::Warning, tr("Tab Capture"), text,
                                                QMessageBox::Ok, this);
                    box->setAttribute(Qt::WA_DeleteOnClose);
                    box->setWindowModality(Qt::NonModal);
                    *notice = box;
                    box->show();
                });
    }
    // Once the window is built, so that a port in use gets its box over a finished window.
    QTimer::singleShot(0, this, [this] { startTabCaptureServer(configuredTabPort()); });
}

void MainWindow::startTabCaptureServer(quint16 port)
{
    if (tabServer->start(port)) {
        qDebug().noquote() << "TabCapture WebSocket server ready for extension on port" << port;
        return;
    }
    showBox(QMessageBox::Warning, tr("Tab Capture"),
            tr("The WebSocket server could not start on port %1. The port may already be in use "
               "by another process.")
                    .arg(port) +
                QStringLiteral("\n\n") +
                tr("Browser tab recording from the extension will be unavailable until you "
                   "choose a different port in Settings."));
}

void MainWindow::moveTabCaptureServerToConfiguredPort()
{
    const quint16 port = configuredTabPort();
    if (port == tabServer->serverPort())
        return;
    // Also a retry after a port that was taken: serverPort() is 0 then.
    tabServer->stop();
    startTabCaptureServer(port);
}

void MainWindow::onTabRecordingStarted(const QString& outputPath)
{
    qDebug().noquote() << "Tab recording started:" << outputPath;
    beginRun(RecordingOwner::Tab);
    setPhase(RecordingPhase::Recording);
    if (!tickTimer->isActive())
        tickTimer->start();
}

void MainWindow::onTabRecordingStopped(const QString& outputPath)
{
    qDebug().noquote() << "Tab recording stopped:" << outputPath;
    if (owner_ != RecordingOwner::Tab)
        return;
    ui->labelFps->clear();
    endRun();
}
