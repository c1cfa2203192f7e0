#include "ProcessTimes.h"

#include <sys/resource.h>

namespace platform {

namespace {
std::int64_t toTicks(const timeval& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 10'000'000 +
           static_cast<std::int64_t>(time.tv_usec) * 10;
}
} // namespace

std::optional<std::int64_t> processCpuTime()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return std::nullopt;
    return toTicks(usage.ru_utime) + toTicks(usage.ru_stime);
}

} // namespace platform
