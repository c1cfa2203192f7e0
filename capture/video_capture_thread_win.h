#pragma once

#include "media/MsgType.h"
#include "RecordingTarget.h"
#include "media/VideoFramePool.h"
#include "platform/ScreenGrabber.h"

#include <QRect>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <optional>

class CaptureClockQpc;
class FramePacer;
class FrameQueue;
class WindowSystem;

// Captures the recording target into the frame queue on its own thread, through the grabber the
// "VideoCaptureAPI" setting chooses ("WGC": the window's own composite image, "DXGI": shared-
// memory reads of the monitor, anything else: plain image reads), falling back to plain image
// reads when the chosen one cannot start. The queue is closed when the capture ends, whatever
// ended it. pause(), resume() and requestStop() are thread-safe (atomics); the set-up calls are
// made before start().
class video_capture_thread_win : public QThread
{
    Q_OBJECT

public:
    explicit video_capture_thread_win(FrameQueue* frameQueue, QObject* parent = nullptr);
    // Stops and waits for a running capture.
    ~video_capture_thread_win() override;

    // Stores the target and reads "VideoCaptureAPI"; always true.
    bool init(int targetType, const QString& targetTitle, const QRect& targetRect, bool areaMode);
    void setTargetWindow(NativeWindow window);
    // The area to record in area mode: logical pixels relative to the target screen's corner.
    void setCaptureArea(int x, int y, int width, int height);
    void setClock(std::shared_ptr<CaptureClockQpc> clock);

    void pause();
    void resume();
    void requestStop();

Q_SIGNALS:
    void fpsSignal(QString text);
    void msgSignal(MSG_TYPE type, QString text);
    void encoderLagDetected();

protected:
    void run() override;

private:
    enum class GdiEnd { Finished, Restart };

    void captureWinGraphics(WindowSystem& ws);
    void captureDXGI(WindowSystem& ws);
    void captureGDI(WindowSystem* ws);
    GdiEnd captureGdiOnce(WindowSystem* ws, std::unique_ptr<FramePacer>& pacer);

    // Copies the rectangle that becomes the frame out of a captured image: the crop when given,
    // the scaled capture area in area mode, else the whole image (shared, not copied). Null, after
    // one warning line, when the crop or the area does not fit the image.
    SharedFrame ConvertTextureToAVFrame(const SharedFrame& image, int cropX, int cropY, int cropW,
                                        int cropH);
    // The desktop rect to read for a screen target on monitor: the monitor, or in area mode the
    // scaled capture area on it; nothing (with *warning) when the area does not fit.
    std::optional<QRect> screenReadRect(const QRect& monitor, QString* warning) const;

    std::unique_ptr<FramePacer> makePacer(const char* sleepPrefix);
    // Logs text as a warning, sends it as MSG_WARNING and records through GDI instead.
    void fallBackToGdi(WindowSystem& ws, const QString& text);
    void sendError(const QString& text);

    FrameQueue* frameQueue_;
    std::shared_ptr<CaptureClockQpc> clock_;
    RecordingTarget target_;
    QRect captureArea_;
    int captureApi_ = 1; // 1 WGC, 0 DXGI, 2 GDI
    bool cursorCapture_ = true;
    double dpi_ = 96.0; // of the target screen, read when the capture starts
    VideoFramePool convertPool_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> paused_{false};
};
