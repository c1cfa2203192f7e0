#pragma once

#include "macro/MacroItem.h"
#include "platform/AudioSourceList.h"
#include "schedule/ScheduleItem.h"
#include "platform/WindowSystem.h"
#include "ui/AreaDisplay.h"
#include "ui/BG_Mode_Window.h"
#include "ui/CpuUsageMeter.h"

#include <QImage>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QTime>

#include <functional>
#include <memory>
#include <optional>

class AudioLevelMeter;
class DesktopNotifications;
class AudioLevelProbe;
class HotkeyShortcuts;
class QAction;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QToolButton;
class RecordingSessionControl;
class TabCaptureServerWin;
class screen_capture_win;

namespace Ui {
class MainWindow;
}

// The control centre of the program: the source and audio lists, the start and stop procedures
// every trigger ends in (record button, tray, shortcuts, background bar, duration limit), the
// elapsed-time clock, the preview and CPU figures, the tray and background mode. Owns the one
// recording session, the background bar, the tray icon and the area frame. GUI thread only.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Seams for tests: every box the window shows, the window picker and the tray check.
    using BoxHandler =
        std::function<void(QMessageBox::Icon icon, const QString& title, const QString& text)>;
    // Runs the picker at the given global position; true with title and window when accepted.
    using WindowPicker = std::function<bool(QWidget* parent, const QPoint& position, QString* title,
                                            NativeWindow* window)>;

    // Who holds the recording controls. A schedule or a macro holds them for its whole run, across
    // the recordings it makes, and puts the user's source choices back when it ends.
    enum class RecordingOwner { None, User, Schedule, Macro, Tab };
    // How far the owner's recording is. A start is under way until the recording's first picture
    // or clock second, a stop until the session has finished the file; presses meanwhile are
    // left out.
    enum class RecordingPhase { Idle, Starting, Recording, Paused, Stopping };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    void setBoxHandler(BoxHandler handler);
    void setWindowPicker(WindowPicker picker);
    void setTrayAvailabilityCheck(std::function<bool()> check);
    void setWindowSystem(std::unique_ptr<WindowSystem> windowSystem);
    // Replaces the calls into the real session (whose signals still arrive as usual).
    void setSessionControl(std::unique_ptr<RecordingSessionControl> control);
    // Replaces the sound server's level probe of the meter beside the audio list.
    void setLevelProbeFactory(std::function<std::unique_ptr<AudioLevelProbe>()> factory);

    // The session whose signals the window serves.
    screen_capture_win* recordingSession() const { return session; }
    BG_Mode_Window* backgroundWindow() const { return bgModeWindow.get(); }
    QSystemTrayIcon* systemTrayIcon() const { return trayIcon; }
    QAction* trayRecordAction() const { return trayRecordToggle; }
    // "Mute microphone" (Ctrl+Shift+U, also in the tray menu); enabled while the chosen sound
    // includes a microphone.
    QAction* muteMicrophone() const { return muteMicrophoneAction; }
    AreaDisplay* currentAreaDisplay() const { return areaDisplay; }
    TabCaptureServerWin* tabCaptureServer() const { return tabServer; }

    bool isRecording() const;
    bool isPaused() const { return phase_ == RecordingPhase::Paused; }
    RecordingOwner recordingOwner() const { return owner_; }
    RecordingPhase recordingPhase() const { return phase_; }
    bool isAreaMode() const { return areaMode; }
    QTime elapsedTime() const { return elapsed; }
    // What the clock display shows now ("hh:mm:ss").
    QString clockText() const { return clockText_; }
    // The status bar's countdown to the next scheduled start; empty when there is none.
    static QString nextRecordingText(const QDateTime& next, const QDateTime& now);
    // A command from outside the window: "toggle", "start", "stop", "pause", "resume" or
    // "status". The state after it ("recording 00:01:23", "paused 00:01:23" or "idle") with *ok
    // set, or why it was refused.
    QString handleRemoteCommand(const QString& word, bool* ok);

private:
    QString remoteState() const;

public slots:
    bool toggleAudioCapture();
    void selectRecordingArea();
    void startStopRecording();
    void handleComboBoxCaptureTypeCurrentIndexChanged(int index);
    void openRecordingsFolder();
    void openSettingsDialog();
    // Tells the user which recordings of an earlier run were rebuilt at this start.
    void announceRepairedRecordings(const QStringList& paths, const QStringList& failed = {});
    void checkForUpdates();
    void showHelp();
    void refreshScreen_And_WindowsTitle();
    void openHotkeyDialog();
    void openScheduleDialog();
    void renderRecordingDuration();
    void handleCheckboxRecordingDurationToggled();
    void handlePreviewCheckBoxClicked(bool checked);
    void handleTimeEditRecordingDurationTimeChanged();
    void refreshWindowList();
    void minimizeToTray(bool showNotification = true);
    void showMainWindow();
    void onTrayRecordToggle();
    void bg_mode_win_data_slot(BG_Mode_Window::Command command);
    void openMacroDialog();
    void updatePreviewWhenNotRecording();
    double getCpuUsage();
    void onRequestPauseRecording();
    void onRequestResumeRecording();
    // Macros: a start is refused while anything holds the recording controls, and a macro whose
    // steps cannot record is refused with a box naming the wrong step; the executor's requests
    // run through the same procedures as the window's own buttons.
    bool onRequestStartMacroExecution(const MacroItem& item);
    void onRequestStopMacroExecution();
    void onRequestMacroExecutionStarted();
    void onRequestMacroExecutionStopped();
    void onRequestMacroExecutionFinished();
    void onRequestMacroStartRecording();
    void onRequestMacroStopRecording();
    void onRequestMacroSelectSource(const MacroAction& action);
    // Schedules: the runner's start serves the schedule unless anything records (a one-time
    // schedule refused that way is disabled); its stop, like the user's, ends what that schedule
    // started, and a one-time schedule whose run has ended is disabled.
    void onScheduleRequestStart(ScheduleItem& item);
    void onScheduleRequestStop(quint64 scheduleId);
    // One second of the elapsed-time clock; stops the recording past the duration limit.
    void onTickTimeout();
    void showAboutWindow();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    // The capture target worked out by the start checks, before anything changes.
    struct StartPlan
    {
        bool screen = true;
        bool area = false;
        QRect screenRect;
    };
    // The user's source, window, area and sound, kept while a schedule or macro records its own.
    struct SourceChoices
    {
        int captureType = 0;
        int sourceIndex = -1;
        QString windowTitle;
        NativeWindow window = 0;
        std::optional<QRect> area; // global logical pixels
        QString audio;
        bool audioCaptureOn = false;
    };

    void rebuildSourceList();
    // The audio list, its meter and the mute action, kept as the sound server changes.
    void buildAudioControls();
    void fillAudioList(const AudioSourceListing& listing);
    // Fills the audio list again, keeping the chosen entry while it still exists.
    void refreshAudioList(const AudioSourceListing& listing);
    void refreshAudioList();
    // Refills the audio list when the sound server's listing differs from the listed one.
    void followAudioInputs();
    // The meter and the mute action follow the chosen sound.
    void followAudioChoice();
    void selectAudioByData(const QString& data);
    void applyIconFont();
    void loadLogo();
    void retranslateWindowTitle();
    void connectToolButtons();
    // Parts of the constructor: the recording session and its reports, the status bar's next
    // scheduled recording.
    void createSession();
    void buildNextRecordingLabel();
    void registerHotkeys();
    // Global shortcuts (MainWindowGlobalKeys.cpp): made for the windowing system in use and
    // kept in step with hotkeys.json.
    void registerGlobalShortcuts();
    void applyGlobalShortcuts();
    void pauseFromGlobalKey();
    class GlobalShortcuts* globalShortcuts = nullptr;
    QString appliedGlobalKeys_;
    void connectMacroRequests();
    void connectScheduleRequests();
    void serveSchedule(const ScheduleItem& item);
    bool applyScheduleSource(const ScheduleItem& item);
    SourceChoices sourceChoices() const;
    void restoreSourceChoices(const SourceChoices& choices);
    void showAreaDisplay(const QRect& area);
    void disableFinishedOneTimeSchedule();
    void updateNextRecordingLabel();
    // Browser tab recording: the server on the configured port (a warning box when it is
    // taken), and the recording look while a tab is recorded.
    static quint16 configuredTabPort();
    void connectTabCapture();
    void startTabCaptureServer(quint16 port);
    void moveTabCaptureServerToConfiguredPort();
    void onTabRecordingStarted(const QString& outputPath);
    void onTabRecordingStopped(const QString& outputPath);
    void onAreaSelected(const QRect& area);

    // The recording state's changes. A run begins when an owner takes the controls (the
    // recording look, the locked lists, "busy" for the browser extension) and ends when it
    // gives them back; every look follows from these.
    void beginRun(RecordingOwner owner);
    void setPhase(RecordingPhase phase);
    void endRun();
    // Stops the recording; the run of the user, a schedule or a tab ends with it, a macro's
    // goes on to its next step.
    void stopAndEndRun(bool quiet);
    // Stops the executor, whose report ends the run, and the recording it left running.
    void endMacroRun();

    bool startRecordingProcedure();
    bool checkStart(StartPlan* plan);
    void configureAndStartSession(const StartPlan& plan);
    QString nextOutputPath(const QString& folder) const;
    void stopRecordingProcedure(bool quiet);
    void onSessionStopRequest();
    void onPreviewFrame(const QImage& frame);
    void showPicture(const QImage& picture);
    QImage idlePreviewPicture();

    void applyRecordingLook();
    void applyIdleLook();
    void setRecordingLockEnabled(bool enabled);
    void showOnClock(const QString& text);

    void buildTray();
    void retranslateTray();
    bool isTrayAvailable() const;
    void showBox(QMessageBox::Icon icon, const QString& title, const QString& text);
    void startUpdateCheck(bool silent);
    WindowSystem* windowSystem();
    static QString recordingFolder();

    std::unique_ptr<Ui::MainWindow> ui;

    int captureKind = 0;
    bool areaMode = false;
    bool audioCaptureOn = false;
    RecordingOwner owner_ = RecordingOwner::None;
    RecordingPhase phase_ = RecordingPhase::Idle;
    // While the session waits for the desktop's share dialog, which a press may cancel.
    bool askingDesktop_ = false;
    std::optional<SourceChoices> userChoices_;
    bool durationLimitEnabled = false;
    QTime durationLimit{1, 0, 0};
    QTime elapsed{0, 0, 0};
    NativeWindow selectedWindow = 0;
    // The schedule whose run holds the controls (its recording or its macro); empty otherwise.
    ScheduleItem currentSchedule;
    QString clockText_;
    AudioSourceListing listedAudio;

    screen_capture_win* session = nullptr;
    std::unique_ptr<RecordingSessionControl> sessionControl;
    std::unique_ptr<BG_Mode_Window> bgModeWindow;
    TabCaptureServerWin* tabServer = nullptr;
    QPointer<AreaDisplay> areaDisplay;
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayMenu = nullptr;
    QAction* trayRecordToggle = nullptr;
    QAction* trayShowVideos = nullptr;
    QAction* trayRestore = nullptr;
    QAction* trayMacros = nullptr;
    QAction* traySchedules = nullptr;
    QAction* traySettings = nullptr;
    QAction* trayCheckUpdate = nullptr;
    QAction* trayQuit = nullptr;
    QAction* muteMicrophoneAction = nullptr;
    AudioLevelMeter* levelMeter = nullptr;
    QTimer* audioDeviceTimer = nullptr;
    // Null without a sound client: audioDeviceTimer then asks the server over and over.
    std::unique_ptr<AudioSourceWatcher> audioWatcher;
    QTimer* tickTimer = nullptr;
    QTimer* nextRecordingTimer = nullptr;
    QTimer* previewTimer = nullptr;
    QLabel* nextRecordingLabel = nullptr;
    HotkeyShortcuts* hotkeyShortcuts = nullptr;
    CpuUsageMeter cpuMeter;

    BoxHandler boxHandler;
    WindowPicker windowPicker;
    std::function<bool()> trayAvailable;
    std::unique_ptr<WindowSystem> windows;

    // ---- Pause, and the end of a recording started from outside (MainWindowPause.cpp) ----
public slots:
    // A recording of the user, a schedule or a macro pauses and resumes once its start is over
    // and until its stop begins; the clock stands still and the paused time is left out of the
    // file. A browser tab's recording has no pause.
    void pauseRecording();
    void resumeRecording();
    void togglePause();

public:
    // The next start comes from outside the window (a global shortcut, the command line): its
    // end is announced in a desktop notification, as a schedule's or a macro's is, not in a box.
    void setStartedFromOutside(bool outside) { startedFromOutside_ = outside; }
    // Replaces the desktop's notification service (tests).
    void setDesktopNotifications(std::unique_ptr<DesktopNotifications> notifications);
    QAction* trayPauseAction() const { return trayPauseToggle; }

private:
    void buildPauseControls();
    // The pause controls, preview and tray follow the recording phase.
    void applyPauseLook();
    void onPhaseChanged();
    void announceFinishedFile(const QString& path);

    QToolButton* pauseButton = nullptr;
    QAction* trayPauseToggle = nullptr;
    bool startedFromOutside_ = false;
    std::unique_ptr<DesktopNotifications> notifications_;
};
