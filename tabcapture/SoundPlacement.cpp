#include "tabcapture/SoundPlacement.h"

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace tabcapture {

SoundPlacement::SoundPlacement(int sampleRate) : sampleRate_(sampleRate) {}

SoundPlacement::Step SoundPlacement::place(std::int64_t dueUs, std::int64_t written,
                                           std::int64_t blockSamples)
{
    if (pendingSkip_ > 0)
        return moveTo(-pendingSkip_, blockSamples);
    const auto samples = [this](std::int64_t us) { return av_rescale(us, sampleRate_, 1000000); };
    const std::int64_t gap = samples(dueUs) - written;
    if (gap > samples(kLongestGapUs)) {
        placed_ = true;
        return {};
    }
    if (!placed_ || gap > samples(kSlackUs) || gap < -samples(kSlackUs)) {
        placed_ = true;
        return moveTo(gap, blockSamples);
    }
    errorSum_ += gap;
    if (++errorBlocks_ < kWindowBlocks)
        return {};
    const std::int64_t mean = errorSum_ / errorBlocks_;
    errorSum_ = 0;
    errorBlocks_ = 0;
    return mean > samples(kSteadyErrorUs) || mean < -samples(kSteadyErrorUs)
               ? moveTo(mean, blockSamples)
               : Step{};
}

SoundPlacement::Step SoundPlacement::moveTo(std::int64_t gap, std::int64_t blockSamples)
{
    errorSum_ = 0;
    errorBlocks_ = 0;
    if (gap >= 0)
        return {gap, 0};
    const std::int64_t skip = std::min(-gap, blockSamples);
    pendingSkip_ = -gap - skip;
    return {0, skip};
}

} // namespace tabcapture
