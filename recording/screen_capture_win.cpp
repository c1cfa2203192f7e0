#include "screen_capture_win.h"

#include "DiskSpaceWatchdog.h"
#include "media/CaptureClockQpc.h"
#include "media/FrameQueue.h"
#include "capture/AudioChoice.h"
#include "capture/audio_capture_thread_win.h"
#include "encode/mux_thread_win.h"
#include "platform/WindowSystem.h"
#include "platform/portal/PortalScreenCast.h"
#include "capture/video_capture_thread_win.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {
constexpr int kQueueCapacity = 1024;
// Long enough for the capture to write a few hundred megabytes on a slow machine, short enough
// that a stuck display cannot hold the window.
constexpr std::chrono::milliseconds kCaptureReadyWait{1500};
constexpr int kReadyPollMs = 10;
// Gives a window that was just shown or restored time to be drawn before capture starts.
constexpr int kWindowSettleMs = 200;
// A file stopped before its first picture holds the container's header and at most a moment of
// sound; anything larger is a recording, whatever it holds.
constexpr qint64 kMaxEmptyFileBytes = 64 * 1024;
// The bounds of a stop. The capture threads end within a frame or a sound packet once the queue
// takes their last items; the encoder then works off what is queued and writes the trailer.
constexpr int kProducerStopMs = 3000;
constexpr int kEncoderDrainMs = 15000;
constexpr int kEncoderFinishMs = 10000;

// Whether the finished file at path opens and holds no picture.
bool holdsNoPicture(const QString& path)
{
    if (QFileInfo(path).size() > kMaxEmptyFileBytes)
        return false;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, QFile::encodeName(path).constData(), nullptr, nullptr) < 0)
        return false;
    AVPacket* packet = av_packet_alloc();
    bool picture = false;
    while (packet && !picture && av_read_frame(format, packet) >= 0) {
        picture = format->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
        av_packet_unref(packet);
    }
    const bool read = packet != nullptr;
    av_packet_free(&packet);
    avformat_close_input(&format);
    return read && !picture;
}

// The device pixel ratio Qt gives the screen of a screen target (its own factor, Xft.dpi or
// QT_SCALE_FACTOR); 1 without a screen. A screen's top-left corner is in device pixels, so it
// names the screen whatever the ratios of the others.
double screenPixelRatio(const QRect& targetRect)
{
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return 1.0;
    const auto screens = QGuiApplication::screens();
    for (QScreen* screen : screens)
        if (screen->geometry().topLeft() == targetRect.topLeft())
            return screen->devicePixelRatio();
    QScreen* screen = QGuiApplication::screenAt(targetRect.topLeft() + QPoint(1, 1));
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->devicePixelRatio() : 1.0;
}
} // namespace

screen_capture_win::screen_capture_win(QObject* parent)
    : QObject(parent), diskWatch(new DiskSpaceWatchdog(this))
{
    connect(diskWatch, &DiskSpaceWatchdog::spaceLow, this,
            [this](const QString& folder, qint64 free_bytes) {
                endByItself(DiskSpaceWatchdog::stoppedTitle(),
                            DiskSpaceWatchdog::lowSpaceText(folder, free_bytes));
            });
    connect(diskWatch, &DiskSpaceWatchdog::folderGone, this, [this](const QString& folder) {
        endByItself(DiskSpaceWatchdog::stoppedTitle(), DiskSpaceWatchdog::folderGoneText(folder));
    });
}

screen_capture_win::~screen_capture_win()
{
    // Threads first: they hold the queue.
    videoThread.reset();
    audioThread.reset();
    muxThread.reset();
    portal.reset();
}

bool screen_capture_win::desktopPicksWindow()
{
    return PortalScreenCast::isWaylandSession();
}

void screen_capture_win::setBoxHandler(BoxHandler handler)
{
    boxHandler = std::move(handler);
}

void screen_capture_win::setWindowSystem(std::unique_ptr<WindowSystem> windowSystem)
{
    windows = std::move(windowSystem);
}

void screen_capture_win::setCapturePlatform(CapturePlatform platform)
{
    capturePlatform = std::make_unique<CapturePlatform>(std::move(platform));
}

void screen_capture_win::setAudioSourceFactory(
    std::function<std::unique_ptr<AudioSource>()> factory)
{
    audioSourceFactory = std::move(factory);
}

WindowSystem* screen_capture_win::windowSystem()
{
    return WindowSystem::ensure(windows);
}

QSize screen_capture_win::outputSize() const
{
    return muxThread ? QSize(muxThread->outputWidth, muxThread->outputHeight) : QSize();
}

bool screen_capture_win::isRunning() const
{
    return (videoThread && videoThread->isRunning()) || (muxThread && muxThread->isRunning());
}

void screen_capture_win::configure(const RecordingSettings& recordingSettings,
                                   const QString& audioSourceText, const QString& path,
                                   QLabel* label)
{
    settings = recordingSettings;
    audioSource = audioSourceText;
    outputPath = path;
    fpsLabel = label;

    // The old threads are finished (or never started); they go before the queue they point to.
    videoThread.reset();
    muxThread.reset();
    if (audioThread && audioThread->isRunning()) {
        audioThread->requestStop();
        audioThread->wait();
    }
    frameQueue = std::make_unique<FrameQueue>(kQueueCapacity);
    clock = std::make_shared<CaptureClockQpc>();

    audioSources = audiochoice::sourcesOf(audioSource);
    audioEnabled = !audioSources.empty();
    microphone = std::any_of(audioSources.begin(), audioSources.end(), [](const auto& source) {
        return source.kind == AudioSourceChoice::Kind::Microphone;
    });
    // Editors want the voice apart from the system sound; only some containers keep tracks apart.
    const bool ownTracks = audioSources.size() > 1 && settings.microphoneOwnTrack &&
                           MuxSettings::keepsSeparateAudioTracks(settings.videoFormat);
    settings.mux.audioTrackNames =
        ownTracks ? QStringList{QStringLiteral("System"), QStringLiteral("Microphone")}
                  : QStringList();

    videoThread = std::make_unique<video_capture_thread_win>(frameQueue.get());
    videoThread->setClock(clock);
    if (capturePlatform)
        videoThread->setPlatform(*capturePlatform);
    connect(videoThread.get(), &video_capture_thread_win::fpsSignal, this,
            [this](const QString& text) {
                if (fpsLabel)
                    fpsLabel->setText(text);
            });
    // An earlier recording's reports may still be queued when this one starts; they are not
    // about this one.
    const std::uint64_t recording = ++configuredRecordings;
    connect(videoThread.get(), &video_capture_thread_win::msgSignal, this,
            [this, recording](MSG_TYPE type, const QString& text) {
                if (recording == configuredRecordings)
                    onCaptureMessage(type, text);
            });
    connect(videoThread.get(), &video_capture_thread_win::encoderLagDetected, this,
            &screen_capture_win::onEncoderLag);

    if (audioEnabled) {
        audioThread = std::make_unique<audio_capture_thread_win>(frameQueue.get());
        audioThread->setCaptureClock(clock);
        audioThread->setMicrophoneMuted(microphoneMuted);
        if (audioSourceFactory)
            audioThread->setSourceFactory(audioSourceFactory);
        // A sound failure is shown as a warning: the picture goes on being recorded without it.
        connect(audioThread.get(), &audio_capture_thread_win::msgSignal, this,
                [this](MSG_TYPE, const QString& text) { onCaptureMessage(MSG_WARNING, text); });
    }

    muxThread = std::make_unique<mux_thread_win>(frameQueue.get());
    connect(muxThread.get(), &mux_thread_win::imagePreviewSignal, this,
            &screen_capture_win::previewFrame);
    connect(muxThread.get(), &mux_thread_win::msgSignal, this,
            [this, recording](MSG_TYPE type, const QString& text) {
                if (recording == configuredRecordings)
                    onMuxMessage(type, text);
            });
    // Once stopped, a limit reached on the way is old news.
    connect(muxThread.get(), &mux_thread_win::durationLimitReached, this, [this, recording] {
        if (recording == configuredRecordings && muxThread->isRunning())
            Q_EMIT durationLimitReached();
    });
}

void screen_capture_win::setCaptureArea(int x, int y, int width, int height)
{
    if (videoThread)
        videoThread->setCaptureArea(x, y, width, height);
    if (muxThread) {
        muxThread->outputWidth = width;
        muxThread->outputHeight = height;
    }
}

void screen_capture_win::start()
{
    if (!videoThread || !muxThread) {
        qWarning() << "Recording started without configure().";
        return;
    }
    quietStop = false;
    endedByItself = false;
    removedEmptyFile = false;

    videoThread->setCapture(settings.captureKind, settings.mux.fps);
    videoThread->setTargetWindow(target.targetWindow);
    videoThread->init(target.targetType, target.targetTitle, target.targetRect, target.areaMode);
    const double pixelRatio = screenPixelRatio(target.targetRect);
    videoThread->setDevicePixelRatio(pixelRatio);
    // Every encoder takes 4:2:0 (hardware ones NV12, one cheap step from it).
    videoThread->setI420Frames(true);

    QSize streamSize;
    const bool wayland = PortalScreenCast::isWaylandSession();
    if (wayland && !openPortalStream(&streamSize))
        return;

    if (!target.areaMode) {
        if (wayland) {
            const QSize pixels = (QSizeF(streamSize) * pixelRatio).toSize();
            muxThread->outputWidth = pixels.width();
            muxThread->outputHeight = pixels.height();
        } else if (target.targetType == TargetScreen) {
            muxThread->outputWidth = target.targetRect.width();
            muxThread->outputHeight = target.targetRect.height();
        } else if (!prepareWindowTarget()) {
            return;
        }
    }
    applyResolutionSetting();

    qInfo() << " videoCaptureThread Initialization successful!";
    bool audioStarts = false;
    if (audioEnabled && audioThread) {
        if (audioThread->init(audioSources, settings.mux.audioTrackNames.size() > 1,
                              settings.mux.audioCodecId)) {
            qInfo() << "audioCaptureThread Initialization successful!";
            audioStarts = true;
        } else {
            qWarning() << "Audio capture failed...";
        }
    }
    frameQueue->setProducers(audioStarts ? 2 : 1);
    // The capture makes its memory before the clock starts, where it costs no frames; the time
    // the share dialog or a question was open is not part of the recording either.
    videoThread->startGate().hold();
    videoThread->start(QThread::InheritPriority);
    if (!waitForCapture())
        return;
    clock->restart();
    videoThread->startGate().open();
    if (audioStarts)
        audioThread->start(QThread::InheritPriority);
    muxThread->init(settings.mux, outputPath, audioEnabled);
    muxThread->durationLimitUs = durationLimitUs;
    muxThread->previewEnabled = true;
    muxThread->previewBox = previewBox;
    muxThread->start(QThread::InheritPriority);
    muxStarted = true;
    diskWatch->start(outputPath);
}

bool screen_capture_win::waitForCapture()
{
    // The window goes on drawing meanwhile; its input waits until the recording runs.
    QElapsedTimer readiness;
    readiness.start();
    StartGate& gate = videoThread->startGate();
    QEventLoop wait;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &wait, [&] {
        if (gate.waitReady(std::chrono::milliseconds(0)) ||
            readiness.elapsed() >= kCaptureReadyWait.count())
            wait.quit();
    });
    startAbandoned = false;
    poll.start(kReadyPollMs);
    startWait = &wait;
    wait.exec(QEventLoop::ExcludeUserInputEvents);
    startWait = nullptr;
    if (startAbandoned) {
        qInfo() << "Stopped while the capture was getting ready; nothing was recorded.";
        return false;
    }
    if (gate.waitReady(std::chrono::milliseconds(0)))
        qInfo().noquote() << QStringLiteral("Capture ready in %1 ms.").arg(readiness.elapsed());
    else
        qWarning() << "The capture was not ready after 1.5 s; the recording starts anyway.";
    return true;
}

bool screen_capture_win::bringBack(const SessionBox& box, const char* state, const char* verb,
                                   const std::function<void()>& bring)
{
    Q_EMIT pauseRecording();
    if (!ask(box)) {
        qInfo().noquote() << QStringLiteral("User chose to cancel recording due to %1 window.")
                                 .arg(QLatin1String(state));
        Q_EMIT stopRecording();
        return false;
    }
    Q_EMIT resumeRecording();
    qInfo().noquote() << QStringLiteral("User chose to %1 window and continue recording.")
                             .arg(QLatin1String(verb));
    bring();
    QThread::msleep(kWindowSettleMs);
    return true;
}

bool screen_capture_win::prepareWindowTarget()
{
    WindowSystem* ws = windowSystem();
    const NativeWindow window = target.targetWindow;
    if (!ws || window == 0 || !ws->isWindow(window)) {
        qWarning() << "Failed to find the target window.";
        return false;
    }
    if (!ws->isVisible(window) && !ws->isMinimised(window) &&
        !bringBack({SessionBox::Kind::WindowHidden, tr("Window Hidden"),
                    tr("The target window is currently hidden."),
                    tr("Would you like to show the window and continue recording, or cancel "
                       "the recording?")},
                   "hidden", "show", [&] { ws->show(window); }))
        return false;
    if (ws->isMinimised(window) &&
        !bringBack({SessionBox::Kind::WindowMinimized, tr("Window Minimized"),
                    tr("The target window is currently minimized."),
                    tr("Would you like to restore the window and continue recording, or "
                       "cancel the recording?")},
                   "minimized", "restore", [&] { ws->restore(window); }))
        return false;
    const QRect rect = ws->outerRect(window);
    if (rect.isNull()) {
        qWarning() << "Cannot find window width and height";
        return true;
    }
    muxThread->outputWidth = rect.width();
    muxThread->outputHeight = rect.height();
    qDebug().nospace() << "Muxer output dimensions set to: " << rect.width() << "x"
                       << rect.height();
    return true;
}

void screen_capture_win::applyResolutionSetting()
{
    if (settings.outputSize) {
        muxThread->outputWidth = settings.outputSize->width();
        muxThread->outputHeight = settings.outputSize->height();
    }
}

void screen_capture_win::pause()
{
    // Paused time is left out of the file: the clock every thread stamps with stands still.
    if (clock)
        clock->pause();
    if (videoThread)
        videoThread->pause();
    if (audioEnabled && audioThread)
        audioThread->pause();
    if (muxThread)
        muxThread->pause();
}

void screen_capture_win::setMicrophoneMuted(bool muted)
{
    const bool changed = microphoneMuted != muted;
    microphoneMuted = muted;
    if (audioThread)
        audioThread->setMicrophoneMuted(muted);
    if (changed && microphone && audioThread && audioThread->isRunning())
        qInfo() << (muted ? "Microphone muted." : "Microphone on again.");
}

void screen_capture_win::resume()
{
    if (clock)
        clock->resume();
    if (videoThread)
        videoThread->resume();
    if (audioEnabled && audioThread)
        audioThread->resume();
    if (muxThread)
        muxThread->resume();
}

void screen_capture_win::stop(bool quiet)
{
    quietStop = quiet;
    diskWatch->stop();
    if (startWait) {
        // Stopped while the share dialog is open or the capture gets ready: the recording never
        // starts.
        startAbandoned = true;
        startWait->quit();
    }
    // A paused encoder holds its item and drains nothing, and a capture thread whose last push
    // waits on a full queue never ends: the encoder goes on before the capture threads are
    // waited for.
    if (muxThread)
        muxThread->requestStop();
    bool endLeftOut = false;
    if (videoThread) {
        videoThread->requestStop();
        if (audioEnabled && audioThread)
            audioThread->requestStop();
        if (!joinProducers(QDeadlineTimer(kProducerStopMs)) && frameQueue) {
            // The encoder is too far behind to take their last items in time: closing the queue
            // drops those, and a push waiting for room returns.
            qWarning() << "The capture threads did not end in time; their last items are left out.";
            endLeftOut = true;
            frameQueue->close();
            joinProducers(QDeadlineTimer(kProducerStopMs));
        }
    }
    // The queue closes when the last capture thread ends; closing it here as well means a mux
    // can never wait for producers that were never started.
    if (frameQueue)
        frameQueue->close();
    bool unfinished = false;
    if (muxThread && !muxThread->wait(QDeadlineTimer(kEncoderDrainMs))) {
        qWarning() << "The encoder did not work off the queue in time; the rest is left out.";
        endLeftOut = true;
        muxThread->finishNow();
        unfinished = !muxThread->wait(QDeadlineTimer(kEncoderFinishMs));
    }
    const QString file = QDir::toNativeSeparators(QFileInfo(outputPath).absoluteFilePath());
    if (unfinished)
        reportStopProblem(tr("%1 could not be finished: writing it does not end. The file may "
                             "not play.")
                              .arg(file));
    else if (endLeftOut && muxStarted)
        reportStopProblem(tr("The encoder could not keep up: the end of the recording was left "
                             "out to finish %1 in time.")
                              .arg(file));
    abandonStuckThreads();
    portal.reset();
    // Stopped before its first picture: the file is of no use to anyone, and goes unannounced.
    if (muxStarted && !unfinished && holdsNoPicture(outputPath)) {
        removedEmptyFile = QFile::remove(outputPath);
        qInfo().noquote() << "Stopped before the first picture; file removed:" << outputPath;
    }
    muxStarted = false;
}

bool screen_capture_win::ask(const SessionBox& box)
{
    if (boxHandler)
        return boxHandler(box);

    return showSessionBox(box, qobject_cast<QWidget*>(parent()));
}

void screen_capture_win::onCaptureMessage(MSG_TYPE type, const QString& text)
{
    switch (type) {
    case MSG_INFO:
        // After a failure the file is finished as far as it goes; that is no news of its own.
        if (startTrigger == StartTrigger::User && !quietStop && !endedByItself)
            ask({SessionBox::Kind::Info, tr("Info"), text, {}});
        break;
    case MSG_ERROR:
        endByItself(tr("Warning"), text);
        break;
    case MSG_WARNING:
        if (startTrigger == StartTrigger::User)
            ask({SessionBox::Kind::Warning, tr("Warning"), text, {}});
        break;
    }
}

void screen_capture_win::onMuxMessage(MSG_TYPE type, const QString& text)
{
    // Its errors name the file and what went wrong; its one warning, a recording without crash
    // protection, is shown like the capture's.
    if (type == MSG_ERROR) {
        endByItself(DiskSpaceWatchdog::stoppedTitle(), text);
    } else if (type == MSG_WARNING) {
        onCaptureMessage(type, text);
    } else if (type == MSG_INFO && !removedEmptyFile) {
        // The end of the file: where it is.
        const QString path = QDir::toNativeSeparators(QFileInfo(outputPath).absoluteFilePath());
        if (startTrigger != StartTrigger::User || !endBoxShown) {
            if (!quietStop && !endedByItself)
                Q_EMIT fileFinished(path);
            return;
        }
        onCaptureMessage(type, outputPath.isEmpty() ? text : text + QStringLiteral("\n") + path);
    }
}

void screen_capture_win::endByItself(const QString& title, const QString& text)
{
    if (endedByItself) {
        qDebug().noquote() << "Recording already stopping; not shown:" << text;
        return;
    }
    endedByItself = true;
    diskWatch->stop();
    Q_EMIT stopRecording();
    if (startTrigger == StartTrigger::User)
        ask({SessionBox::Kind::Warning, title, text, {}});
}

bool screen_capture_win::joinProducers(QDeadlineTimer deadline)
{
    bool ended = !audioThread || audioThread->wait(deadline);
    if (videoThread)
        ended = videoThread->wait(deadline) && ended;
    return ended;
}

void screen_capture_win::abandonStuckThreads()
{
    bool stuck = false;
    const auto abandon = [&stuck](auto& thread) {
        if (!thread || !thread->isRunning())
            return;
        // Freeing a running thread would end the process; it is left to end on its own.
        qWarning() << "A recording thread did not end in time and is left running:"
                   << thread->metaObject()->className();
        thread->disconnect();
        [[maybe_unused]] QThread* left = thread.release();
        stuck = true;
    };
    abandon(videoThread);
    abandon(audioThread);
    abandon(muxThread);
    if (stuck && frameQueue) {
        [[maybe_unused]] FrameQueue* left = frameQueue.release();
    }
}

void screen_capture_win::reportStopProblem(const QString& text)
{
    qWarning().noquote() << text;
    if (endedByItself)
        return;
    // Also keeps the box of the file's end, which would say all went well, from showing.
    endedByItself = true;
    if (startTrigger == StartTrigger::User)
        ask({SessionBox::Kind::Warning, tr("Warning"), text, {}});
}

void screen_capture_win::onEncoderLag()
{
    if (startTrigger != StartTrigger::User || quietStop)
        return;
    const SessionBox box{
        SessionBox::Kind::EncoderLag,
        tr("Encoder Lag Detected"),
        tr("The encoding speed cannot keep up with the capture frame rate. The encoder is more "
           "than 3 seconds behind the capture thread. This may result in dropped frames.") +
            QStringLiteral("\n\n") + tr("Do you want to continue recording?"),
        {}};
    if (!ask(box))
        Q_EMIT stopRecording();
}
