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
    // The queue is kept under this many items, whatever their size.
    static constexpr int kBackpressureLimit = 300;
    // Past this share of the queue's byte budget (or of the item limit) slots are dropped, more
    // of them the fuller it gets, up to every slot at the limit itself.
    static constexpr double kDropFromFill = 0.5;
    // encoderLagDetected is sent once the dropped slots add up to this much of the recording.
    static constexpr int kLagSeconds = 3;
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
        // Sleeps the calling thread in the pause wait; QThread::msleep if empty.
        std::function<void(int ms)> sleepMs;
        // The rate sleep at the end of an iteration; std::this_thread::sleep_for if empty.
        std::function<void(std::int64_t ns)> sleepNs;
        // Makes the frame of an earlier slot; av_frame_clone if empty (shares the image buffer;
        // a frame without reference-counted buffers is copied instead).
        std::function<AVFrame*(const AVFrame*)> cloneFrame;
    };

    using Flag = std::function<bool()>;

    // queue receives the frames (not owned, must outlive the pacer); clock gives the slot times
    // (without a clock every image gets exactly one slot).
    FramePacer(FrameQueue* queue, std::shared_ptr<CaptureClockQpc> clock, Flag stopRequested,
               Flag paused, Seams seams = {}, QObject* parent = nullptr);
    // Logs how many slots were filled, how many of them with a repeated image and how many were
    // dropped.
    ~FramePacer() override;

    // The same, reading the thread's atomic flags (bool or int, non-zero meaning set). The flags
    // must outlive the pacer.
    template <typename T>
    FramePacer(FrameQueue* queue, std::shared_ptr<CaptureClockQpc> clock,
               const std::atomic<T>& stopRequested, const std::atomic<T>& paused, Seams seams = {},
               QObject* parent = nullptr)
        : FramePacer(
              queue, std::move(clock), [&stopRequested] { return stopRequested.load() != T{}; },
              [&paused] { return paused.load() != T{}; }, std::move(seams), parent)
    {
    }

    // Starts pacing at the given frame rate: computes the frame intervals, starts the rate timer
    // and starts the slot counter over at 0. The count of dropped slots survives, so
    // encoderLagDetected is sent at most once per pacer; a back-end that
    // restarts in the middle of a recording may skip begin() to keep its pts following the clock.
    void begin(int fps);

    // Returns false once stop is requested, after fillToClock(): at once, as the loop may take a
    // while to let its grabber go. Otherwise waits (in 50 ms sleeps) while paused, notes the
    // iteration start and returns true. Nothing is produced while paused.
    bool startIteration();

    // Pushes the image into as many slots as the clock has passed since the last one (at least
    // one). frame should hold reference-counted buffers (from VideoFramePool) so that repeated
    // slots share them. It never waits for the encoder: while the queue is more than half full
    // (its bytes against its budget, or its items against 300) slots are dropped, spread evenly
    // at a rate that grows with the fill, so memory stays bounded, a stalled encoder cannot hold
    // the recording open, and an encoder slightly too slow loses every n-th frame instead of a
    // burst. Returns the number of frames pushed.
    int submit(SharedFrame frame);

    // When the loop ends on a stop: fills the slots the clock has passed since the last image
    // with that image, so a recording that ends on a still screen (which brings no new images)
    // keeps its length. Only the first call fills: the end is the stop, not what comes after it.
    // Returns the number of frames pushed.
    int fillToClock();

    // Sleeps until just after the slot of the next image begins on the clock (not at all when an
    // image came late and the current slot still needs one; without a clock: until one frame
    // interval after the previous deadline), then emits fpsSignal once a second.
    void finishIteration();

    bool stopRequested() const { return stopRequested_(); }
    int fps() const { return fps_; }
    int frameIntervalMs() const { return frameIntervalMs_; }
    int frameIntervalUs() const { return frameIntervalUs_; }
    std::int64_t nextFrameIndex() const { return nextFrameIndex_; }
    // Since begin(): frames pushed, and how many of them were repeated images filling slots the
    // capture missed; the lead-in are the repeats before the first image (the loop starting up
    // after the clock), the rest mean that capture or encoding fell behind.
    std::int64_t framesPushed() const { return framesPushed_; }
    std::int64_t repeatedSlots() const { return repeatedSlots_; }
    std::int64_t leadInSlots() const { return leadInSlots_; }
    // Slots given no frame because the queue was too full.
    std::int64_t droppedSlots() const { return droppedSlots_; }
    bool lagSignalled() const { return lagSignalled_; }

Q_SIGNALS:
    // The measured output frame rate (repeated slots included) as decimal text, once a second.
    void fpsSignal(QString text);
    // The slots dropped add up to 3 seconds of the recording: the encoder cannot keep up, and
    // the user may rather stop than go on losing frames. Sent once.
    void encoderLagDetected();

private:
    std::int64_t slotTarget() const;
    // Whether the next slot is dropped, given how full the queue is.
    bool dropNextSlot();

    FrameQueue* queue_;
    std::shared_ptr<CaptureClockQpc> clock_;
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
    double dropCredit_ = 0; // the dropped share of the slots since the queue was last low
    bool lagSignalled_ = false;
    bool begun_ = false;
    bool filled_ = false;
    std::int64_t framesPushed_ = 0;
    std::int64_t repeatedSlots_ = 0;
    std::int64_t leadInSlots_ = 0;
    std::int64_t droppedSlots_ = 0;
};
