#include "TabMediaBudget.h"

#include <algorithm>

namespace tabcapture {

MediaBudget::MediaBudget(int frameRate, int sampleRate, int maxItems)
    : maxPictures_(std::int64_t(kMaxSeconds) * std::max(frameRate, 1)),
      maxSamples_(std::int64_t(kMaxSeconds) * std::max(sampleRate, 1)),
      maxItems_(std::max(maxItems, 1))
{
}

MediaBudget::Charge MediaBudget::chargeFor(std::int64_t payloadBytes, std::int64_t pictures,
                                           std::int64_t samples)
{
    return {std::max<std::int64_t>(payloadBytes, 0) + kItemOverheadBytes, pictures, samples};
}

bool MediaBudget::tryCharge(const Charge& charge)
{
    if (bytes_.load() + charge.bytes > kMaxBytes ||
        pictures_.load() + charge.pictures > maxPictures_ ||
        samples_.load() + charge.samples > maxSamples_ || items_.load() + 1 > maxItems_)
        return false;
    this->charge(charge);
    return true;
}

void MediaBudget::charge(const Charge& charge)
{
    bytes_ += charge.bytes;
    pictures_ += charge.pictures;
    samples_ += charge.samples;
    const std::int64_t items = ++items_;
    for (std::int64_t peak = peakItems_.load(); items > peak;)
        peakItems_.compare_exchange_weak(peak, items);
}

void MediaBudget::release(const Charge& charge)
{
    bytes_ -= charge.bytes;
    pictures_ -= charge.pictures;
    samples_ -= charge.samples;
    --items_;
}

MediaBudget::Charge MediaBudget::held() const
{
    return {bytes_.load(), pictures_.load(), samples_.load()};
}

} // namespace tabcapture
