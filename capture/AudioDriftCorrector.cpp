#include "AudioDriftCorrector.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kSmoothingSeconds = 4.0;
// Longer than the smoothing, so the baseline holds the latency and not the start's bursts.
constexpr double kSettleSeconds = 8.0;
constexpr double kStartCorrectingSeconds = 0.005;
constexpr double kStopCorrectingSeconds = 0.002;
constexpr double kMostCorrectedShare = 0.001;

} // namespace

AudioDriftCorrector::AudioDriftCorrector(int rate) : rate_(rate > 0 ? rate : 1) {}

void AudioDriftCorrector::reset()
{
    observed_ = 0;
    settled_ = false;
    correcting_ = false;
    owed_ = 0;
}

int AudioDriftCorrector::correction(std::int64_t expected, std::int64_t produced, int incoming)
{
    if (incoming <= 0)
        return 0;
    const double lead = double(produced + incoming - expected);
    const double weight = std::min(1.0, incoming / (kSmoothingSeconds * rate_));
    smoothedLead_ = observed_ == 0 ? lead : smoothedLead_ + weight * (lead - smoothedLead_);
    observed_ += incoming;
    if (!settled_) {
        if (observed_ < kSettleSeconds * rate_)
            return 0;
        settled_ = true;
        baseline_ = smoothedLead_;
    }
    const double drift = smoothedLead_ - baseline_;
    if (std::abs(drift) > kStartCorrectingSeconds * rate_)
        correcting_ = true;
    else if (std::abs(drift) < kStopCorrectingSeconds * rate_)
        correcting_ = false;
    if (!correcting_)
        return 0;
    owed_ += (drift > 0 ? 1 : -1) * kMostCorrectedShare * incoming;
    const int now = int(owed_); // toward zero: whole samples only
    owed_ -= now;
    return now;
}
