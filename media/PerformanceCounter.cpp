#include "PerformanceCounter.h"

#include <time.h>

namespace media {

namespace {
// 100 ns ticks keep (ticks x 1000000) far from overflow for recordings of many days.
constexpr std::int64_t kTicksPerSecond = 10'000'000;
} // namespace

std::int64_t performanceCounter()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / 100;
}

std::int64_t performanceFrequency()
{
    return kTicksPerSecond;
}

} // namespace media
