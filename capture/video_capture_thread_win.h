// The video capture thread (the name is the one the rest of the program knows): on Linux it reads
// the X display (XComposite, MIT-SHM or plain GetImage) or the desktop portal's PipeWire stream.
#pragma once

#include "CapturePlatform.h"
#include "RecordingTarget.h"
#include "StartGate.h"
#include "media/MsgType.h"
#include "media/VideoFramePool.h"

#include <QRect>
#include <QSize>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <optional>

class CaptureClockQpc;
struct CaptureRules;
class FramePacer;
class FrameQueue;

// Captures the recording target into the frame queue on its own thread, through the grabber of the
// chosen kind (composite: the window's own image, shared memory: change-tracked reads of the
// monitor, compatible: plain image reads), falling back to plain image
// reads when the chosen one cannot start or stops working. One loop serves every grabber; what
// differs between them is the table of rules in the source. The queue is closed when the capture
// ends, whatever ended it. pause(), resume() and requestStop() are thread-safe (atomics); the
// set-up calls are made before start().
class video_capture_thread_win : public QThread
{
    Q_OBJECT

public:
    explicit video_capture_thread_win(FrameQueue* frameQueue, QObject* parent = nullptr);
    // Stops and waits for a running capture.
    ~video_capture_thread_win() override;

    // Stores the target; always true.
    bool init(int targetType, const QString& targetTitle, const QRect& targetRect, bool areaMode);
    // The grabber to try first and the frame rate (1 to FramePacer::kMaxFps).
    void setCapture(ScreenGrabber::Kind kind, int fps);
    void setTargetWindow(NativeWindow window);
    // The area to record in area mode: logical pixels relative to the target screen's corner.
    void setCaptureArea(int x, int y, int width, int height);
    // The device pixel ratio of the screen being recorded, as Qt reports it: the capture area is
    // scaled by it to physical pixels.
    void setDevicePixelRatio(double ratio);
    void setClock(std::shared_ptr<CaptureClockQpc> clock);
    // Frames leave as 4:2:0 pictures rather than BGRA images (for an encoder that takes them).
    void setI420Frames(bool on) { i420Frames_ = on; }
    // Records the stream of a desktop's screen-cast portal (Wayland) through grabber, whatever
    // the capture kind: a screen target is the whole stream or in area mode the area on
    // it, a window target the whole stream. size: the stream's size as the desktop gave it.
    void setStream(std::unique_ptr<ScreenGrabber> grabber, QSize size);
    // Replaces the system (tests); CapturePlatform::system() unless called.
    void setPlatform(CapturePlatform platform);

    void pause();
    void resume();
    void requestStop();
    // Held before start(), the capture makes its grabber and the memory of its first seconds'
    // pictures, then waits for the session to start the clock and open it.
    StartGate& startGate() { return startGate_; }

Q_SIGNALS:
    void fpsSignal(QString text);
    void msgSignal(MSG_TYPE type, QString text);
    void encoderLagDetected();

protected:
    void run() override;

private:
    struct Target;
    enum class End { Finished, FallBack, Restart };
    // What following a window target leaves the loop to do: grab, skip this turn, or end.
    enum class Follow { Grab, Skip, Ended };

    // Sets up the grabber of kind and records until the stop, a fatal error (sent as
    // MSG_ERROR), a fallback (warning already sent) or a restart for a resized window.
    End capture(ScreenGrabber::Kind kind, WindowSystem* ws, std::unique_ptr<FramePacer>& pacer);
    std::optional<Target> prepare(const CaptureRules& rules, WindowSystem* ws, End* end);
    std::optional<Target> prepareStream();
    // The grabber of kind or the display could not be had: a fallback or a fatal error.
    End grabberMissing(ScreenGrabber::Kind kind, WindowSystem* ws, const QString& reason);
    // A window target is shown if it must be and its grabber pointed at it; false to end.
    bool prepareWindow(const CaptureRules& rules, WindowSystem* ws, Target* t, End* end);
    // The monitor of a screen target (or of a window for shared-memory reads) and the rect of it
    // that is read; false after a fatal error.
    bool placeOnMonitor(ScreenGrabber::Kind kind, WindowSystem* ws, Target* t);
    // Keeps a window target shown, sized and cropped while recording.
    Follow followWindow(const CaptureRules& rules, WindowSystem* ws, Target* t, QRect* readRect,
                        End* end);
    // A grab without a new image, by the rules of the grabber.
    void onNoImage(const CaptureRules& rules, ScreenGrabber::Result result, FramePacer& pacer,
                   const SharedFrame& lastFrame);
    // The desktop rect to read for a screen target on monitor: the monitor, or in area mode the
    // scaled capture area on it; nothing (with *warning) when the area does not fit.
    std::optional<QRect> screenReadRect(const QRect& monitor, QString* warning) const;

    std::unique_ptr<FramePacer> makePacer();
    // Logs text as a warning and sends it as MSG_WARNING: the recording goes on through the
    // plain reads.
    // detail, what failed on this system, goes to the log only.
    End fallBack(const QString& text, const QString& detail = {});
    void sendError(const QString& text, const QString& detail = {});

    FrameQueue* frameQueue_;
    std::shared_ptr<CaptureClockQpc> clock_;
    CapturePlatform platform_;
    RecordingTarget target_;
    QRect captureArea_;
    ScreenGrabber::Kind captureKind_ = ScreenGrabber::Kind::Composite;
    int fps_ = FramePacer::kDefaultFps;
    bool cursorCapture_ = true;
    double dpi_ = 96.0; // of the target screen
    bool i420Frames_ = false;
    bool useStream_ = false;
    std::unique_ptr<ScreenGrabber> stream_;
    QSize streamSize_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> paused_{false};
    StartGate startGate_;
};
