#include "SyntheticFrames.h"

#include "media/FrameDuration.h"
#include "encode/FfmpegHolders.h"

#include <cmath>
#include <numbers>

namespace testsupport {

QColor patternColour(int x, int width, int frameIndex)
{
    if (x < width / 2)
        return kPatternBlue;
    const int column = (x - width / 2) * 4 / (width - width / 2);
    return column == frameIndex % 4 ? QColor(240, 240, 240) : QColor(50, 50, 50);
}

SharedFrame makePatternFrame(int width, int height, int frameIndex, AVPixelFormat format,
                             std::int64_t ptsUs, std::int64_t durationUs)
{
    ffmpeg::FramePtr bgra(av_frame_alloc());
    if (!bgra)
        return {};
    bgra->format = AV_PIX_FMT_BGRA;
    bgra->width = width;
    bgra->height = height;
    if (av_frame_get_buffer(bgra.get(), 0) < 0)
        return {};
    for (int y = 0; y < height; ++y) {
        uint8_t* line = bgra->data[0] + y * bgra->linesize[0];
        for (int x = 0; x < width; ++x) {
            const QColor colour = patternColour(x, width, frameIndex);
            line[4 * x] = static_cast<uint8_t>(colour.blue());
            line[4 * x + 1] = static_cast<uint8_t>(colour.green());
            line[4 * x + 2] = static_cast<uint8_t>(colour.red());
            line[4 * x + 3] = 255;
        }
    }
    ffmpeg::FramePtr frame;
    if (format == AV_PIX_FMT_BGRA) {
        frame = std::move(bgra);
    } else {
        frame.reset(av_frame_alloc());
        frame->format = format;
        frame->width = width;
        frame->height = height;
        if (av_frame_get_buffer(frame.get(), 0) < 0)
            return {};
        ffmpeg::SwsContextPtr convert(sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height,
                                                     format, SWS_POINT, nullptr, nullptr, nullptr));
        if (!convert)
            return {};
        sws_scale(convert.get(), bgra->data, bgra->linesize, 0, height, frame->data,
                  frame->linesize);
    }
    frame->pts = ptsUs;
    setFrameDuration(frame.get(), durationUs);
    return makeSharedFrame(frame.release());
}

QList<QRect> patternRegions(int width, int height)
{
    QList<QRect> regions{QRect(width / 8, height / 4, width / 4, height / 2)};
    const int columnWidth = (width - width / 2) / 4;
    for (int column = 0; column < 4; ++column)
        regions.append(QRect(width / 2 + column * columnWidth + columnWidth / 4, height / 4,
                             columnWidth / 2, height / 2));
    return regions;
}

int patternBarColumn(const QList<QColor>& regionColours)
{
    int brightest = 0;
    for (int column = 1; column < 4 && 1 + column < regionColours.size(); ++column) {
        if (regionColours.at(1 + column).lightness() > regionColours.at(1 + brightest).lightness())
            brightest = column;
    }
    return brightest;
}

SharedFrame makeToneFrame(int sampleRate, int samples, std::int64_t firstSample, double hz,
                          double amplitude)
{
    ffmpeg::FramePtr frame(av_frame_alloc());
    if (!frame)
        return {};
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = sampleRate;
    frame->nb_samples = samples;
    av_channel_layout_default(&frame->ch_layout, 2);
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    auto* left = reinterpret_cast<float*>(frame->data[0]);
    auto* right = reinterpret_cast<float*>(frame->data[1]);
    for (int i = 0; i < samples; ++i) {
        const double t = static_cast<double>(firstSample + i) / sampleRate;
        const auto value =
            static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz * t));
        left[i] = value;
        right[i] = value;
    }
    frame->pts = firstSample;
    return makeSharedFrame(frame.release());
}

} // namespace testsupport
