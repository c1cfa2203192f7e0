// The recording session (the name is the one the rest of the program knows): on Linux it records
// the X display, or on Wayland the desktop portal's stream, with PulseAudio sound and FFmpeg.
#pragma once

#include "media/MsgType.h"
#include "capture/StartTrigger.h"
#include "RecordingSettings.h"
#include "SessionBox.h"
#include "capture/RecordingTarget.h"
#include "platform/AudioSource.h"

#include <QDeadlineTimer>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>

#include <vector>

#include <cstdint>
#include <functional>
#include <memory>

struct CapturePlatform;
class AudioSource;
class audio_capture_thread_win;
class CaptureClockQpc;
class DiskSpaceWatchdog;
class FrameQueue;
class mux_thread_win;
class PortalScreenCast;
class QEventLoop;
class QLabel;
class video_capture_thread_win;
class WindowSystem;

// Runs one screen, window or area recording at a time: owns the video, audio and mux threads of
// the recording, the queue and clock that join them, decides the output size, asks about hidden
// or minimised target windows and turns the threads' reports into boxes or stop requests. A
// recording whose disk runs low, whose folder goes away or whose file cannot be written asks to
// be stopped, with one box that says why. On a Wayland session the desktop is asked for the
// screen or window first (its own share dialog); a refusal is a box and nothing starts.
// Lives in the GUI thread and is reused for every recording; not thread-safe.
class screen_capture_win : public QObject
{
    Q_OBJECT

public:
    // Returns true for "continue" (OK, Yes, Show/Restore & Continue), false for the other answer.
    using BoxHandler = std::function<bool(const SessionBox&)>;

    explicit screen_capture_win(QObject* parent = nullptr);
    ~screen_capture_win() override;

    // Sets up the threads of the next recording with the settings it is made with.
    void configure(const RecordingSettings& settings, const QString& audioSource,
                   const QString& outputPath, QLabel* fpsLabel);
    void setTarget(const RecordingTarget& recordingTarget) { target = recordingTarget; }
    void setCaptureArea(int x, int y, int width, int height);
    // User: the user started it and is told about its end and its problems; otherwise a schedule
    // or a macro did, and the run log is told instead.
    void setStartTrigger(StartTrigger trigger) { startTrigger = trigger; }
    // No box about the end of the file (the window is closing).
    void setQuietStop(bool quiet) { quietStop = quiet; }
    // False: a recording the user started from outside the window tells its end through
    // fileFinished() instead of a box, as one of a schedule or a macro always does.
    void setEndBoxShown(bool shown) { endBoxShown = shown; }
    // The length the next recordings end at, in microseconds without the paused time; 0 for none.
    void setDurationLimit(std::int64_t microseconds) { durationLimitUs = microseconds; }
    void setPreviewBox(QSize box) { previewBox = box; }
    void start();
    void pause();
    void resume();
    // Returns when the file is complete, or, when a thread does not end in time, after saying
    // what became of the file. Every wait has a bound.
    void stop(bool quiet);

    // Whether the desktop, not this program, chooses the window to record: on Wayland no other
    // program's windows can be listed, and the desktop's share dialog asks at the start.
    static bool desktopPicksWindow();

    // Seams: tests answer the boxes and bring their own window queries.
    void setBoxHandler(BoxHandler handler);
    void setWindowSystem(std::unique_ptr<WindowSystem> windowSystem);
    // The video thread's display, grabbers and sleeps (fakes in tests); the system's unless set.
    void setCapturePlatform(CapturePlatform platform);
    // The sound thread's device (a fake in tests); the system's unless set. Before configure().
    void setAudioSourceFactory(std::function<std::unique_ptr<AudioSource>()> factory);

    // The size the mux was told to write (before the encoder rounds it to even values).
    QSize outputSize() const;
    bool isAudioEnabled() const { return audioEnabled; }
    bool isMicrophone() const { return microphone; }
    // A muted microphone records silence, in this recording and the next; the rest goes on.
    void setMicrophoneMuted(bool muted);
    // Whether start() got as far as starting the threads.
    bool isRunning() const;

Q_SIGNALS:
    void stopRecording();
    void pauseRecording();
    void resumeRecording();
    void previewFrame(QImage frame);
    // The file has reached the duration limit and takes nothing more: the owner stops.
    void durationLimitReached();
    // The desktop handed back a token for sharing the same screen or window again without its
    // dialog, or refused the one it was given (token empty). The owner keeps it for the next
    // recording's settings.
    void restoreTokenChanged(bool window, QString token);
    // The file is complete and holds pictures, and no box said so: the owner announces it.
    void fileFinished(QString path);

public Q_SLOTS:
    // Reactions to the reports of the video thread and the mux thread.
    void onCaptureMessage(MSG_TYPE type, const QString& text);
    void onMuxMessage(MSG_TYPE type, const QString& text);
    void onEncoderLag();

private:
    bool ask(const SessionBox& box);
    // Asks the owner to stop and shows why, for the first such reason of a recording only.
    void endByItself(const QString& title, const QString& text);
    // Tells why a stop could not finish the file as recorded; once, without a new stop request.
    void reportStopProblem(const QString& text);
    // Waits for the capture threads until the deadline; false when one is still running.
    bool joinProducers(QDeadlineTimer deadline);
    // A thread that did not end in time may still use the queue: neither is freed under it.
    void abandonStuckThreads();
    // Asks whether to bring a hidden or minimised target window back (the clock held meanwhile);
    // false when the user cancels, which stops the recording.
    bool bringBack(const SessionBox& box, const char* state, const char* verb,
                   const std::function<void()>& bring);
    // Output size of a window target; false when the recording must not start.
    bool prepareWindowTarget();
    // Until the capture thread is ready, at most 1.5 s; false when stopped meanwhile.
    bool waitForCapture();
    void applyResolutionSetting();
    // Wayland: asks the desktop's screen-cast portal for the target (waiting on a local event
    // loop for the share dialog) and hands its stream to the video thread. False, after a box,
    // when the recording must not start; *size is the stream's size.
    bool openPortalStream(QSize* size);
    WindowSystem* windowSystem();

    RecordingSettings settings;
    RecordingTarget target;
    bool quietStop = false;
    bool endBoxShown = true;
    StartTrigger startTrigger = StartTrigger::User;
    QString audioSource;
    bool audioEnabled = false;
    bool microphone = false;
    std::vector<AudioSourceChoice> audioSources; // from audioSource, system sound first
    bool microphoneMuted = false;
    QString outputPath;
    QPointer<QLabel> fpsLabel;
    std::unique_ptr<FrameQueue> frameQueue;
    std::shared_ptr<CaptureClockQpc> clock;
    std::unique_ptr<video_capture_thread_win> videoThread;
    std::unique_ptr<audio_capture_thread_win> audioThread;
    std::unique_ptr<mux_thread_win> muxThread;
    std::unique_ptr<WindowSystem> windows;
    std::unique_ptr<CapturePlatform> capturePlatform;
    std::function<std::unique_ptr<AudioSource>()> audioSourceFactory;
    DiskSpaceWatchdog* diskWatch = nullptr;
    std::unique_ptr<PortalScreenCast> portal; // open for the whole recording: it holds the stream
    QEventLoop* startWait = nullptr; // while start() waits for the share dialog or the capture
    bool startAbandoned = false;
    bool endedByItself = false;
    bool muxStarted = false;       // the output file was opened by this recording
    bool removedEmptyFile = false; // it was stopped before its first picture
    std::uint64_t configuredRecordings = 0;
    std::int64_t durationLimitUs = 0;
    QSize previewBox;
    BoxHandler boxHandler;
};
