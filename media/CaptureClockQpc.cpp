#include "CaptureClockQpc.h"

#include "platform/posix/PerformanceCounter.h"

#include <utility>

CaptureClockQpc::CaptureClockQpc()
    : CaptureClockQpc(&platform::performanceCounter, platform::performanceFrequency())
{
}

CaptureClockQpc::CaptureClockQpc(TickSource ticks, std::int64_t ticksPerSecond)
    : frequency(ticksPerSecond < 1 ? 1 : ticksPerSecond), ticks_(std::move(ticks))
{
    startTicks = ticks_();
}

void CaptureClockQpc::restart()
{
    startTicks = ticks_();
}

std::int64_t CaptureClockQpc::elapsedMicroseconds() const
{
    return (ticks_() - startTicks) * 1000000 / frequency;
}
