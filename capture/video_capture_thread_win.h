#pragma once

#include "MsgType.h"
#include "RecordingTarget.h"
#include "platform/ScreenGrabber.h"

#include <QRect>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

class CaptureClockQpc;
class FramePacer;
class FrameQueue;
class WindowSystem;

// Captures the recording target into the frame queue on its own thread, through the grabber the
// "VideoCaptureAPI" setting chooses, falling back to plain image reads. pause(), resume() and
// requestStop() are thread-safe (atomics); the set-up calls are made before start().
class video_capture_thread_win : public QThread
{
    Q_OBJECT

public:
    explicit video_capture_thread_win(FrameQueue* frameQueue, QObject* parent = nullptr);
    ~video_capture_thread_win() override;

    bool init(int targetType, const QString& targetTitle, const QRect& targetRect, bool areaMode);
    void setTargetWindow(NativeWindow window);
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
    void runCapture();
    void captureWgc(WindowSystem& ws);
    void captureDxgi(WindowSystem& ws);
    void captureGdi(WindowSystem& ws, FramePacer* pacer = nullptr);
    std::unique_ptr<FramePacer> makePacer(const char* sleepPrefix);
    void warn(const QString& text);
    void error(const QString& text);
    // The monitor rect (or scaled area) to read; nullopt with the warning sent when invalid.
    bool screenRect(WindowSystem& ws, bool nearest, QRect* rect);

    FrameQueue* frameQueue_;
    std::shared_ptr<CaptureClockQpc> clock_;
    RecordingTarget target_;
    QRect captureArea_;
    int captureApi_ = 1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
};
