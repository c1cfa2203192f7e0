#pragma once

// The monotonic clock of the benchmark helpers, in nanoseconds, and absolute sleeps on it, so
// their schedules do not drift by the time each step takes.

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace bench {

constexpr std::int64_t kNsPerSecond = 1000000000;

inline std::int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

// Sleeps until deadlineNs, or until a signal sets stop.
template <typename StopFlag> void sleepUntil(std::int64_t deadlineNs, const StopFlag& stop)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadlineNs / kNsPerSecond);
    ts.tv_nsec = static_cast<long>(deadlineNs % kNsPerSecond);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR && !stop) {
    }
}

} // namespace bench
