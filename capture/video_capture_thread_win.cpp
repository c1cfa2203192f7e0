#include "video_capture_thread_win.h"

#include "CaptureGeometry.h"
#include "FramePacer.h"
#include "FrameQueue.h"
#include "VideoFramePool.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "platform/WindowSystem.h"

#include <QDebug>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

video_capture_thread_win::video_capture_thread_win(FrameQueue* frameQueue, QObject* parent)
    : QThread(parent), frameQueue_(frameQueue)
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
    captureApi_ = SettingsStore::instance()
                      .value(settings::kVideoGroup, settings::kVideoCaptureApi, 1)
                      .toInt();
    return true;
}

void video_capture_thread_win::setTargetWindow(NativeWindow window)
{
    target_.targetWindow = window;
}

void video_capture_thread_win::setCaptureArea(int x, int y, int width, int height)
{
    captureArea_ = QRect(x, y, width, height);
}

void video_capture_thread_win::setClock(std::shared_ptr<CaptureClockQpc> clock)
{
    clock_ = std::move(clock);
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
    stop_ = true;
}

void video_capture_thread_win::warn(const QString& text)
{
    qWarning().noquote() << text;
    Q_EMIT msgSignal(MSG_WARNING, text);
}

void video_capture_thread_win::error(const QString& text)
{
    qCritical().noquote() << text;
    Q_EMIT msgSignal(MSG_ERROR, text);
}

std::unique_ptr<FramePacer> video_capture_thread_win::makePacer(const char* sleepPrefix)
{
    auto pacer = std::make_unique<FramePacer>(frameQueue_, clock_, QString::fromLatin1(sleepPrefix),
                                              stop_, paused_);
    connect(pacer.get(), &FramePacer::fpsSignal, this, &video_capture_thread_win::fpsSignal,
            Qt::DirectConnection);
    connect(pacer.get(), &FramePacer::encoderLagDetected, this,
            &video_capture_thread_win::encoderLagDetected, Qt::DirectConnection);
    return pacer;
}

void video_capture_thread_win::run()
{
    runCapture();
    qInfo() << "Quitting videoCaptureThread....!";
    // Always closed, so the mux finishes the file whatever ended the capture.
    if (frameQueue_)
        frameQueue_->close();
}

void video_capture_thread_win::runCapture()
{
    QString reason;
    std::unique_ptr<WindowSystem> ws = WindowSystem::create(&reason);
    if (!ws) {
        error(QStringLiteral("Cannot capture the screen: no display connection (%1).").arg(reason));
        return;
    }
    switch (captureApi_) {
    case 1:
        qInfo() << "Attempting WGC capture...";
        captureWgc(*ws);
        break;
    case 0:
        qInfo() << "Attempting DXGI capture...";
        captureDxgi(*ws);
        break;
    default:
        qWarning() << "GDI Capture ";
        captureGdi(*ws);
        break;
    }
}

bool video_capture_thread_win::screenRect(WindowSystem& ws, bool nearest, QRect* rect)
{
    MonitorInfo monitor;
    if (!ws.monitorFromPoint(target_.targetRect.topLeft() + QPoint(1, 1), nearest, &monitor)) {
        error(QStringLiteral("No monitor found for the capture target."));
        return false;
    }
    if (!target_.areaMode) {
        *rect = capturegeometry::evenRect(monitor.geometry);
        return true;
    }
    QString warning;
    const auto area = capturegeometry::scaleCaptureArea(captureArea_, ws.effectiveDpi(),
                                                        monitor.geometry, &warning);
    if (!area) {
        qWarning().noquote() << warning;
        return false;
    }
    *rect = capturegeometry::evenRect(*area);
    return true;
}
