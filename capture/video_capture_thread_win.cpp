#include "video_capture_thread_win.h"

#include "CaptureGeometry.h"
#include "FramePacer.h"
#include "media/FrameQueue.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "platform/WindowSystem.h"

#include <QDebug>

#include <cstring>

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
    const QString api =
        SettingsStore::instance()
            .value(settings::kVideoGroup, settings::kVideoCaptureApi, QStringLiteral("WGC"))
            .toString();
    if (api == QLatin1String("WGC"))
        captureApi_ = 1;
    else if (api == QLatin1String("DXGI"))
        captureApi_ = 0;
    else
        captureApi_ = 2;
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
    stopRequested_ = true;
    paused_ = false;
}

void video_capture_thread_win::sendError(const QString& text)
{
    qWarning().noquote() << text;
    Q_EMIT msgSignal(MSG_ERROR, text);
}

void video_capture_thread_win::fallBackToGdi(WindowSystem& ws, const QString& text)
{
    qWarning().noquote() << text;
    Q_EMIT msgSignal(MSG_WARNING, text);
    captureGDI(&ws);
}

std::unique_ptr<FramePacer> video_capture_thread_win::makePacer(const char* sleepPrefix)
{
    auto pacer = std::make_unique<FramePacer>(frameQueue_, clock_, QString::fromLatin1(sleepPrefix),
                                              stopRequested_, paused_);
    connect(pacer.get(), &FramePacer::fpsSignal, this, &video_capture_thread_win::fpsSignal,
            Qt::DirectConnection);
    connect(pacer.get(), &FramePacer::encoderLagDetected, this,
            &video_capture_thread_win::encoderLagDetected, Qt::DirectConnection);
    return pacer;
}

void video_capture_thread_win::run()
{
    // The display connection stands in for the graphics device: without it only the plain
    // reads are left to try, and they report what is missing.
    QString reason;
    std::unique_ptr<WindowSystem> ws = WindowSystem::create(&reason);
    if (!ws) {
        const QString text =
            QStringLiteral("Failed to create D3D11 device. Attempting GDI fallback.");
        qWarning().noquote() << text << reason;
        Q_EMIT msgSignal(MSG_WARNING, text);
        captureGDI(nullptr);
    } else {
        dpi_ = ws->effectiveDpi();
        switch (captureApi_) {
        case 1:
            qInfo() << "Attempting WGC capture...";
            captureWinGraphics(*ws);
            break;
        case 0:
            qInfo() << "Attempting DXGI capture...";
            captureDXGI(*ws);
            break;
        default:
            qWarning() << "GDI Capture ";
            captureGDI(ws.get());
            break;
        }
    }
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
    const auto area =
        capturegeometry::frameRect(monitor.size(), QRect(), true, captureArea_, dpi_, warning);
    if (!area)
        return std::nullopt;
    return area->translated(monitor.topLeft());
}

SharedFrame video_capture_thread_win::ConvertTextureToAVFrame(const SharedFrame& image, int cropX,
                                                              int cropY, int cropW, int cropH)
{
    if (!image || !image->data[0]) {
        qWarning("Invalid parameters to ConvertTextureToAVFrame");
        return {};
    }
    const QSize size(image->width, image->height);
    QString warning;
    const auto rect = capturegeometry::frameRect(size, QRect(cropX, cropY, cropW, cropH),
                                                 target_.areaMode, captureArea_, dpi_, &warning);
    if (!rect) {
        qWarning().noquote() << warning;
        return {};
    }
    const bool cropGiven = cropW >= 1 && cropH >= 1;
    if (!cropGiven && target_.areaMode)
        qDebug().noquote() << QStringLiteral("Capture area: startX=%1, startY=%2, width=%3, "
                                             "height=%4")
                                  .arg(rect->x())
                                  .arg(rect->y())
                                  .arg(rect->width())
                                  .arg(rect->height());
    // Grabbed images are not written again, so the whole image can travel as it is.
    if (rect->topLeft() == QPoint(0, 0) && rect->size() == size)
        return image;
    SharedFrame frame = convertPool_.acquire(rect->width(), rect->height());
    if (!frame)
        return {};
    for (int y = 0; y < rect->height(); ++y)
        std::memcpy(frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0],
                    image->data[0] +
                        static_cast<std::ptrdiff_t>(rect->y() + y) * image->linesize[0] +
                        static_cast<std::ptrdiff_t>(rect->x()) * 4,
                    static_cast<size_t>(rect->width()) * 4);
    return frame;
}
