#include "MainWindow.h"
#include "ui_MainWindow.h"

#include "platform/dbus/DesktopNotifications.h"

#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "base/Version.h"
#include "recording/screen_capture_win.h"
#include "hotkeys/HotkeyManager.h"
#include "hotkeys/HotkeyShortcuts.h"
#include "macro/MacroExecutor.h"
#include "schedule/ScheduleRunner.h"
#include "tabcapture/TabCaptureServerWin.h"
#include "tabcapture/TabRecordingSession.h"
#include "ui/AreaDisplay.h"
#include "widgets/AreaSelector.h"
#include "ui/BG_Mode_Window.h"
#include "ui/DarkTheme.h"
#include "ui/MainWindowSession.h"
#include "widgets/SourceLists.h"
#include "widgets/WindowSelectorThumbnailView.h"
#include "update/AutoUpdater.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

const QString kVersion = QString::fromLatin1(kTorvaneVersion);
const QString kSystemAudio = QStringLiteral("System Audio");
const QString kIconFontPath = QStringLiteral(":/resources/font/fontawesome-webfont.ttf");
constexpr int kIconFontPointSize = 12;
const QChar kInfoGlyph(0xF05A);
const QChar kHelpGlyph(0xF059);
constexpr int kTickInterval_ms = 1000;
constexpr int kNextRecordingInterval_ms = 1000;
constexpr int kPreviewInterval_ms = 500;
// The overlay appears a moment later, so the click that asked for it is over.
constexpr int kSelectorDelay_ms = 100;
constexpr int kCloseWait_ms = 5000;
constexpr int kCloseWaitSlice_ms = 100;
// The silent update check waits until start-up is over and the window has settled.
constexpr int kStartupSettle_ms = 100;
constexpr int kUpdateCheckDelay_ms = 3000;

const QString kAreaButtonNormal =
    QStringLiteral("QToolButton { background-color: #000;border: none;image: "
                   "url(:/resources/capture_normal.png);}QToolButton:hover { image: "
                   "url(:/resources/capture-hover.png); background: #444444; border: none;}");
const QString kAreaButtonEnabled =
    QStringLiteral("QToolButton { background-color: #000;border: none;image: "
                   "url(:/resources/capture-enabled.png);}");
const QString kAudioOnStyle = QStringLiteral(
    "QToolButton {border-radius: 15px;border: 1px solid #aeaeae;  background-color: #000000;}");
const QString kAudioOffStyle = QStringLiteral(
    "QToolButton {border-radius: 15px;border: 1px solid #aeaeae;  background-color: #41A7F6;}");

// The picker the program uses: the thumbnail view, run modally below the source list.
bool pickWindowWithThumbnails(QWidget* parent, const QPoint& position, QString* title,
                              NativeWindow* window)
{
    // Wayland lists no other program's windows: the desktop's share dialog asks for the window
    // when the recording starts.
    if (screen_capture_win::desktopPicksWindow()) {
        *title = QObject::tr("Shared window");
        *window = 0;
        return true;
    }
    auto* selector = new WindowSelectorThumbnailView(parent);
    selector->move(position);
    const bool accepted = selector->exec() == QDialog::Accepted;
    if (accepted) {
        *title = selector->selectedTitle;
        *window = selector->selectedWindow;
    }
    delete selector;
    return accepted;
}

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), ui(std::make_unique<Ui::MainWindow>()),
      windowPicker(pickWindowWithThumbnails),
      trayAvailable([] { return QSystemTrayIcon::isSystemTrayAvailable(); })
{
    ui->setupUi(this);
    retranslateWindowTitle();
    applyDarkTheme();
    applyIconFont();
    loadLogo();
    ui->comboBoxScreenWindows->installEventFilter(this);

    bgModeWindow = std::make_unique<BG_Mode_Window>();
    connect(bgModeWindow.get(), &BG_Mode_Window::bg_mode_win_signal, this,
            &MainWindow::bg_mode_win_data_slot);

    ui->toolButtonAudiCapture->hide();
    ui->toolButtonMicCapture->hide();

    rebuildSourceList();
    buildAudioControls();

    createSession();

    ui->checkBoxPreview->setChecked(SettingsStore::instance()
                                        .value(settings::kUiGroup, settings::kEnablePreview, true)
                                        .toBool());
    connect(ui->checkBoxPreview, &QCheckBox::clicked, this,
            &MainWindow::handlePreviewCheckBoxClicked);

    tabServer = new TabCaptureServerWin(this);
    tabServer->setSession(new TabRecordingSession);
    connectTabCapture();

    tickTimer = new QTimer(this);
    tickTimer->setObjectName(QStringLiteral("tickTimer"));
    tickTimer->setInterval(kTickInterval_ms);
    connect(tickTimer, &QTimer::timeout, this, &MainWindow::onTickTimeout);

    buildTray();
    buildPauseControls();

    // A scheduled start is there to record; it asks nothing of the network or the user.
    if (!QCoreApplication::arguments().contains(QStringLiteral("--scheduled-record"))) {
        QTimer::singleShot(kStartupSettle_ms, this, [this] {
            QTimer::singleShot(kUpdateCheckDelay_ms, this, [this] { startUpdateCheck(true); });
        });
    }

    buildNextRecordingLabel();

    previewTimer = new QTimer(this);
    previewTimer->setObjectName(QStringLiteral("previewTimer"));
    previewTimer->setInterval(kPreviewInterval_ms);
    connect(previewTimer, &QTimer::timeout, this, &MainWindow::updatePreviewWhenNotRecording);
    previewTimer->start();

    connectScheduleRequests();
    registerHotkeys();
    registerGlobalShortcuts();
    connectMacroRequests();
    connectToolButtons();
    renderRecordingDuration();
    applyIdleLook();
}

void MainWindow::createSession()
{
    session = new screen_capture_win(this);
    sessionControl = std::make_unique<MainWindowSession>(session);
    connect(session, &screen_capture_win::stopRecording, this, &MainWindow::onSessionStopRequest);
    connect(session, &screen_capture_win::pauseRecording, this,
            &MainWindow::onRequestPauseRecording);
    connect(session, &screen_capture_win::resumeRecording, this,
            &MainWindow::onRequestResumeRecording);
    connect(session, &screen_capture_win::previewFrame, this, &MainWindow::onPreviewFrame);
    connect(session, &screen_capture_win::restoreTokenChanged, this,
            [](bool window, const QString& token) {
                RecordingSettings::saveRestoreToken(SettingsStore::instance(), window, token);
            });
    // The duration limit ends the file in the session; the window then stops as its clock would.
    connect(session, &screen_capture_win::durationLimitReached, this, [this] {
        if (isRecording())
            startStopRecording();
    });
}

void MainWindow::buildNextRecordingLabel()
{
    nextRecordingLabel = new QLabel(this);
    nextRecordingLabel->setObjectName(QStringLiteral("labelNextRecording"));
    nextRecordingLabel->setStyleSheet(
        QStringLiteral("QLabel { color: #ffffff; padding: 2px; border: none; }"));
    ui->statusBar->addWidget(nextRecordingLabel);
    nextRecordingTimer = new QTimer(this);
    nextRecordingTimer->setObjectName(QStringLiteral("nextRecordingTimer"));
    nextRecordingTimer->setInterval(kNextRecordingInterval_ms);
    connect(nextRecordingTimer, &QTimer::timeout, this, &MainWindow::updateNextRecordingLabel);
    nextRecordingTimer->start();
    updateNextRecordingLabel();
}

MainWindow::~MainWindow()
{
    // The session's threads finish their file before the window's widgets go.
    if (isRecording())
        sessionControl->stop(true);
    if (areaDisplay)
        delete areaDisplay.data();
}

void MainWindow::setBoxHandler(BoxHandler handler)
{
    boxHandler = std::move(handler);
}

void MainWindow::setWindowPicker(WindowPicker picker)
{
    windowPicker = std::move(picker);
}

void MainWindow::setTrayAvailabilityCheck(std::function<bool()> check)
{
    trayAvailable = std::move(check);
}

void MainWindow::setWindowSystem(std::unique_ptr<WindowSystem> windowSystem)
{
    windows = std::move(windowSystem);
}

void MainWindow::setSessionControl(std::unique_ptr<RecordingSessionControl> control)
{
    sessionControl = std::move(control);
}

WindowSystem* MainWindow::windowSystem()
{
    return WindowSystem::ensure(windows);
}

void MainWindow::startUpdateCheck(bool silent)
{
    auto* updater = new AutoUpdater(this);
    connect(updater, &AutoUpdater::finished, updater, &QObject::deleteLater);
    updater->startCheck(kVersion, silent);
}

void MainWindow::retranslateWindowTitle()
{
    setWindowTitle(tr("QZT v") + kVersion);
}

void MainWindow::applyIconFont()
{
    static const int fontId = QFontDatabase::addApplicationFont(kIconFontPath);
    if (fontId < 0) {
        qWarning() << "Failed to load FontAwesome font!";
        return;
    }
    const QStringList families = QFontDatabase::applicationFontFamilies(fontId);
    if (families.isEmpty())
        return;
    QFont font(families.first());
    font.setPointSize(kIconFontPointSize);
    ui->toolButtonAbout->setFont(font);
    ui->toolButtonAbout->setText(QString(kInfoGlyph));
    ui->toolButtonHelp->setFont(font);
    ui->toolButtonHelp->setText(QString(kHelpGlyph));
}

void MainWindow::loadLogo()
{
    const QPixmap logo(QStringLiteral(":/resources/QZT-256.png"));
    ui->labelLogo->setPixmap(
        logo.scaled(ui->labelLogo->maximumSize(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void MainWindow::connectToolButtons()
{
    connect(ui->comboBoxCaptureType, &QComboBox::currentIndexChanged, this,
            &MainWindow::handleComboBoxCaptureTypeCurrentIndexChanged);
    connect(ui->toolButtonRefresh, &QToolButton::clicked, this,
            &MainWindow::refreshScreen_And_WindowsTitle);
    connect(ui->toolButtonAudiCapture, &QToolButton::clicked, this,
            &MainWindow::toggleAudioCapture);
    connect(ui->toolButtonMarkRecordArea, &QToolButton::clicked, this,
            &MainWindow::selectRecordingArea);
    connect(ui->toolButtonRecord, &QToolButton::clicked, this, &MainWindow::startStopRecording);
    connect(ui->toolButtonShowFolder, &QToolButton::clicked, this,
            &MainWindow::openRecordingsFolder);
    connect(ui->toolButtonSchedule, &QToolButton::clicked, this, &MainWindow::openScheduleDialog);
    connect(ui->toolButtonMacros, &QToolButton::clicked, this, &MainWindow::openMacroDialog);
    connect(ui->toolButtonSettings_2, &QToolButton::clicked, this, &MainWindow::openHotkeyDialog);
    connect(ui->toolButtonSettings, &QToolButton::clicked, this, &MainWindow::openSettingsDialog);
    connect(ui->toolButtonShowFolder2, &QToolButton::clicked, this, &MainWindow::checkForUpdates);
    connect(ui->toolButtonBgMode, &QToolButton::clicked, this, [this] { minimizeToTray(true); });
    connect(ui->toolButtonAbout, &QToolButton::clicked, this, &MainWindow::showAboutWindow);
    connect(ui->toolButtonHelp, &QToolButton::clicked, this, &MainWindow::showHelp);
    connect(ui->checkBoxRecordingDuration, &QCheckBox::toggled, this,
            &MainWindow::handleCheckboxRecordingDurationToggled);
    connect(ui->timeEditRecordingDuration, &QTimeEdit::timeChanged, this,
            &MainWindow::handleTimeEditRecordingDurationTimeChanged);
}

void MainWindow::registerHotkeys()
{
    hotkeyShortcuts = new HotkeyShortcuts(this);
    hotkeyShortcuts->setHandler(HotkeyManager::StartStopRecording,
                                [this] { startStopRecording(); });
    hotkeyShortcuts->setHandler(HotkeyManager::AreaSelect, [this] { selectRecordingArea(); });
    hotkeyShortcuts->setHandler(HotkeyManager::OpenRecordFolder,
                                [this] { openRecordingsFolder(); });
    hotkeyShortcuts->setHandler(HotkeyManager::SettingsDialog, [this] { openSettingsDialog(); });
    hotkeyShortcuts->setHandler(HotkeyManager::Information, [this] { showAboutWindow(); });
    hotkeyShortcuts->setHandler(HotkeyManager::CheckUpdate, [this] { checkForUpdates(); });
    hotkeyShortcuts->setHandler(HotkeyManager::Help, [this] { showHelp(); });
    hotkeyShortcuts->setHandler(HotkeyManager::BackgroundMode, [this] { minimizeToTray(true); });
    hotkeyShortcuts->setHandler(HotkeyManager::ScheduleDialog, [this] { openScheduleDialog(); });
    hotkeyShortcuts->setHandler(HotkeyManager::MacroDialog, [this] { openMacroDialog(); });
    hotkeyShortcuts->setHandler(HotkeyManager::HotkeyDialog, [this] { openHotkeyDialog(); });
    hotkeyShortcuts->setHandler(HotkeyManager::PauseResumeRecording, [this] { togglePause(); });
    hotkeyShortcuts->registerHotkeys();
}

// ---- Source and audio lists ----

void MainWindow::handleComboBoxCaptureTypeCurrentIndexChanged(int)
{
    rebuildSourceList();
}

void MainWindow::refreshScreen_And_WindowsTitle()
{
    // The audio choice survives the refresh, which would otherwise reset it with the source list.
    const QString audio = ui->comboBoxAudioDevice->currentData().toString();
    rebuildSourceList();
    selectAudioByData(audio);
    refreshAudioList();
}

void MainWindow::refreshWindowList()
{
    rebuildSourceList();
}

void MainWindow::rebuildSourceList()
{
    const int index = ui->comboBoxCaptureType->currentIndex();
    ui->comboBoxScreenWindows->clear();
    if (index == 0) {
        captureKind = 0;
        for (const QScreen* screen : QGuiApplication::screens())
            ui->comboBoxScreenWindows->addItem(sourcelists::screenEntryText(screen),
                                               screen->geometry());
        if (ui->comboBoxAudioDevice->count() > 0)
            ui->comboBoxAudioDevice->setCurrentIndex(0);
    } else {
        captureKind = 1;
        // A schedule or macro choosing its window asks nobody.
        if (owner_ == RecordingOwner::None && windowPicker) {
            const QPoint below = ui->comboBoxScreenWindows->mapToGlobal(
                ui->comboBoxScreenWindows->rect().bottomLeft());
            QString title;
            NativeWindow window = 0;
            if (windowPicker(this, below, &title, &window)) {
                ui->comboBoxScreenWindows->clear();
                ui->comboBoxScreenWindows->addItem(title);
                ui->comboBoxScreenWindows->setCurrentIndex(0);
                selectedWindow = window;
            }
        }
        selectAudioByData(kSystemAudio);
    }

    if (captureKind != 1) {
        ui->toolButtonMarkRecordArea->setEnabled(true);
    } else {
        if (areaMode)
            selectRecordingArea();
        ui->toolButtonMarkRecordArea->setEnabled(false);
    }
}

bool MainWindow::toggleAudioCapture()
{
    if (audioCaptureOn) {
        ui->toolButtonAudiCapture->setIcon(QIcon(QStringLiteral(":/resources/mute.png")));
        ui->toolButtonAudiCapture->setStyleSheet(kAudioOnStyle);
    } else {
        ui->toolButtonAudiCapture->setIcon(
            QIcon(QStringLiteral(":/resources/speaker-filled-audio-tool.png")));
        ui->toolButtonAudiCapture->setStyleSheet(kAudioOffStyle);
    }
    audioCaptureOn = !audioCaptureOn;
    return audioCaptureOn;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // In window mode the list holds only the chosen window: a click opens the picker again
    // instead of the list's own popup.
    if (ui && watched == ui->comboBoxScreenWindows && event->type() == QEvent::MouseButtonPress &&
        ui->comboBoxCaptureType->currentIndex() == 1) {
        rebuildSourceList();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- Area mode ----

void MainWindow::selectRecordingArea()
{
    if (areaMode) {
        if (areaDisplay)
            areaDisplay->close();
        areaDisplay = nullptr;
        ui->toolButtonMarkRecordArea->setStyleSheet(kAreaButtonNormal);
        areaMode = false;
        return;
    }
    if (areaDisplay)
        areaDisplay->close();
    areaDisplay = nullptr;
    auto* selector = new AreaSelector();
    selector->setObjectName(QStringLiteral("areaSelector"));
    connect(selector, &AreaSelector::areaSelected, this, &MainWindow::onAreaSelected);
    connect(selector, &AreaSelector::areaSelectionCanceled, this, [this] {
        qDebug() << "Selection canceled";
        areaMode = false;
    });
    QTimer::singleShot(kSelectorDelay_ms, selector, &QWidget::show);
    areaMode = true;
}

void MainWindow::onAreaSelected(const QRect& area)
{
    showAreaDisplay(area);
}

void MainWindow::showAreaDisplay(const QRect& area)
{
    if (areaDisplay)
        areaDisplay->close();
    auto* display = new AreaDisplay(area, this);
    display->setObjectName(QStringLiteral("areaDisplay"));
    display->show();
    areaDisplay = display;
    areaMode = true;
    ui->toolButtonMarkRecordArea->setStyleSheet(kAreaButtonEnabled);
}

// ---- Duration limit and preview setting ----

void MainWindow::renderRecordingDuration()
{
    ui->checkBoxRecordingDuration->setChecked(durationLimitEnabled);
    ui->timeEditRecordingDuration->setEnabled(durationLimitEnabled);
    ui->timeEditRecordingDuration->setTime(durationLimit);
}

void MainWindow::handleCheckboxRecordingDurationToggled()
{
    durationLimitEnabled = ui->checkBoxRecordingDuration->isChecked();
    ui->timeEditRecordingDuration->setEnabled(durationLimitEnabled);
    ui->timeEditRecordingDuration->setTime(durationLimit);
}

void MainWindow::handleTimeEditRecordingDurationTimeChanged()
{
    durationLimit = ui->timeEditRecordingDuration->time();
}

void MainWindow::handlePreviewCheckBoxClicked(bool checked)
{
    SettingsStore::instance().setValue(settings::kUiGroup, settings::kEnablePreview, checked);
}

// ---- Language and close ----

void MainWindow::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::LanguageChange && ui) {
        ui->retranslateUi(this);
        retranslateWindowTitle();
        updateNextRecordingLabel();
        applyIconFont();
        refreshAudioList();
        loadLogo();
        // The form's texts are the idle ones.
        if (owner_ != RecordingOwner::None)
            applyRecordingLook();
        else
            applyIdleLook();
        retranslateTray();
        applyPauseLook();
    }
    QMainWindow::changeEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (owner_ != RecordingOwner::None) {
        // A macro waiting for its next step must not start again after the window is gone.
        if (owner_ == RecordingOwner::Macro)
            endMacroRun();
        else
            stopAndEndRun(false);
        QElapsedTimer waited;
        waited.start();
        while (owner_ != RecordingOwner::None && waited.elapsed() < kCloseWait_ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, kCloseWaitSlice_ms);
        // The file is complete; a "finished" box would only hold up a window that is going away.
        session->setQuietStop(true);
    }
    ScheduleRunner::instance()->stopRunner();
    tabServer->stop();
    previewTimer->stop();
    nextRecordingTimer->stop();
    tickTimer->stop();
    if (trayIcon) {
        trayIcon->hide();
        trayIcon->setContextMenu(nullptr);
    }
    event->accept();
    QCoreApplication::quit();
}
