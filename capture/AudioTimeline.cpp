#include "AudioTimeline.h"

#include "AudioSampleConvert.h"

#include <algorithm>
#include <cmath>

AudioTimeline::AudioTimeline(int rate, std::int64_t lateLimit)
    : rate_(rate), lateLimit_(lateLimit), drift_(rate)
{
}

void AudioTimeline::append(const std::uint8_t* data, const AudioInputFormat& format, int n)
{
    if (n <= 0)
        return;
    const std::size_t end = left_.size();
    left_.resize(end + std::size_t(n));
    right_.resize(end + std::size_t(n));
    std::uint8_t* const planes[2] = {reinterpret_cast<std::uint8_t*>(left_.data() + end),
                                     reinterpret_cast<std::uint8_t*>(right_.data() + end)};
    if (data)
        audioconvert::convert(data, format, n, AV_SAMPLE_FMT_FLTP, planes, 0);
    else
        audioconvert::writeSilence(AV_SAMPLE_FMT_FLTP, planes, 0, n);
    position_ += n;
    const std::int64_t excess = std::int64_t(available()) - mostHeld_;
    if (mostHeld_ > 0 && excess > 0)
        head_ += std::size_t(excess);
    compact();
}

void AudioTimeline::compact()
{
    // Moving the rest to the front once half is taken keeps the copying linear.
    if (head_ == 0 || head_ < left_.size() / 2)
        return;
    left_.erase(left_.begin(), left_.begin() + std::ptrdiff_t(head_));
    right_.erase(right_.begin(), right_.begin() + std::ptrdiff_t(head_));
    head_ = 0;
}

void AudioTimeline::add(const AudioPacket& packet, const AudioInputFormat& format,
                        std::int64_t expected)
{
    if (packet.frames <= 0)
        return;
    // The first sound ends now on the clock; what came before it was not heard, and placing it
    // at the start would put the sound ahead of the pictures by the server's latency.
    if (!delivered_)
        padTo(expected - packet.frames);
    delivered_ = true;
    const std::uint8_t* data = packet.silent ? nullptr : packet.data.data();
    const int correction = drift_.correction(expected, position_, packet.frames);
    // A fast device loses its last sample or two, a slow one hears its last again.
    append(data, format, packet.frames - std::max(correction, 0));
    const int bytesPerSample = format.channels * (format.bits / 8);
    const std::uint8_t* last =
        data ? data + std::size_t(packet.frames - 1) * std::size_t(bytesPerSample) : nullptr;
    for (int i = correction; i < 0; ++i)
        append(last, format, 1);
}

bool AudioTimeline::fillToClock(std::int64_t expected, int frameSize)
{
    const std::int64_t silence = audioconvert::silenceToInsert(
        expected, position_, rate_, frameSize, delivered_ ? lateLimit_ : 0);
    if (silence <= 0)
        return false;
    append(nullptr, {}, int(silence));
    drift_.reset();
    return true;
}

void AudioTimeline::padTo(std::int64_t expected)
{
    if (expected > position_)
        append(nullptr, {}, int(std::min<std::int64_t>(expected - position_, 2LL * rate_)));
}

void AudioTimeline::restart()
{
    drift_.reset();
}

void AudioTimeline::takeInto(float* left, float* right, int n, bool muted)
{
    n = std::clamp(n, 0, available());
    if (!muted) {
        for (int i = 0; i < n; ++i) {
            left[i] += left_[head_ + std::size_t(i)];
            right[i] += right_[head_ + std::size_t(i)];
        }
    }
    head_ += std::size_t(n);
    compact();
}

AudioLimiter::AudioLimiter(int rate, float ceiling)
    : ceiling_(ceiling), release_(1.0f - std::exp(-1.0f / (0.05f * float(std::max(rate, 1)))))
{
}

void AudioLimiter::process(float* left, float* right, int n)
{
    for (int i = 0; i < n; ++i) {
        const float peak = std::max(std::fabs(left[i]), std::fabs(right[i]));
        gain_ += (1.0f - gain_) * release_;
        if (peak * gain_ > ceiling_)
            gain_ = ceiling_ / peak;
        left[i] *= gain_;
        right[i] *= gain_;
    }
}
