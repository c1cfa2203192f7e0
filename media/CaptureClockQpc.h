// The recording clock (named after the performance counter the rest of the program knows): on
// Linux its ticks are CLOCK_MONOTONIC in 100 ns units.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

// The time base of one recording: microseconds since its start on the monotonic counter, the
// paused stretches left out, so that a paused recording's file simply goes on where it stopped.
// Restarted by the GUI thread before the worker threads start; paused and resumed by it while
// they read it.
class CaptureClockQpc
{
public:
    using TickSource = std::function<std::int64_t()>;

    CaptureClockQpc();
    // Tests drive time through their own tick source and frequency.
    CaptureClockQpc(TickSource ticks, std::int64_t ticksPerSecond);

    // Makes "now" time 0, running.
    void restart();
    // Stops the clock until resume(); then it goes on from where it stopped.
    void pause();
    void resume();
    std::int64_t elapsedMicroseconds() const;
    // The counter now, or where it stood when the clock was paused.
    std::int64_t currentTicks() const;

    std::int64_t frequency = 1;
    // Moved later by each resume, by the length of the pause. Read on its own, it pairs with
    // currentTicks() only while nobody resumes: the session resumes the clock while its threads
    // are still paused.
    std::atomic<std::int64_t> startTicks = 0;

private:
    TickSource ticks_;
    mutable std::mutex mutex_;   // pause and resume against the readers
    std::int64_t pausedAt_ = -1; // -1 while running
};
