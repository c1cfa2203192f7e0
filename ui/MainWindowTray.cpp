// The main window's tray icon, background mode, folder and help, and its dialogs and boxes.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "hotkeys/HotkeyDialog.h"
#include "ui/BG_Mode_Window.h"
#include "ui/settings_win.h"

#include <QAction>
#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

namespace {

// Opened by Help when no manual was installed beside the program.
const QString kOnlineManualUrl =
    QStringLiteral("https://torvane.github.io/manual/torvane-manual.pdf");
constexpr int kTrayMessageDelay_ms = 200;
constexpr int kTrayMessageDuration_ms = 3000;
constexpr int kRepairMessageDuration_ms = 10000;

// Hands a folder or an address to the desktop; failed() runs when nothing opened it.
// QDesktopServices starts xdg-open and reports only that it started, yet without a file manager
// or browser xdg-open fails a moment later; so it runs here and its exit status is read. One that
// keeps running has started a program in the foreground: no news.
void openOnDesktop(QObject* context, const QUrl& url, const std::function<void()>& failed)
{
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        if (!QDesktopServices::openUrl(url))
            failed();
        return;
    }
    auto* process = new QProcess(context);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, context,
                     [process, failed, url](int code, QProcess::ExitStatus status) {
                         process->deleteLater();
                         if (status == QProcess::NormalExit && code == 0)
                             return;
                         qWarning().noquote() << "Nothing opened" << url.toDisplayString()
                                              << "- xdg-open ended with" << code;
                         failed();
                     });
    QObject::connect(process, &QProcess::errorOccurred, context,
                     [process, failed](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         process->deleteLater();
                         failed();
                     });
    process->start(opener, {url.isLocalFile() ? url.toLocalFile() : url.toString()});
}

} // namespace

void MainWindow::buildTray()
{
    trayMenu = new QMenu(this);
    trayMenu->setObjectName(QStringLiteral("trayMenu"));
    trayRecordToggle =
        trayMenu->addAction(QIcon(QStringLiteral(":/resources/green.png")), tr("Start Recording"));
    connect(trayRecordToggle, &QAction::triggered, this, &MainWindow::onTrayRecordToggle);
    trayShowVideos = trayMenu->addAction(QIcon(QStringLiteral(":/resources/folder-gray.png")),
                                         tr("Show Videos"));
    connect(trayShowVideos, &QAction::triggered, this, &MainWindow::openRecordingsFolder);
    trayRestore = trayMenu->addAction(QIcon(QStringLiteral(":/resources/restore-down-gray.png")),
                                      tr("Restore"));
    connect(trayRestore, &QAction::triggered, this, &MainWindow::showMainWindow);
    traySchedules = trayMenu->addAction(tr("Schedules"));
    connect(traySchedules, &QAction::triggered, this, &MainWindow::openScheduleDialog);
    trayMacros = trayMenu->addAction(tr("Macros"));
    connect(trayMacros, &QAction::triggered, this, &MainWindow::openMacroDialog);
    traySettings = trayMenu->addAction(tr("Settings"));
    connect(traySettings, &QAction::triggered, this, &MainWindow::openSettingsDialog);
    trayMenu->addAction(muteMicrophoneAction);
    trayCheckUpdate = trayMenu->addAction(tr("Check Update"));
    connect(trayCheckUpdate, &QAction::triggered, this, &MainWindow::checkForUpdates);
    // Quits at once, without the stop-and-wait of closing the window.
    trayQuit = trayMenu->addAction(QIcon(QStringLiteral(":/resources/quit.png")), tr("Quit"));
    connect(trayQuit, &QAction::triggered, qApp, &QCoreApplication::quit);

    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/resources/QZT-32.png")), this);
    trayIcon->setObjectName(QStringLiteral("trayIcon"));
    trayIcon->setToolTip(windowTitle());
    trayIcon->setContextMenu(trayMenu);
    connect(trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    showMainWindow();
            });
    if (isTrayAvailable())
        trayIcon->show();
}

void MainWindow::retranslateTray()
{
    trayShowVideos->setText(tr("Show Videos"));
    trayRestore->setText(tr("Restore"));
    traySchedules->setText(tr("Schedules"));
    trayMacros->setText(tr("Macros"));
    traySettings->setText(tr("Settings"));
    trayCheckUpdate->setText(tr("Check Update"));
    trayQuit->setText(tr("Quit"));
    muteMicrophoneAction->setText(tr("Mute microphone"));
    trayIcon->setToolTip(windowTitle());
}

bool MainWindow::isTrayAvailable() const
{
    return trayAvailable ? trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::minimizeToTray(bool showNotification)
{
    // Without a tray (GNOME has none by default) the bar alone leads back to the window.
    const bool tray = isTrayAvailable();
    if (tray)
        trayIcon->show();
    if (tray && showNotification) {
        QTimer::singleShot(kTrayMessageDelay_ms, this, [this] {
            trayIcon->showMessage(tr("QZT app minimized"),
                                  tr("QZT app is still running in the system tray."),
                                  QSystemTrayIcon::Information, kTrayMessageDuration_ms);
        });
    }
    hide();
    bgModeWindow->setRecordingState(isRecording());
    bgModeWindow->setElapsedText(elapsed.toString(QStringLiteral("hh:mm:ss")));
    bgModeWindow->show();
}

void MainWindow::announceRepairedRecordings(const QStringList& paths, const QStringList& failed)
{
    if (paths.isEmpty() && failed.isEmpty())
        return;
    const auto named = [](const QStringList& list) {
        QStringList names;
        for (const QString& path : list)
            names << QDir::toNativeSeparators(path);
        return QLatin1Char('\n') + names.join(QLatin1Char('\n'));
    };
    QStringList parts;
    if (!paths.isEmpty())
        parts
            << tr("Torvane ended before these recordings were finished; they have been repaired:") +
                   named(paths);
    // Said once: a failed repair is not tried again at the next start.
    if (!failed.isEmpty())
        parts << tr("These unfinished recordings could not be repaired; their journals are kept "
                    "beside them and the run log says why:") +
                     named(failed);
    const QString title =
        failed.isEmpty() ? tr("Recording repaired") : tr("Recording not repaired");
    const QString text = parts.join(QStringLiteral("\n\n"));
    // Without a tray (GNOME by default) the message would be lost: a box says it instead.
    if (isTrayAvailable()) {
        trayIcon->show();
        trayIcon->showMessage(
            title, text, failed.isEmpty() ? QSystemTrayIcon::Information : QSystemTrayIcon::Warning,
            kRepairMessageDuration_ms);
    } else {
        showBox(failed.isEmpty() ? QMessageBox::Information : QMessageBox::Warning, title, text);
    }
}

void MainWindow::showMainWindow()
{
    show();
    bgModeWindow->hide();
    // The bar had the clock while it was shown.
    if (isRecording())
        showOnClock(elapsed.toString(QStringLiteral("hh:mm:ss")));
    activateWindow();
    raise();
}

void MainWindow::bg_mode_win_data_slot(BG_Mode_Window::Command command)
{
    switch (command) {
    case BG_Mode_Window::Command::RestoreMainWindow:
        showMainWindow();
        break;
    case BG_Mode_Window::Command::OpenRecordingsFolder:
        openRecordingsFolder();
        break;
    case BG_Mode_Window::Command::StartRecording:
    case BG_Mode_Window::Command::StopRecording:
        startStopRecording();
        break;
    case BG_Mode_Window::Command::PauseRecording:
        pauseRecording();
        break;
    case BG_Mode_Window::Command::ResumeRecording:
        resumeRecording();
        break;
    }
}

void MainWindow::openRecordingsFolder()
{
    const QString path = recordingFolder();
    if (!QDir(path).exists())
        QDir().mkpath(path);
    if (QDir(path).exists()) {
        const QString folder = QDir::toNativeSeparators(QDir(path).absolutePath());
        openOnDesktop(this, QUrl::fromLocalFile(folder), [this, folder] {
            showBox(QMessageBox::Warning, tr("Open Record Folder"),
                    tr("No program opened the recordings folder. It is here:") + QLatin1Char('\n') +
                        folder);
        });
        return;
    }
    showBox(QMessageBox::Warning, tr("Folder not found"),
            path + QStringLiteral("  ") + tr("folder does not exist."));
}

void MainWindow::showHelp()
{
    const QFileInfo program(QCoreApplication::applicationFilePath());
    const QString manual = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                           program.completeBaseName() + QStringLiteral(".pdf");
    const QUrl url =
        QFileInfo::exists(manual) ? QUrl::fromLocalFile(manual) : QUrl(kOnlineManualUrl);
    openOnDesktop(this, url, [this, url] {
        showBox(QMessageBox::Warning, tr("Help"),
                tr("No program opened the manual. It is here:") + QLatin1Char('\n') +
                    (url.isLocalFile() ? url.toLocalFile() : url.toString()));
    });
}

void MainWindow::openHotkeyDialog()
{
    auto* dialog = new HotkeyDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->exec();
}

void MainWindow::openSettingsDialog()
{
    auto* dialog = new settings_win(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->exec();
    // The dialog writes settings.ini only; what the window shows from it follows here.
    ui->checkBoxPreview->setChecked(SettingsStore::instance()
                                        .value(settings::kUiGroup, settings::kEnablePreview, true)
                                        .toBool());
    moveTabCaptureServerToConfiguredPort();
}

void MainWindow::checkForUpdates()
{
    startUpdateCheck(false);
}

void MainWindow::showAboutWindow()
{
    showBox(QMessageBox::Information, tr("About QZT"),
            windowTitle() + QStringLiteral("\n\n") +
                tr("Records a screen, a window or an area of the screen, with the system sound or "
                   "a microphone."));
}

void MainWindow::showBox(QMessageBox::Icon icon, const QString& title, const QString& text)
{
    if (boxHandler) {
        boxHandler(icon, title, text);
        return;
    }
    QMessageBox box(icon, title, text, QMessageBox::Ok, this);
    box.exec();
}
