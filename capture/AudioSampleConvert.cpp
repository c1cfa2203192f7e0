#include "AudioSampleConvert.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace audioconvert {

TargetFormat targetFor(AVCodecID codec)
{
    switch (codec) {
    case AV_CODEC_ID_AAC:
        return {AV_SAMPLE_FMT_FLTP, 1024};
    case AV_CODEC_ID_MP3:
        return {AV_SAMPLE_FMT_FLTP, 1152};
    case AV_CODEC_ID_FLAC:
        return {AV_SAMPLE_FMT_S16, 4608};
    default:
        return {AV_SAMPLE_FMT_S16, 1024};
    }
}

const char* formatName(AVSampleFormat format)
{
    if (format == AV_SAMPLE_FMT_FLTP)
        return "FLTP";
    if (format == AV_SAMPLE_FMT_S16)
        return "S16";
    return "OTHER";
}

void writeSilence(AVSampleFormat target, std::uint8_t* const planes[2], int offset, int n)
{
    if (n <= 0)
        return;
    if (target == AV_SAMPLE_FMT_FLTP) {
        for (int c = 0; c < 2; ++c)
            std::memset(planes[c] + size_t(offset) * sizeof(float), 0, size_t(n) * sizeof(float));
    } else {
        std::memset(planes[0] + size_t(offset) * 2 * sizeof(std::int16_t), 0,
                    size_t(n) * 2 * sizeof(std::int16_t));
    }
}

namespace {

// Reads sample i of channel c without alignment assumptions.
template <typename T> T sampleAt(const std::uint8_t* input, int channels, int i, int c)
{
    T value;
    std::memcpy(&value, input + (size_t(i) * size_t(channels) + size_t(c)) * sizeof(T), sizeof(T));
    return value;
}

std::int16_t floatToS16(float value)
{
    const float clamped = std::clamp(value, -1.0f, 1.0f);
    // The inverse of the * 1/32768 that reads 16-bit samples, so they come back unchanged.
    const long rounded = std::lrintf(clamped * 32768.0f);
    return static_cast<std::int16_t>(std::clamp(rounded, -32768L, 32767L));
}

} // namespace

void convert(const std::uint8_t* input, const AudioInputFormat& in, int n, AVSampleFormat target,
             std::uint8_t* const planes[2], int offset)
{
    const bool isFloat = in.isFloat && in.bits == 32;
    const bool isS16 = in.isPcm && in.bits == 16;
    if (n <= 0)
        return;
    if (!input || in.channels <= 0 || (!isFloat && !isS16)) {
        writeSilence(target, planes, offset, n);
        return;
    }
    const int rightChannel = in.channels > 1 ? 1 : 0;
    if (target == AV_SAMPLE_FMT_FLTP) {
        auto* left = reinterpret_cast<float*>(planes[0]) + offset;
        auto* right = reinterpret_cast<float*>(planes[1]) + offset;
        for (int i = 0; i < n; ++i) {
            if (isFloat) {
                left[i] = sampleAt<float>(input, in.channels, i, 0);
                right[i] = sampleAt<float>(input, in.channels, i, rightChannel);
            } else {
                left[i] = sampleAt<std::int16_t>(input, in.channels, i, 0) * 3.0517578e-5f;
                right[i] =
                    sampleAt<std::int16_t>(input, in.channels, i, rightChannel) * 3.0517578e-5f;
            }
        }
    } else {
        auto* out = reinterpret_cast<std::int16_t*>(planes[0]) + size_t(offset) * 2;
        for (int i = 0; i < n; ++i) {
            if (isFloat) {
                out[2 * i] = floatToS16(sampleAt<float>(input, in.channels, i, 0));
                out[2 * i + 1] = floatToS16(sampleAt<float>(input, in.channels, i, rightChannel));
            } else {
                out[2 * i] = sampleAt<std::int16_t>(input, in.channels, i, 0);
                out[2 * i + 1] = sampleAt<std::int16_t>(input, in.channels, i, rightChannel);
            }
        }
    }
}

void convertPlanarFloat(const float* left, const float* right, int n, AVSampleFormat target,
                        std::uint8_t* const planes[2], int offset)
{
    if (n <= 0)
        return;
    if (target == AV_SAMPLE_FMT_FLTP) {
        std::memcpy(reinterpret_cast<float*>(planes[0]) + offset, left, size_t(n) * sizeof(float));
        std::memcpy(reinterpret_cast<float*>(planes[1]) + offset, right, size_t(n) * sizeof(float));
        return;
    }
    auto* out = reinterpret_cast<std::int16_t*>(planes[0]) + size_t(offset) * 2;
    for (int i = 0; i < n; ++i) {
        out[2 * i] = floatToS16(left[i]);
        out[2 * i + 1] = floatToS16(right[i]);
    }
}

std::int64_t expectedSamples(std::int64_t nowTicks, std::int64_t startTicks,
                             std::int64_t ticksPerSecond, int rate)
{
    if (ticksPerSecond <= 0)
        return 0;
    const std::int64_t micros = (nowTicks - startTicks) * 1000000 / ticksPerSecond;
    return micros * rate / 1000000;
}

std::int64_t silenceToInsert(std::int64_t expected, std::int64_t samplesHeld, int rate,
                             int frameSize, std::int64_t minimumLag)
{
    const std::int64_t deficit = expected - samplesHeld;
    const std::int64_t threshold =
        std::max({std::int64_t(5LL * frameSize), std::int64_t(rate / 10), minimumLag});
    if (deficit < threshold)
        return 0;
    return std::min<std::int64_t>(deficit, 2LL * rate);
}

} // namespace audioconvert
