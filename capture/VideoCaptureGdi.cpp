// The plain-read ("GDI") capture loop of video_capture_thread_win: the one that needs no
// extension, used when chosen and as the last fallback.
#include "video_capture_thread_win.h"

#include "CaptureGeometry.h"
#include "FramePacer.h"
#include "VideoCaptureFrames.h"
#include "platform/ScreenGrabber.h"
#include "platform/WindowSystem.h"

#include <QDebug>

namespace {
constexpr int kMinimisedSleepMs = 50;
constexpr int kShowWindowSleepMs = 100;
constexpr int kFailedGrabSleepMs = 1;
} // namespace

void video_capture_thread_win::captureGDI(WindowSystem* ws)
{
    // A window whose size changes starts the capture over with resources of the new size; a
    // loop, not a recursion, so a window resized again and again cannot exhaust the stack. The
    // pacer is kept across restarts so that the frames' pts keep following the capture clock.
    std::unique_ptr<FramePacer> pacer;
    while (captureGdiOnce(ws, pacer) == GdiEnd::Restart) {
    }
    qInfo() << "GDI capture completed.";
}

video_capture_thread_win::GdiEnd
video_capture_thread_win::captureGdiOnce(WindowSystem* ws, std::unique_ptr<FramePacer>& pacer)
{
    qDebug() << "Starting GDI/PrintWindow capture fallback...";
    const bool window = target_.targetType == TargetWindow;
    const NativeWindow w = target_.targetWindow;
    QString reason;
    std::unique_ptr<ScreenGrabber> grabber;
    QRect source;
    if (!window) {
        grabber = ScreenGrabber::create(ScreenGrabber::Kind::Compatible, &reason);
        if (!grabber || !ws) {
            qWarning().noquote() << "Failed to get screen DC." << reason;
            Q_EMIT msgSignal(MSG_ERROR, QStringLiteral("Failed to get screen DC for GDI capture."));
            return GdiEnd::Finished;
        }
        MonitorInfo monitor;
        if (target_.areaMode) {
            // The area is placed on the screen being recorded, as the other loops place it.
            if (!ws->monitorFromPoint(target_.targetRect.topLeft() + QPoint(1, 1), false, &monitor))
                monitor.geometry = target_.targetRect;
            const QRect scaled = capturegeometry::scaleToPhysical(captureArea_, ws->effectiveDpi());
            source = scaled.translated(monitor.geometry.topLeft());
            QString warning;
            if (!capturegeometry::scaleCaptureArea(captureArea_, ws->effectiveDpi(),
                                                   monitor.geometry, &warning)) {
                // Reading off the screen is an error on X, so an area that leaves it is refused.
                qWarning().noquote() << warning;
                source.setSize(QSize(0, 0));
            }
        } else {
            if (!ws->monitorFromPoint(target_.targetRect.topLeft() + QPoint(1, 1), false,
                                      &monitor)) {
                sendError(QStringLiteral("Failed to get monitor info for GDI capture."));
                return GdiEnd::Finished;
            }
            source = capturegeometry::evenRect(monitor.geometry);
        }
    } else {
        if (!ws || w == 0 || !ws->isWindow(w)) {
            sendError(QStringLiteral("Target window is invalid for GDI capture."));
            return GdiEnd::Finished;
        }
        if (!ws->isVisible(w) && !ws->isMinimised(w)) {
            qInfo() << "Window is hidden. Showing window for GDI recording.";
            ws->show(w);
            QThread::msleep(kShowWindowSleepMs);
        }
        if (ws->isMinimised(w)) {
            qInfo() << "Window is minimized. Restoring window for GDI recording.";
            ws->restore(w);
            QThread::msleep(kShowWindowSleepMs);
        }
        const QRect outer = ws->outerRect(w);
        if (outer.isNull()) {
            qWarning() << "Failed to get window rect.";
            Q_EMIT msgSignal(MSG_ERROR,
                             QStringLiteral("Failed to get window rect for GDI capture."));
            return GdiEnd::Finished;
        }
        source = QRect(QPoint(0, 0), outer.size());
        grabber = ScreenGrabber::create(ScreenGrabber::Kind::Compatible, &reason);
        // The frame window gives the outer image, decorations included.
        if (!grabber || !grabber->setWindow(ws->frameWindow(w), &reason)) {
            qWarning().noquote() << "Failed to get window DC." << reason;
            Q_EMIT msgSignal(MSG_ERROR, QStringLiteral("Failed to get window DC for GDI capture."));
            return GdiEnd::Finished;
        }
    }
    if (source.width() <= 0 || source.height() <= 0) {
        qWarning().noquote().nospace()
            << "Invalid capture dimensions: " << source.width() << "x" << source.height();
        Q_EMIT msgSignal(MSG_ERROR, QStringLiteral("Invalid capture dimensions for GDI capture."));
        return GdiEnd::Finished;
    }
    if (!window && !grabber->setScreenRect(source, &reason)) {
        qWarning().noquote() << "Failed to create compatible DC." << reason;
        Q_EMIT msgSignal(MSG_ERROR,
                         QStringLiteral("Failed to create compatible DC for GDI capture."));
        return GdiEnd::Finished;
    }
    if (!pacer) {
        pacer = makePacer(FramePacer::kGdiSleepLogPrefix);
        pacer->begin();
    }

    VideoFramePool pool;
    VideoFramePool fitPool;
    while (pacer->startIteration()) {
        if (window) {
            if (!ws->isWindow(w)) {
                qWarning() << "Target window closed during GDI recording.";
                Q_EMIT msgSignal(MSG_ERROR,
                                 QStringLiteral("Target window was closed during GDI recording."));
                return GdiEnd::Finished;
            }
            if (ws->isMinimised(w)) {
                QThread::msleep(kMinimisedSleepMs);
                continue;
            }
            const QRect now = ws->outerRect(w);
            if (!now.isNull() && now.size() != source.size()) {
                qInfo() << "Window size changed. Recreating GDI resources.";
                return GdiEnd::Restart;
            }
        }
        SharedFrame image;
        if (grabber->grab(pool, &image) != ScreenGrabber::Result::Frame || !image) {
            qWarning() << "Failed to capture frame with GDI.";
            QThread::msleep(kFailedGrabSleepMs);
            continue;
        }
        // The image always has the size the capture was set up for, as a bitmap would.
        SharedFrame frame = window ? videoframes::fitToSize(fitPool, image, source.size()) : image;
        if (frame) {
            videoframes::makeEven(frame.get());
            pacer->submit(std::move(frame));
        }
        pacer->finishIteration();
    }
    if (pacer->stopRequested())
        pacer->fillToClock();
    return GdiEnd::Finished;
}
