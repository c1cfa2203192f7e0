#pragma once

#include <cstdint>
#include <functional>

// The time base of one recording: microseconds since its start on the monotonic counter.
// Pausing does not stop it. Written by the GUI thread before the worker threads start, then only
// read, so reading it is thread-safe.
class CaptureClockQpc
{
public:
    using TickSource = std::function<std::int64_t()>;

    CaptureClockQpc();
    // Tests drive time through their own tick source and frequency.
    CaptureClockQpc(TickSource ticks, std::int64_t ticksPerSecond);

    // Makes "now" time 0.
    void restart();
    std::int64_t elapsedMicroseconds() const;
    std::int64_t currentTicks() const { return ticks_(); }

    std::int64_t frequency = 1;
    std::int64_t startTicks = 0;

private:
    TickSource ticks_;
};
