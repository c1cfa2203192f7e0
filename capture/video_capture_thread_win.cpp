#include "video_capture_thread_win.h"

#include "CaptureGeometry.h"
#include "CaptureRules.h"
#include "FramePacer.h"
#include "VideoCaptureFrames.h"

#include "media/FrameQueue.h"
#include "platform/posix/CrashHandler.h"

#include <QDebug>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

using Kind = ScreenGrabber::Kind;

namespace {
// A window resized by up to this many pixels keeps the frame size it had (composite reads).
constexpr int kResizeTolerancePx = 5;
constexpr int kMinimisedSleepMs = 50;
constexpr int kShowWindowSleepMs = 100;
constexpr int kStartSleepMs = 50;
constexpr int kNoFrameSleepMs = 5;
constexpr int kFailedGrabSleepMs = 1;
} // namespace

// What the set-up of one grabber leaves to the loop.
struct video_capture_thread_win::Target
{
    std::unique_ptr<ScreenGrabber> grabber;
    // Screen target: the desktop rect read; nothing when the area does not fit (areaWarning).
    std::optional<QRect> readRect;
    QString areaWarning;
    QRect monitor;   // the monitor read (shared-memory reads and areas)
    QSize frameSize; // window target: the size every frame keeps (composite and plain reads)
};

video_capture_thread_win::video_capture_thread_win(FrameQueue* frameQueue, QObject* parent)
    : QThread(parent), frameQueue_(frameQueue), platform_(CapturePlatform::system())
{
    avdevice_register_all();
    avformat_network_init();
}

video_capture_thread_win::~video_capture_thread_win()
{
    if (isRunning()) {
        requestStop();
        quit();
        wait();
    }
}

bool video_capture_thread_win::init(int targetType, const QString& targetTitle,
                                    const QRect& targetRect, bool areaMode)
{
    target_.targetType = targetType == TargetWindow ? TargetWindow : TargetScreen;
    target_.targetTitle = targetTitle;
    target_.targetRect = targetRect;
    target_.areaMode = areaMode;
    return true;
}

void video_capture_thread_win::setCapture(ScreenGrabber::Kind kind, int fps)
{
    captureKind_ = kind;
    fps_ = fps;
}

void video_capture_thread_win::setTargetWindow(NativeWindow window)
{
    target_.targetWindow = window;
}

void video_capture_thread_win::setCaptureArea(int x, int y, int width, int height)
{
    captureArea_ = QRect(x, y, width, height);
}

void video_capture_thread_win::setDevicePixelRatio(double ratio)
{
    dpi_ = 96.0 * (ratio > 0.0 ? ratio : 1.0);
}

void video_capture_thread_win::setClock(std::shared_ptr<CaptureClockQpc> clock)
{
    clock_ = std::move(clock);
}

void video_capture_thread_win::setStream(std::unique_ptr<ScreenGrabber> grabber, QSize size)
{
    stream_ = std::move(grabber);
    streamSize_ = size;
    useStream_ = true;
}

void video_capture_thread_win::setPlatform(CapturePlatform platform)
{
    const CapturePlatform system = CapturePlatform::system();
    if (!platform.openWindowSystem)
        platform.openWindowSystem = system.openWindowSystem;
    if (!platform.createGrabber)
        platform.createGrabber = system.createGrabber;
    if (!platform.openStream)
        platform.openStream = system.openStream;
    if (!platform.sleepMs)
        platform.sleepMs = system.sleepMs;
    platform_ = std::move(platform);
}

void video_capture_thread_win::pause()
{
    paused_ = true;
}

void video_capture_thread_win::resume()
{
    paused_ = false;
}

void video_capture_thread_win::requestStop()
{
    stopRequested_ = true;
    paused_ = false;
    startGate_.open();
}

void video_capture_thread_win::sendError(const QString& text, const QString& detail)
{
    qWarning().noquote() << (detail.isEmpty() ? text : text + QLatin1Char(' ') + detail);
    Q_EMIT msgSignal(MSG_ERROR, text);
}

video_capture_thread_win::End video_capture_thread_win::fallBack(const QString& text,
                                                                 const QString& detail)
{
    qWarning().noquote() << (detail.isEmpty() ? text : text + QLatin1Char(' ') + detail);
    Q_EMIT msgSignal(MSG_WARNING, text);
    return End::FallBack;
}

std::unique_ptr<FramePacer> video_capture_thread_win::makePacer()
{
    auto pacer = std::make_unique<FramePacer>(frameQueue_, clock_, stopRequested_, paused_,
                                              platform_.pacing);
    connect(pacer.get(), &FramePacer::fpsSignal, this, &video_capture_thread_win::fpsSignal,
            Qt::DirectConnection);
    connect(pacer.get(), &FramePacer::encoderLagDetected, this,
            &video_capture_thread_win::encoderLagDetected, Qt::DirectConnection);
    return pacer;
}

void video_capture_thread_win::run()
{
    CrashHandler::installAltStackForThisThread();
    // The display connection stands in for the graphics device: without it only the plain
    // reads are left to try, and they report what is missing.
    QString reason;
    std::unique_ptr<WindowSystem> ws;
    if (!useStream_)
        ws = platform_.openWindowSystem(&reason);
    Kind kind = Kind::Compatible;
    if (useStream_) {
        qInfo() << "Wayland capture: ScreenCast portal (PipeWire).";
    } else if (!ws) {
        const QString text =
            QStringLiteral("Failed to create D3D11 device. Attempting GDI fallback.");
        qWarning().noquote() << text << reason;
        Q_EMIT msgSignal(MSG_WARNING, text);
    } else if (captureKind_ == Kind::Composite) {
        qInfo() << "Attempting WGC capture... (X Composite window images)";
        kind = Kind::Composite;
    } else if (captureKind_ == Kind::SharedMemory) {
        qInfo() << "Attempting DXGI capture... (X MIT-SHM reads)";
        kind = Kind::SharedMemory;
    } else {
        qWarning() << "GDI Capture (plain X GetImage reads)";
    }

    // One pacer for the whole recording, so that frames keep following the clock across a
    // fallback or a restart.
    std::unique_ptr<FramePacer> pacer;
    for (;;) {
        const End end = capture(kind, ws.get(), pacer);
        if (end == End::FallBack) {
            kind = Kind::Compatible; // the plain reads are never left for another kind
            continue;
        }
        if (end == End::Finished)
            break;
    }
    if (pacer && pacer->stopRequested())
        pacer->fillToClock();
    if (kind == Kind::Compatible && !useStream_)
        qInfo() << "GDI capture completed.";
    pacer.reset();
    startGate_.ready(); // an early end keeps nobody waiting
    qInfo() << "Quitting videoCaptureThread....!";
    // Always closed, so the mux finishes the file whatever ended the capture.
    if (frameQueue_)
        frameQueue_->producerFinished();
}

std::optional<QRect> video_capture_thread_win::screenReadRect(const QRect& monitor,
                                                              QString* warning) const
{
    if (!target_.areaMode)
        return capturegeometry::evenRect(monitor);
    return capturegeometry::scaleCaptureArea(captureArea_, dpi_, monitor, warning);
}

std::optional<video_capture_thread_win::Target> video_capture_thread_win::prepareStream()
{
    Target t;
    t.grabber = std::move(stream_);
    if (!t.grabber) {
        sendError(tr("The shared screen or window cannot be read."));
        return std::nullopt;
    }
    // The desktop gives the size in its logical pixels; the images come in physical ones.
    const QSize pixels = (QSizeF(streamSize_) * (dpi_ / 96.0)).toSize();
    t.monitor = QRect(QPoint(0, 0), pixels);
    QString reason;
    if (target_.targetType == TargetWindow) {
        t.frameSize = QSize(pixels.width() & ~1, pixels.height() & ~1);
        t.grabber->setWindow(0, &reason);
        return t;
    }
    // A screen or area keeps its size, so its frames can leave the grabber as 4:2:0; a
    // window's are fitted to the size the recording started with, in BGRA.
    t.grabber->setI420Frames(i420Frames_);
    t.readRect = screenReadRect(t.monitor, &t.areaWarning);
    if (t.readRect && !t.grabber->setScreenRect(*t.readRect, &reason)) {
        qWarning().noquote() << "Failed to crop the stream:" << reason;
        sendError(tr("The shared screen or window cannot be read."));
        return std::nullopt;
    }
    return t;
}

std::optional<video_capture_thread_win::Target>
video_capture_thread_win::prepare(const CaptureRules& rules, WindowSystem* ws, End* end)
{
    *end = End::Finished;
    if (useStream_)
        return prepareStream();
    const bool window = target_.targetType == TargetWindow;
    Target t;
    QString reason;
    if (rules.kind == Kind::Compatible)
        qDebug() << "Starting GDI/PrintWindow capture fallback...";
    t.grabber = platform_.createGrabber(rules.kind, &reason);
    if (!t.grabber || !ws) {
        *end = grabberMissing(rules.kind, ws, reason);
        return std::nullopt;
    }
    if (window && rules.kind != Kind::SharedMemory && !prepareWindow(rules, ws, &t, end))
        return std::nullopt;
    if (!placeOnMonitor(rules.kind, ws, &t))
        return std::nullopt;
    const QSize size = window && rules.kind == Kind::Compatible
                           ? t.frameSize
                           : (t.readRect ? t.readRect->size() : QSize(1, 1));
    if (rules.kind == Kind::Compatible && (size.width() <= 0 || size.height() <= 0)) {
        qWarning().noquote().nospace()
            << "Invalid capture dimensions: " << size.width() << "x" << size.height();
        Q_EMIT msgSignal(MSG_ERROR, QStringLiteral("Invalid capture dimensions for GDI capture."));
        return std::nullopt;
    }

    if (t.readRect && !t.grabber->setScreenRect(*t.readRect, &reason)) {
        switch (rules.kind) {
        case Kind::Composite:
            *end = fallBack(QStringLiteral("Failed to create capture item. Falling back to GDI."),
                            reason);
            break;
        case Kind::SharedMemory:
            qWarning().noquote() << "Failed to duplicate output: " << reason;
            *end = fallBack(QStringLiteral("Failed to duplicate output. Falling back to GDI."));
            break;
        case Kind::Compatible:
            qWarning().noquote() << "Failed to create compatible DC." << reason;
            Q_EMIT msgSignal(MSG_ERROR,
                             QStringLiteral("Failed to create compatible DC for GDI capture."));
            break;
        }
        return std::nullopt;
    }
    if (!window)
        t.grabber->setI420Frames(i420Frames_);
    if (rules.kind == Kind::Composite) {
        t.grabber->setCursorCapture(cursorCapture_);
        platform_.sleepMs(kStartSleepMs);
    }
    return t;
}

video_capture_thread_win::End video_capture_thread_win::grabberMissing(Kind kind, WindowSystem* ws,
                                                                       const QString& reason)
{
    const bool window = target_.targetType == TargetWindow;
    switch (kind) {
    case Kind::Composite:
        qWarning().noquote() << "GraphicsCaptureItem is not supported on this system." << reason;
        return End::FallBack;
    case Kind::SharedMemory:
        qWarning().noquote() << "Failed to get DXGI device: " << reason;
        return fallBack(QStringLiteral("Failed to get DXGI device. Falling back to GDI."));
    case Kind::Compatible:
        if (window && (!ws || target_.targetWindow == 0)) {
            sendError(QStringLiteral("Target window is invalid for GDI capture."),
                      ws ? QStringLiteral("No X window chosen.") : reason);
        } else if (window) {
            qWarning().noquote() << "Failed to get window DC." << reason;
            Q_EMIT msgSignal(MSG_ERROR, QStringLiteral("Failed to get window DC for GDI capture."));
        } else {
            qWarning().noquote() << "Failed to get screen DC." << reason;
            Q_EMIT msgSignal(MSG_ERROR, QStringLiteral("Failed to get screen DC for GDI capture."));
        }
        break;
    }
    return End::Finished;
}

bool video_capture_thread_win::prepareWindow(const CaptureRules& rules, WindowSystem* ws, Target* t,
                                             End* end)
{
    const NativeWindow w = target_.targetWindow;
    WindowState state = ws->windowState(w);
    if (!state.exists) {
        sendError(rules.kind == Kind::Composite
                      ? QStringLiteral("Failed to find the target window.")
                      : QStringLiteral("Target window is invalid for GDI capture."),
                  CaptureRules::windowGone(w));
        return false;
    }
    if (!state.visible && !state.minimised) {
        qInfo() << rules.hiddenAtStart;
        ws->show(w);
        platform_.sleepMs(kShowWindowSleepMs);
        state = ws->windowState(w);
    }
    if (state.minimised) {
        qInfo() << rules.minimisedAtStart;
        ws->restore(w);
        platform_.sleepMs(kShowWindowSleepMs);
        state = ws->windowState(w);
    }
    if (rules.kind == Kind::Compatible && state.outer.isNull()) {
        qWarning() << "Failed to get window rect.";
        Q_EMIT msgSignal(MSG_ERROR, QStringLiteral("Failed to get window rect for GDI capture."));
        return false;
    }
    // The frame window holds the decorations, so its image has the window's outer size.
    QString reason;
    if (!t->grabber->setWindow(ws->frameWindow(w), &reason)) {
        if (rules.kind == Kind::Composite) {
            *end = fallBack(QStringLiteral("Failed to create capture item. Falling back to GDI."),
                            reason);
        } else {
            qWarning().noquote() << "Failed to get window DC." << reason;
            Q_EMIT msgSignal(MSG_ERROR, QStringLiteral("Failed to get window DC for GDI capture."));
        }
        return false;
    }
    t->frameSize = state.outer.size();
    return true;
}

bool video_capture_thread_win::placeOnMonitor(Kind kind, WindowSystem* ws, Target* t)
{
    const bool window = target_.targetType == TargetWindow;
    const QPoint targetPoint = target_.targetRect.topLeft() + QPoint(1, 1);
    MonitorInfo monitor;
    switch (kind) {
    case Kind::Composite:
        if (window)
            break;
        if (!ws->monitorFromPoint(targetPoint, false, &monitor)) {
            sendError(QStringLiteral("Failed to get default monitor."));
            return false;
        }
        t->monitor = monitor.geometry;
        t->readRect = screenReadRect(monitor.geometry, &t->areaWarning);
        break;
    case Kind::SharedMemory: {
        const QRect windowRect = window ? ws->windowState(target_.targetWindow).outer : QRect();
        const bool found = !windowRect.isNull() ? ws->monitorFromRect(windowRect, &monitor)
                                                : ws->monitorFromPoint(targetPoint, true, &monitor);
        if (!found) {
            sendError(QStringLiteral("Failed to get monitor."));
            return false;
        }
        QRect output = monitor.geometry;
        if (output.width() % 2 != 0 || output.height() % 2 != 0) {
            qWarning() << "Odd dimensions detected. Adjusting...";
            qWarning().noquote().nospace()
                << "Frame size must be multiples of 2. Width: " << output.width()
                << " Height: " << output.height();
            output.setWidth(output.width() & ~1);
            output.setHeight(output.height() & ~1);
        }
        t->monitor = output;
        t->readRect =
            window ? std::optional<QRect>(output) : screenReadRect(output, &t->areaWarning);
        break;
    }
    case Kind::Compatible:
        if (window)
            break;
        if (!ws->monitorFromPoint(targetPoint, false, &monitor)) {
            // An area is placed on the recorded screen's rectangle even without monitor info.
            if (!target_.areaMode) {
                sendError(QStringLiteral("Failed to get monitor info for GDI capture."));
                return false;
            }
            monitor.geometry = target_.targetRect;
        }
        t->monitor = monitor.geometry;
        t->readRect = screenReadRect(monitor.geometry, &t->areaWarning);
        if (!t->readRect) {
            // Reading off the screen is an error on X, so an area that leaves it is refused as
            // one of no size.
            qWarning().noquote() << t->areaWarning;
            t->readRect = QRect();
        }
        break;
    }
    return true;
}

video_capture_thread_win::End video_capture_thread_win::capture(Kind kind, WindowSystem* ws,
                                                                std::unique_ptr<FramePacer>& pacer)
{
    const CaptureRules& rules = useStream_ ? CaptureRules::stream() : CaptureRules::forKind(kind);
    End end = End::Finished;
    std::optional<Target> t = prepare(rules, ws, &end);
    if (!t)
        return end;
    const bool window = target_.targetType == TargetWindow;
    if (!pacer) {
        // All the queue may hold: a picture made once the encoder is behind costs a slot.
        t->grabber->prepare(frameQueue_ ? std::size_t(frameQueue_->byteBudget()) : 0);
        startGate_.pass();
        pacer = makePacer();
        pacer->begin(fps_);
    }

    VideoFramePool pool;
    VideoFramePool fitPool;
    VideoFramePool i420Pool;
    QRect readRect = t->readRect.value_or(QRect());
    SharedFrame lastFrame; // the stream's still image
    while (pacer->startIteration()) {
        if (window && !useStream_) {
            const Follow follow = followWindow(rules, ws, &*t, &readRect, &end);
            if (follow == Follow::Ended)
                return end;
            if (follow == Follow::Skip)
                continue;
        } else if (!window && !t->readRect) {
            // An area that does not fit the monitor gives no frames, only this warning.
            qWarning().noquote() << t->areaWarning;
            qWarning() << rules.failedImageLog;
            pacer->finishIteration();
            continue;
        }

        SharedFrame image;
        const ScreenGrabber::Result result = t->grabber->grab(pool, &image);
        if (result == ScreenGrabber::Result::Lost) {
            if (useStream_) {
                sendError(tr("The desktop stopped sharing the screen or window."));
                return End::Finished;
            }
            if (rules.lostFallBack)
                return fallBack(QString::fromLatin1(rules.lostFallBack),
                                CaptureRules::kDisplayLost);
            qWarning().noquote() << rules.failedImageLog << CaptureRules::kDisplayLost;
            sendError(window ? QStringLiteral("Failed to get window DC for GDI capture.")
                             : QStringLiteral("Failed to get screen DC for GDI capture."));
            return End::Finished;
        }
        if (result != ScreenGrabber::Result::Frame || !image) {
            onNoImage(rules, result, *pacer, lastFrame);
            continue;
        }
        // Window images keep the size the capture was set up for; a screen or a window crop
        // travels as it was read.
        SharedFrame frame = window && t->frameSize.isValid()
                                ? videoframes::fitToSize(fitPool, image, t->frameSize)
                                : std::move(image);
        if (!window && target_.areaMode)
            qDebug().noquote() << QStringLiteral("Capture area: startX=%1, startY=%2, width=%3, "
                                                 "height=%4")
                                      .arg(readRect.x() - t->monitor.x())
                                      .arg(readRect.y() - t->monitor.y())
                                      .arg(readRect.width())
                                      .arg(readRect.height());
        if (frame) {
            videoframes::makeEven(frame.get());
            if (i420Frames_)
                frame = videoframes::toI420(i420Pool, frame);
            if (useStream_)
                lastFrame = frame;
            pacer->submit(std::move(frame));
        } else {
            qWarning() << rules.failedImageLog;
        }
        pacer->finishIteration();
    }
    return End::Finished;
}

video_capture_thread_win::Follow video_capture_thread_win::followWindow(const CaptureRules& rules,
                                                                        WindowSystem* ws, Target* t,
                                                                        QRect* readRect, End* end)
{
    const NativeWindow w = target_.targetWindow;
    const WindowState state = ws->windowState(w);
    if (!state.exists) {
        if (rules.closedLog)
            qWarning().noquote() << rules.closedLog << CaptureRules::windowGone(w);
        sendError(QString::fromLatin1(rules.closedMessage), CaptureRules::windowGone(w));
        *end = End::Finished;
        return Follow::Ended;
    }
    if (rules.window == CaptureRules::Window::Restore) {
        if (!state.visible && !state.minimised) {
            qInfo() << rules.hiddenWhile;
            ws->show(w);
            platform_.sleepMs(kShowWindowSleepMs);
        } else if (state.minimised) {
            qInfo() << rules.minimisedWhile;
            ws->restore(w);
            platform_.sleepMs(kShowWindowSleepMs);
        }
        const QSize now = state.outer.size();
        if (!now.isEmpty() &&
            (std::abs(now.width() - t->frameSize.width()) > kResizeTolerancePx ||
             std::abs(now.height() - t->frameSize.height()) > kResizeTolerancePx)) {
            qInfo() << "Detected significant size change. Recreating frame pool.";
            t->grabber->setWindow(ws->frameWindow(w));
            t->frameSize = now;
        }
        return Follow::Grab;
    }
    if (state.minimised) {
        platform_.sleepMs(kMinimisedSleepMs);
        return Follow::Skip;
    }
    if (rules.window == CaptureRules::Window::SkipAndRestart) {
        if (!state.outer.isNull() && state.outer.size() != t->frameSize) {
            qInfo() << "Window size changed. Recreating GDI resources.";
            *end = End::Restart;
            return Follow::Ended;
        }
        return Follow::Grab;
    }
    // Only the window's part of the monitor image is read: the same pixels as cutting it out of
    // the whole image, at a fraction of the cost.
    QRect wanted = t->monitor;
    if (!state.outer.isNull()) {
        const QRect crop = capturegeometry::windowCropOnMonitor(state.outer, t->monitor);
        if (!crop.isNull())
            wanted = crop.translated(t->monitor.topLeft());
    }
    if (wanted != *readRect && t->grabber->setScreenRect(wanted))
        *readRect = wanted;
    return Follow::Grab;
}

void video_capture_thread_win::onNoImage(const CaptureRules& rules, ScreenGrabber::Result result,
                                         FramePacer& pacer, const SharedFrame& lastFrame)
{
    switch (rules.noImage) {
    case CaptureRules::NoImage::Retry:
        platform_.sleepMs(kNoFrameSleepMs);
        break;
    case CaptureRules::NoImage::NextSlot:
        // The read does not wait for a change as duplication does, so an unchanged screen is
        // polled once a frame interval rather than in a busy loop.
        pacer.finishIteration();
        break;
    case CaptureRules::NoImage::Warn:
        qWarning() << rules.failedImageLog;
        platform_.sleepMs(kFailedGrabSleepMs);
        break;
    case CaptureRules::NoImage::Repeat:
        // Slots passed without an image would otherwise be filled with the next change.
        if (lastFrame && result == ScreenGrabber::Result::NoChange)
            if (AVFrame* copy = av_frame_clone(lastFrame.get()))
                pacer.submit(makeSharedFrame(copy));
        pacer.finishIteration();
        break;
    }
}
