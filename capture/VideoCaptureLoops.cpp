// The composite ("WGC") and shared-memory ("DXGI") capture loops of video_capture_thread_win.
#include "video_capture_thread_win.h"

#include "CaptureGeometry.h"
#include "FramePacer.h"
#include "VideoCaptureFrames.h"
#include "platform/ScreenGrabber.h"
#include "platform/WindowSystem.h"

#include <QDebug>

#include <cstdlib>

namespace {
// A window resized by up to this many pixels keeps the frame size it had.
constexpr int kResizeTolerancePx = 5;
constexpr int kMinimisedSleepMs = 50;
constexpr int kShowWindowSleepMs = 100;
constexpr int kStartSleepMs = 50;
constexpr int kNoFrameSleepMs = 5;
} // namespace

void video_capture_thread_win::captureWinGraphics(WindowSystem& ws)
{
    QString reason;
    std::unique_ptr<ScreenGrabber> grabber =
        ScreenGrabber::create(ScreenGrabber::Kind::Composite, &reason);
    if (!grabber) {
        qWarning() << "GraphicsCaptureItem is not supported on this system.";
        captureGDI(&ws);
        return;
    }
    const bool window = target_.targetType == TargetWindow;
    const NativeWindow w = target_.targetWindow;
    std::optional<QRect> screenRect;
    QPoint monitorOrigin;
    QString areaWarning;
    QSize poolSize;
    if (window) {
        if (!ws.isWindow(w)) {
            sendError(QStringLiteral("Failed to find the target window."));
            return;
        }
        if (!ws.isVisible(w) && !ws.isMinimised(w)) {
            qInfo() << "Window is hidden. Showing window for recording.";
            ws.show(w);
            QThread::msleep(kShowWindowSleepMs);
        }
        if (ws.isMinimised(w)) {
            qInfo() << "Window is minimized. Restoring window for recording.";
            ws.restore(w);
            QThread::msleep(kShowWindowSleepMs);
        }
        // The frame window holds the decorations, so its image has the window's outer size.
        if (!grabber->setWindow(ws.frameWindow(w), &reason)) {
            fallBackToGdi(ws,
                          QStringLiteral("Failed to create capture item. Falling back to GDI."));
            return;
        }
        poolSize = ws.outerRect(w).size();
    } else {
        MonitorInfo monitor;
        if (!ws.monitorFromPoint(target_.targetRect.topLeft() + QPoint(1, 1), false, &monitor)) {
            sendError(QStringLiteral("Failed to get default monitor."));
            return;
        }
        monitorOrigin = monitor.geometry.topLeft();
        screenRect = screenReadRect(monitor.geometry, &areaWarning);
        if (screenRect && !grabber->setScreenRect(*screenRect, &reason)) {
            fallBackToGdi(ws,
                          QStringLiteral("Failed to create capture item. Falling back to GDI."));
            return;
        }
    }
    grabber->setCursorCapture(cursorCapture_);
    QThread::msleep(kStartSleepMs);

    VideoFramePool pool;
    VideoFramePool fitPool;
    auto pacer = makePacer(FramePacer::kSleepLogPrefix);
    pacer->begin();
    while (pacer->startIteration()) {
        if (window) {
            if (!ws.isWindow(w)) {
                sendError(QStringLiteral("Target window is closed or invalid."));
                break;
            }
            if (!ws.isVisible(w) && !ws.isMinimised(w)) {
                qInfo() << "Window became hidden during recording. Showing window.";
                ws.show(w);
                QThread::msleep(kShowWindowSleepMs);
            }
            if (ws.isMinimised(w)) {
                qInfo() << "Window became minimized during recording. Restoring window.";
                ws.restore(w);
                QThread::msleep(kShowWindowSleepMs);
            }
            const QSize now = ws.outerRect(w).size();
            if (!now.isEmpty() &&
                (std::abs(now.width() - poolSize.width()) > kResizeTolerancePx ||
                 std::abs(now.height() - poolSize.height()) > kResizeTolerancePx)) {
                qInfo() << "Detected significant size change. Recreating frame pool.";
                grabber->setWindow(ws.frameWindow(w));
                poolSize = now;
            }
        } else if (!screenRect) {
            // An area that does not fit the monitor gives no frames, only this warning.
            qWarning().noquote() << areaWarning;
            qWarning() << "Failed to convert texture to AVFrame.";
            pacer->finishIteration();
            continue;
        }
        SharedFrame image;
        if (grabber->grab(pool, &image) != ScreenGrabber::Result::Frame || !image) {
            QThread::msleep(kNoFrameSleepMs);
            continue;
        }
        SharedFrame frame;
        if (window) {
            // Small size changes keep the frame size, as the frames of an unchanged pool would.
            frame = ConvertTextureToAVFrame(videoframes::fitToSize(fitPool, image, poolSize), 0, 0,
                                            0, 0);
        } else {
            if (target_.areaMode)
                qDebug().noquote() << QStringLiteral("Capture area: startX=%1, startY=%2, "
                                                     "width=%3, height=%4")
                                          .arg(screenRect->x() - monitorOrigin.x())
                                          .arg(screenRect->y() - monitorOrigin.y())
                                          .arg(screenRect->width())
                                          .arg(screenRect->height());
            frame = std::move(image);
        }
        if (frame) {
            videoframes::makeEven(frame.get());
            pacer->submit(std::move(frame));
        } else {
            qWarning() << "Failed to convert texture to AVFrame.";
        }
        pacer->finishIteration();
    }
    if (pacer->stopRequested())
        pacer->fillToClock();
}

void video_capture_thread_win::captureDXGI(WindowSystem& ws)
{
    QString reason;
    std::unique_ptr<ScreenGrabber> grabber =
        ScreenGrabber::create(ScreenGrabber::Kind::SharedMemory, &reason);
    if (!grabber) {
        qWarning().noquote() << "Failed to get DXGI device: " << reason;
        fallBackToGdi(ws, QStringLiteral("Failed to get DXGI device. Falling back to GDI."));
        return;
    }
    const bool window = target_.targetType == TargetWindow;
    const NativeWindow w = target_.targetWindow;

    MonitorInfo monitor;
    const QRect windowRect = window ? ws.outerRect(w) : QRect();
    const bool found =
        !windowRect.isNull()
            ? ws.monitorFromRect(windowRect, &monitor)
            : ws.monitorFromPoint(target_.targetRect.topLeft() + QPoint(1, 1), true, &monitor);
    if (!found) {
        sendError(QStringLiteral("Failed to get monitor."));
        return;
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
    // Screen targets read the monitor, or only the area of it that is recorded.
    QString areaWarning;
    const std::optional<QRect> screenRect =
        window ? std::optional<QRect>(output) : screenReadRect(output, &areaWarning);
    if (!grabber->setScreenRect(screenRect.value_or(output), &reason)) {
        qWarning().noquote() << "Failed to duplicate output: " << reason;
        fallBackToGdi(ws, QStringLiteral("Failed to duplicate output. Falling back to GDI."));
        return;
    }

    VideoFramePool pool;
    QRect readRect = screenRect.value_or(output);
    auto pacer = makePacer(FramePacer::kSleepLogPrefix);
    pacer->begin();
    while (pacer->startIteration()) {
        QRect crop;
        if (window) {
            if (!ws.isWindow(w)) {
                qWarning() << "Target window is closed or invalid.";
                sendError(QStringLiteral("Target window was closed during recording."));
                break;
            }
            if (ws.isMinimised(w)) {
                QThread::msleep(kMinimisedSleepMs);
                continue;
            }
            const QRect now = ws.outerRect(w);
            if (!now.isNull())
                crop = capturegeometry::windowCropOnMonitor(now, output, output.size());
            // Only the window's part of the monitor image is read, which is the same pixels as
            // cutting it out of the whole image.
            QString cropWarning;
            const auto cropRect =
                capturegeometry::frameRect(output.size(), crop, false, {}, dpi_, &cropWarning);
            if (!cropRect) {
                qWarning().noquote() << cropWarning;
                qWarning() << "Failed to convert DXGI texture to AVFrame.";
                pacer->finishIteration();
                continue;
            }
            const QRect wanted = crop.isNull() ? output : cropRect->translated(output.topLeft());
            if (wanted != readRect && grabber->setScreenRect(wanted))
                readRect = wanted;
        } else if (!screenRect) {
            qWarning().noquote() << areaWarning;
            qWarning() << "Failed to convert DXGI texture to AVFrame.";
            pacer->finishIteration();
            continue;
        }
        SharedFrame image;
        const ScreenGrabber::Result result = grabber->grab(pool, &image);
        if (result != ScreenGrabber::Result::Frame || !image) {
            // The read does not wait for a change as duplication does, so an unchanged screen
            // is polled once a frame interval rather than in a busy loop.
            pacer->finishIteration();
            continue;
        }
        SharedFrame frame;
        if (window && crop.isNull()) {
            frame = ConvertTextureToAVFrame(image, 0, 0, 0, 0);
        } else {
            if (!window && target_.areaMode)
                qDebug().noquote() << QStringLiteral("Capture area: startX=%1, startY=%2, "
                                                     "width=%3, height=%4")
                                          .arg(readRect.x() - output.x())
                                          .arg(readRect.y() - output.y())
                                          .arg(readRect.width())
                                          .arg(readRect.height());
            frame = std::move(image);
        }
        if (frame) {
            videoframes::makeEven(frame.get());
            pacer->submit(std::move(frame));
        } else {
            qWarning() << "Failed to convert DXGI texture to AVFrame.";
        }
        pacer->finishIteration();
    }
    if (pacer->stopRequested())
        pacer->fillToClock();
}
