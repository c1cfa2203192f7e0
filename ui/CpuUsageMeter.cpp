#include "CpuUsageMeter.h"

#include <algorithm>

namespace {
constexpr double kProcessTicksPerSecond = 10'000'000.0;
}

double CpuUsageMeter::sample(std::int64_t processTime, std::int64_t counter, std::int64_t frequency,
                             int threadCount)
{
    if (!hasBase_ || frequency <= 0) {
        hasBase_ = frequency > 0;
        lastProcessTime_ = processTime;
        lastCounter_ = counter;
        return 0.0;
    }
    const std::int64_t processDelta = processTime - lastProcessTime_;
    const std::int64_t counterDelta = counter - lastCounter_;
    lastProcessTime_ = processTime;
    lastCounter_ = counter;
    if (counterDelta <= 0)
        return 0.0;
    const double wall = double(counterDelta) / double(frequency) * kProcessTicksPerSecond;
    const double percent = 100.0 * double(processDelta) / wall / double(std::max(1, threadCount));
    return std::clamp(percent, 0.0, 100.0);
}

double CpuUsageMeter::sampleFailed()
{
    hasBase_ = false;
    return 0.0;
}
