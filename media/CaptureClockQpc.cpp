#include "CaptureClockQpc.h"

#include "media/PerformanceCounter.h"

#include <utility>

CaptureClockQpc::CaptureClockQpc()
    : CaptureClockQpc(&media::performanceCounter, media::performanceFrequency())
{
}

CaptureClockQpc::CaptureClockQpc(TickSource ticks, std::int64_t ticksPerSecond)
    : frequency(ticksPerSecond < 1 ? 1 : ticksPerSecond), ticks_(std::move(ticks))
{
    startTicks = ticks_();
}

void CaptureClockQpc::restart()
{
    std::lock_guard lock(mutex_);
    pausedAt_ = -1;
    startTicks = ticks_();
}

void CaptureClockQpc::pause()
{
    std::lock_guard lock(mutex_);
    if (pausedAt_ < 0)
        pausedAt_ = ticks_();
}

void CaptureClockQpc::resume()
{
    std::lock_guard lock(mutex_);
    if (pausedAt_ < 0)
        return;
    startTicks += ticks_() - pausedAt_;
    pausedAt_ = -1;
}

std::int64_t CaptureClockQpc::currentTicks() const
{
    std::lock_guard lock(mutex_);
    return pausedAt_ >= 0 ? pausedAt_ : ticks_();
}

std::int64_t CaptureClockQpc::elapsedMicroseconds() const
{
    std::lock_guard lock(mutex_);
    const std::int64_t now = pausedAt_ >= 0 ? pausedAt_ : ticks_();
    return (now - startTicks) * 1000000 / frequency;
}
