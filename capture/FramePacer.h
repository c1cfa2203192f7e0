#pragma once

#include "media/FrameQueueItem.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class CaptureClockQpc;
class FrameQueue;

// Turns the images of a capture loop into a constant-rate stream of time-stamped video frames on
// the capture clock, holds the loop to the frame rate, slows it down while the encoder lags and
// reports the measured rate. Every capture back-end drives it the same way:
//
//     pacer.begin(fps);
//     while (pacer.startIteration()) {        // stop check and pause wait
//         ... grab an image into a frame ...  // `continue` skips the rate sleep, as a back-end
//         wants if (frame)
//             pacer.submit(std::move(frame));
//         pacer.finishIteration();            // rate sleep and rate display
//     }
//
// When capture falls behind the clock, the latest image fills every missed slot: the earlier slots
// are av_frame_clone()s that share its image buffer, each with its own pts and duration. When it
// runs ahead, frames take consecutive slots and their pts run ahead until the clock catches up.
//
// Threading: a pacer is used only by the capture thread; it is not thread-safe. The stop and pause
// flags are written by other threads and read here through the given callables, which must be
// thread-safe (atomics). Signals are emitted on the capture thread; a thread class forwards them
// with signal-to-signal connections, preferably Qt::DirectConnection so that its own signal is
// emitted from the capture thread just as if it had emitted it itself.
class FramePacer : public QObject
{
    Q_OBJECT

public:
    // Log prefixes of the backpressure wait; the GDI loop has its own.
    static constexpr char kSleepLogPrefix[] = "Sleep Count = ";
    static constexpr char kGdiSleepLogPrefix[] = "Sleep Count (GDI) = ";
    // Above this many queued items the capture side waits for the encoder.
    static constexpr int kBackpressureLimit = 300;
    static constexpr int kBackpressureSleepMs = 5;
    // encoderLagDetected is sent on this backpressure wait.
    static constexpr int kLagSleepCount = 100;
    static constexpr int kPauseSleepMs = 50;
    static constexpr int kDefaultFps = 15;
    // How long after a slot begins the loop wakes for its image.
    static constexpr int kSlotWakeOffsetUs = 200;
    // Frame rates above this would give a frame interval under 1 ms.
    static constexpr int kMaxFps = 1000;

    // Tests replace the time sources and the sleep so that they run without waiting.
    struct Seams
    {
        // Monotonic nanoseconds for the iteration time and the rate timer; steady_clock if empty.
        std::function<std::int64_t()> steadyNs;
        // Sleeps the calling thread in the pause and backpressure waits; QThread::msleep if empty.
        std::function<void(int ms)> sleepMs;
        // The rate sleep at the end of an iteration; std::this_thread::sleep_for if empty.
        std::function<void(std::int64_t ns)> sleepNs;
        // Makes the frame of an earlier slot; av_frame_clone if empty (shares the image buffer;
        // a frame without reference-counted buffers is copied instead).
        std::function<AVFrame*(const AVFrame*)> cloneFrame;
    };

    using Flag = std::function<bool()>;

    // queue receives the frames (not owned, must outlive the pacer); clock gives the slot times
    // (without a clock every image gets exactly one slot); sleepLogPrefix is kSleepLogPrefix or
    // kGdiSleepLogPrefix.
    FramePacer(FrameQueue* queue, std::shared_ptr<CaptureClockQpc> clock, QString sleepLogPrefix,
               Flag stopRequested, Flag paused, Seams seams = {}, QObject* parent = nullptr);
    // Logs how many slots were filled and how many of them with a repeated image.
    ~FramePacer() override;

    // The same, reading the thread's atomic flags (bool or int, non-zero meaning set). The flags
    // must outlive the pacer.
    template <typename T>
    FramePacer(FrameQueue* queue, std::shared_ptr<CaptureClockQpc> clock, QString sleepLogPrefix,
               const std::atomic<T>& stopRequested, const std::atomic<T>& paused, Seams seams = {},
               QObject* parent = nullptr)
        : FramePacer(
              queue, std::move(clock), std::move(sleepLogPrefix),
              [&stopRequested] { return stopRequested.load() != T{}; },
              [&paused] { return paused.load() != T{}; }, std::move(seams), parent)
    {
    }

    // Starts pacing at the given frame rate: computes the frame intervals, starts the rate timer
    // and starts the slot counter over at 0. The backpressure
    // count survives, so encoderLagDetected is sent at most once per pacer; a back-end that
    // restarts in the middle of a recording may skip begin() to keep its pts following the clock.
    void begin(int fps);

    // Returns false once stop is requested; otherwise waits (in 50 ms sleeps) while paused, notes
    // the iteration start and returns true. Nothing is produced while paused.
    bool startIteration();

    // Pushes the image into as many slots as the clock has passed since the last one (at least
    // one). frame should hold reference-counted buffers (from VideoFramePool) so that repeated
    // slots share them. Before each push it waits while the queue holds more than 300 items,
    // leaving early (and dropping the rest of the slots) when stop is requested or the queue is
    // closed, so a stalled encoder cannot hold the recording open. Returns the number of frames
    // pushed.
    int submit(SharedFrame frame);

    // When the loop ends on a stop: fills the slots the clock has passed since the last image
    // with that image, so a recording that ends on a still screen (which brings no new images)
    // keeps its length. Returns the number of frames pushed.
    int fillToClock();

    // Sleeps until just after the slot of the next image begins on the clock (not at all when an
    // image came late and the current slot still needs one; without a clock: until one frame
    // interval after the previous deadline), then emits fpsSignal once a second.
    void finishIteration();

    // A capture that falls back to another grabber mid-recording logs its waits under its name.
    void setSleepLogPrefix(QString prefix) { sleepLogPrefix_ = std::move(prefix); }

    bool stopRequested() const { return stopRequested_(); }
    int fps() const { return fps_; }
    int frameIntervalMs() const { return frameIntervalMs_; }
    int frameIntervalUs() const { return frameIntervalUs_; }
    std::int64_t nextFrameIndex() const { return nextFrameIndex_; }
    int sleepCount() const { return sleepCount_; }
    // Since begin(): frames pushed, and how many of them were repeated images filling slots the
    // capture missed; the lead-in are the repeats before the first image (the loop starting up
    // after the clock), the rest mean that capture or encoding fell behind.
    std::int64_t framesPushed() const { return framesPushed_; }
    std::int64_t repeatedSlots() const { return repeatedSlots_; }
    std::int64_t leadInSlots() const { return leadInSlots_; }
    bool lagSignalled() const { return lagSignalled_; }

Q_SIGNALS:
    // The measured output frame rate (repeated slots included) as decimal text, once a second.
    void fpsSignal(QString text);
    // The encoder has kept the queue above the backpressure limit for 100 waits; sent once.
    void encoderLagDetected();

private:
    std::int64_t slotTarget() const;
    // Returns false when the wait was abandoned because the recording is ending.
    bool waitForQueueRoom();

    FrameQueue* queue_;
    std::shared_ptr<CaptureClockQpc> clock_;
    QString sleepLogPrefix_;
    Flag stopRequested_;
    Flag paused_;
    Seams seams_;

    int fps_ = kDefaultFps;
    int frameIntervalMs_ = 1000 / kDefaultFps;
    int frameIntervalUs_ = 1000000 / kDefaultFps;
    std::int64_t nextFrameIndex_ = 0;
    std::int64_t iterationStartNs_ = 0;
    std::int64_t deadlineNs_ = 0;
    SharedFrame lastImage_; // the last image pushed, read only
    bool submittedThisIteration_ = false;
    std::int64_t rateStartNs_ = 0;
    int rateFrameCount_ = 0;
    int sleepCount_ = 0;
    bool lagSignalled_ = false;
    bool begun_ = false;
    std::int64_t framesPushed_ = 0;
    std::int64_t repeatedSlots_ = 0;
    std::int64_t leadInSlots_ = 0;
};
