#include "FramePacer.h"

#include "media/CaptureClockQpc.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"

#include <QDebug>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>
#include <utility>

namespace {

constexpr std::int64_t kNsPerMs = 1000000;

std::int64_t steadyClockNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

FramePacer::FramePacer(FrameQueue* queue, std::shared_ptr<CaptureClockQpc> clock,
                       Flag stopRequested, Flag paused, Seams seams, QObject* parent)
    : QObject(parent), queue_(queue), clock_(std::move(clock)),
      stopRequested_(std::move(stopRequested)), paused_(std::move(paused)), seams_(std::move(seams))
{
    Q_ASSERT(queue_);
    if (!stopRequested_)
        stopRequested_ = [] { return false; };
    if (!paused_)
        paused_ = [] { return false; };
    if (!seams_.steadyNs)
        seams_.steadyNs = &steadyClockNs;
    if (!seams_.sleepMs)
        seams_.sleepMs = [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); };
    if (!seams_.sleepNs)
        seams_.sleepNs = [](std::int64_t ns) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
        };
    if (!seams_.cloneFrame)
        seams_.cloneFrame = [](const AVFrame* frame) { return av_frame_clone(frame); };
}

FramePacer::~FramePacer()
{
    // The one place a run's pacing can be judged afterwards: repeats beyond the lead-in mean
    // capture fell behind the frame rate, drops that encoding did.
    if (begun_)
        qInfo().noquote() << QStringLiteral(
                                 "Capture pacing: %1 frames written, %2 repeated (%3 before the "
                                 "first image), %4 dropped.")
                                 .arg(framesPushed_)
                                 .arg(repeatedSlots_)
                                 .arg(leadInSlots_)
                                 .arg(droppedSlots_);
    if (droppedSlots_ > 0)
        qWarning().noquote() << QStringLiteral(
                                    "Encoding could not keep up: %1 of %2 frames were left out, "
                                    "spread evenly.")
                                    .arg(droppedSlots_)
                                    .arg(droppedSlots_ + framesPushed_);
}

void FramePacer::begin(int fps)
{
    fps_ = std::clamp(fps, 1, int(kMaxFps));
    frameIntervalMs_ = 1000 / fps_;
    frameIntervalUs_ = 1000000 / fps_;
    nextFrameIndex_ = 0;
    rateFrameCount_ = 0;
    begun_ = true;
    framesPushed_ = 0;
    repeatedSlots_ = 0;
    leadInSlots_ = 0;
    rateStartNs_ = seams_.steadyNs();
    iterationStartNs_ = rateStartNs_;
    deadlineNs_ = 0;
}

bool FramePacer::startIteration()
{
    // Stopping clears the pause flag, but a stop must not wait for that.
    while (!stopRequested_() && paused_())
        seams_.sleepMs(kPauseSleepMs);
    if (stopRequested_()) {
        fillToClock();
        return false;
    }
    iterationStartNs_ = seams_.steadyNs();
    submittedThisIteration_ = false;
    return true;
}

std::int64_t FramePacer::slotTarget() const
{
    if (!clock_ || frameIntervalUs_ <= 0)
        return 0;
    return clock_->elapsedMicroseconds() / frameIntervalUs_;
}

bool FramePacer::dropNextSlot()
{
    const double fill =
        std::max(double(queue_->bytes()) / double(std::max<std::int64_t>(1, queue_->byteBudget())),
                 double(queue_->size()) / kBackpressureLimit);
    const double share = std::clamp((fill - kDropFromFill) / (1.0 - kDropFromFill), 0.0, 1.0);
    if (share <= 0) {
        dropCredit_ = 0;
        return false;
    }
    // Each slot adds the share to be dropped; a slot is dropped whenever a whole one has built
    // up, so the drops fall evenly among the kept slots, as many as the encoder falls short.
    dropCredit_ += share;
    if (dropCredit_ < 1.0)
        return false;
    dropCredit_ -= 1.0;
    if (droppedSlots_++ == 0)
        qWarning().noquote() << QStringLiteral(
                                    "Encoding falls behind: frames are dropped evenly while the "
                                    "queue holds %1 MB.")
                                    .arg(queue_->bytes() >> 20);
    if (!lagSignalled_ && droppedSlots_ >= std::int64_t(kLagSeconds) * fps_) {
        lagSignalled_ = true;
        Q_EMIT encoderLagDetected();
    }
    return true;
}

int FramePacer::submit(SharedFrame frame)
{
    if (!frame || !queue_)
        return 0;
    lastImage_ = frame;
    submittedThisIteration_ = true;
    const std::int64_t missed = slotTarget() - nextFrameIndex_;
    const int count = static_cast<int>(
        std::clamp<std::int64_t>(missed, 1, std::numeric_limits<std::int32_t>::max()));
    std::int64_t pts = nextFrameIndex_ * frameIntervalUs_;
    const bool firstImage = nextFrameIndex_ == 0;
    int pushed = 0;
    for (int slot = 0; slot < count; ++slot) {
        SharedFrame slotFrame;
        if (slot == count - 1) {
            slotFrame = std::move(frame);
        } else {
            AVFrame* clone = seams_.cloneFrame(frame.get());
            if (!clone) {
                qWarning("Failed to allocate duplicate AVFrame.");
                continue;
            }
            slotFrame = makeSharedFrame(clone);
        }
        slotFrame->pts = pts;
        setFrameDuration(slotFrame.get(), frameIntervalUs_);
        ++nextFrameIndex_;
        pts += frameIntervalUs_;
        if (dropNextSlot() || queue_->isClosed())
            continue;
        queue_->push(FrameQueueItem{std::move(slotFrame), false, 0});
        ++pushed;
        ++framesPushed_;
        if (slot != count - 1) {
            ++repeatedSlots_;
            if (firstImage)
                ++leadInSlots_;
        }
        ++rateFrameCount_;
    }
    return pushed;
}

int FramePacer::fillToClock()
{
    if (filled_)
        return 0;
    filled_ = true;
    if (!clock_ || !lastImage_ || slotTarget() <= nextFrameIndex_)
        return 0;
    AVFrame* clone = seams_.cloneFrame(lastImage_.get());
    if (!clone)
        return 0;
    const int pushed = submit(makeSharedFrame(clone));
    // The last of these slots repeats the image as well.
    if (pushed > 0)
        ++repeatedSlots_;
    return pushed;
}

void FramePacer::finishIteration()
{
    const std::int64_t intervalNs = std::int64_t(frameIntervalUs_) * 1000;
    if (clock_ && frameIntervalUs_ > 0) {
        // Wake just after the slot the next image is for begins on the recording's clock, so
        // that each image is taken early in its slot and a grab that runs a few milliseconds
        // late still lands in the slot it was meant for. When a slow grab filled the previous
        // slot only once the current one had begun, the current one is taken at once, before
        // it passes too.
        const std::int64_t elapsedUs = clock_->elapsedMicroseconds();
        const std::int64_t currentSlot = elapsedUs / frameIntervalUs_;
        const bool catchUp = submittedThisIteration_ && nextFrameIndex_ <= currentSlot;
        if (!catchUp) {
            const std::int64_t wakeSlot = std::max(nextFrameIndex_, currentSlot + 1);
            const std::int64_t wakeUs = wakeSlot * frameIntervalUs_ + kSlotWakeOffsetUs;
            seams_.sleepNs((wakeUs - elapsedUs) * 1000);
        }
        deadlineNs_ = 0;
    } else {
        // Without a clock each iteration ends one interval after the previous deadline, so
        // sleeps that run a little long do not add up.
        const std::int64_t end = seams_.steadyNs();
        deadlineNs_ = deadlineNs_ == 0 ? iterationStartNs_ + intervalNs : deadlineNs_ + intervalNs;
        // Far behind (a pause, a slow grab): start over from now instead of hurrying.
        if (end - deadlineNs_ >= intervalNs)
            deadlineNs_ = end;
        else if (end < deadlineNs_)
            seams_.sleepNs(deadlineNs_ - end);
    }

    const std::int64_t now = seams_.steadyNs();
    const std::int64_t rateMs = (now - rateStartNs_) / kNsPerMs;
    if (rateMs >= 1000) {
        const double rate = rateFrameCount_ / (static_cast<double>(rateMs) / 1000.0);
        Q_EMIT fpsSignal(QString::number(static_cast<qint64>(rate)));
        rateStartNs_ = now;
        rateFrameCount_ = 0;
    }
}
