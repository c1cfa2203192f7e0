#include "video_capture_thread_win.h"

#include "CaptureGeometry.h"
#include "FramePacer.h"
#include "VideoFramePool.h"
#include "platform/ScreenGrabber.h"
#include "platform/WindowSystem.h"

#include <QDebug>

#include <cstdlib>

namespace {
constexpr int kResizeTolerancePx = 5;
constexpr int kMinimisedSleepMs = 50;

void makeEven(AVFrame* frame)
{
    if (frame->width > 2)
        frame->width &= ~1;
    if (frame->height > 2)
        frame->height &= ~1;
}
} // namespace

void video_capture_thread_win::captureWgc(WindowSystem& ws)
{
    QString reason;
    std::unique_ptr<ScreenGrabber> grabber =
        ScreenGrabber::create(ScreenGrabber::Kind::Composite, &reason);
    if (!grabber) {
        warn(QStringLiteral("GraphicsCaptureItem is not supported on this system."));
        captureGdi(ws);
        return;
    }
    const bool window = target_.targetType == TargetWindow;
    QRect lastRect;
    if (window) {
        if (!grabber->setWindow(target_.targetWindow, &reason)) {
            warn(QStringLiteral("Failed to create capture item. Falling back to GDI."));
            captureGdi(ws);
            return;
        }
        lastRect = ws.outerRect(target_.targetWindow);
    } else {
        QRect rect;
        if (!screenRect(ws, false, &rect))
            return;
        if (!grabber->setScreenRect(rect, &reason)) {
            warn(QStringLiteral("Failed to create capture item. Falling back to GDI."));
            captureGdi(ws);
            return;
        }
    }
    VideoFramePool pool;
    auto pacer = makePacer(FramePacer::kSleepLogPrefix);
    pacer->begin();
    while (pacer->startIteration()) {
        if (window) {
            const NativeWindow w = target_.targetWindow;
            if (!ws.isWindow(w)) {
                error(QStringLiteral("Target window is closed or invalid."));
                break;
            }
            if (ws.isMinimised(w))
                ws.restore(w);
            else if (!ws.isVisible(w))
                ws.show(w);
            const QRect now = ws.outerRect(w);
            if (!now.isNull() &&
                (std::abs(now.width() - lastRect.width()) > kResizeTolerancePx ||
                 std::abs(now.height() - lastRect.height()) > kResizeTolerancePx)) {
                qInfo() << "Detected significant size change. Recreating frame pool.";
                grabber->setWindow(w);
                lastRect = now;
            }
        }
        SharedFrame frame;
        if (grabber->grab(pool, &frame) == ScreenGrabber::Result::Frame && frame) {
            makeEven(frame.get());
            pacer->submit(std::move(frame));
        }
        pacer->finishIteration();
    }
}

void video_capture_thread_win::captureDxgi(WindowSystem& ws)
{
    QString reason;
    std::unique_ptr<ScreenGrabber> grabber =
        ScreenGrabber::create(ScreenGrabber::Kind::SharedMemory, &reason);
    if (!grabber) {
        qWarning().noquote() << "Failed to duplicate output: " << reason;
        warn(QStringLiteral("Failed to duplicate output. Falling back to GDI."));
        captureGdi(ws);
        return;
    }
    const bool window = target_.targetType == TargetWindow;
    if (window) {
        if (!grabber->setWindow(target_.targetWindow, &reason)) {
            warn(QStringLiteral("Failed to duplicate output. Falling back to GDI."));
            captureGdi(ws);
            return;
        }
    } else {
        QRect rect;
        if (!screenRect(ws, true, &rect))
            return;
        if (!grabber->setScreenRect(rect, &reason)) {
            warn(QStringLiteral("Failed to duplicate output. Falling back to GDI."));
            captureGdi(ws);
            return;
        }
    }
    VideoFramePool pool;
    auto pacer = makePacer(FramePacer::kSleepLogPrefix);
    pacer->begin();
    while (pacer->startIteration()) {
        if (window) {
            const NativeWindow w = target_.targetWindow;
            if (!ws.isWindow(w)) {
                error(QStringLiteral("Target window was closed during recording."));
                break;
            }
            if (ws.isMinimised(w)) {
                QThread::msleep(kMinimisedSleepMs);
                continue;
            }
            if (!ws.isVisible(w))
                ws.show(w);
        }
        SharedFrame frame;
        const auto result = grabber->grab(pool, &frame);
        if (result == ScreenGrabber::Result::NoChange) {
            QThread::msleep(1);
            continue;
        }
        if (result == ScreenGrabber::Result::Frame && frame) {
            makeEven(frame.get());
            pacer->submit(std::move(frame));
        }
        pacer->finishIteration();
    }
}

void video_capture_thread_win::captureGdi(WindowSystem& ws, FramePacer* pacerIn)
{
    QString reason;
    std::unique_ptr<ScreenGrabber> grabber =
        ScreenGrabber::create(ScreenGrabber::Kind::Compatible, &reason);
    if (!grabber) {
        error(QStringLiteral("GDI capture could not start: %1").arg(reason));
        return;
    }
    std::unique_ptr<FramePacer> ownPacer;
    FramePacer* pacer = pacerIn;
    if (!pacer) {
        ownPacer = makePacer(FramePacer::kGdiSleepLogPrefix);
        pacer = ownPacer.get();
        pacer->begin();
    }
    const bool window = target_.targetType == TargetWindow;
    QRect lastRect;
    if (window) {
        if (!grabber->setWindow(target_.targetWindow, &reason)) {
            error(QStringLiteral("Target window was closed during GDI recording."));
            return;
        }
        lastRect = ws.outerRect(target_.targetWindow);
    } else {
        QRect rect;
        if (!screenRect(ws, false, &rect))
            return;
        if (!grabber->setScreenRect(rect, &reason)) {
            error(QStringLiteral("GDI capture could not start: %1").arg(reason));
            return;
        }
    }
    VideoFramePool pool;
    while (pacer->startIteration()) {
        if (window) {
            const NativeWindow w = target_.targetWindow;
            if (!ws.isWindow(w)) {
                error(QStringLiteral("Target window was closed during GDI recording."));
                break;
            }
            if (ws.isMinimised(w)) {
                QThread::msleep(kMinimisedSleepMs);
                continue;
            }
            if (!ws.isVisible(w))
                ws.show(w);
            const QRect now = ws.outerRect(w);
            if (!now.isNull() && now.size() != lastRect.size()) {
                qInfo() << "Window size changed. Recreating GDI resources.";
                // Start over on the same pacer so the pts keep following the clock.
                grabber.reset();
                captureGdi(ws, pacer);
                return;
            }
        }
        SharedFrame frame;
        if (grabber->grab(pool, &frame) == ScreenGrabber::Result::Frame && frame) {
            makeEven(frame.get());
            pacer->submit(std::move(frame));
        }
        pacer->finishIteration();
    }
}
