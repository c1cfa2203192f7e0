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
        return skip(pendingSkip_, blockSamples);
    // The stamps are the peer's: one further than the longest gap either way is not believed and
    // the block follows on. Compared in this order, no value of it can overflow.
    const std::int64_t writtenUs = av_rescale(written, 1000000, sampleRate_);
    if (dueUs > writtenUs + kLongestGapUs || dueUs < writtenUs - kLongestGapUs) {
        placed_ = true;
        return {};
    }
    const auto samples = [this](std::int64_t us) { return av_rescale(us, sampleRate_, 1000000); };
    const std::int64_t gap = samples(dueUs) - written;
    if (!placed_ || gap > samples(kSlackUs) || gap < -samples(kSlackUs)) {
        placed_ = true;
        return moveBy(gap, blockSamples);
    }
    errorSum_ += gap;
    if (++errorBlocks_ < kWindowBlocks)
        return {};
    const std::int64_t mean = errorSum_ / errorBlocks_;
    errorSum_ = 0;
    errorBlocks_ = 0;
    return mean > samples(kSteadyErrorUs) || mean < -samples(kSteadyErrorUs)
               ? moveBy(mean, blockSamples)
               : Step{};
}

SoundPlacement::Step SoundPlacement::moveBy(std::int64_t gap, std::int64_t blockSamples)
{
    errorSum_ = 0;
    errorBlocks_ = 0;
    Step step = gap >= 0 ? Step{gap, 0} : skip(-gap, blockSamples);
    step.movedUs = av_rescale(gap, 1000000, sampleRate_);
    return step;
}

SoundPlacement::Step SoundPlacement::skip(std::int64_t samples, std::int64_t blockSamples)
{
    const std::int64_t now = std::min(samples, blockSamples);
    pendingSkip_ = samples - now;
    return {0, now};
}

} // namespace tabcapture
