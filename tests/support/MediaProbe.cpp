#include "MediaProbe.h"

#include "encode/FfmpegHolders.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <functional>
#include <numbers>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace testsupport {

namespace {

// A demuxer positioned at the start plus a decoder for one of its streams.
struct DecodingInput
{
    ffmpeg::InputFormatContextPtr format;
    ffmpeg::CodecContextPtr decoder;
    AVStream* stream = nullptr;
};

bool openDecoder(const QString& path, AVMediaType type, DecodingInput& input)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return false;
    input.format.reset(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0)
        return false;
    const AVCodec* codec = nullptr;
    const int index = av_find_best_stream(raw, type, -1, -1, &codec, 0);
    if (index < 0 || !codec)
        return false;
    input.stream = raw->streams[index];
    input.decoder.reset(avcodec_alloc_context3(codec));
    if (!input.decoder ||
        avcodec_parameters_to_context(input.decoder.get(), input.stream->codecpar) < 0)
        return false;
    input.decoder->pkt_timebase = input.stream->time_base;
    return avcodec_open2(input.decoder.get(), codec, nullptr) >= 0;
}

// Feeds every packet of the input's stream to its decoder, then flushes it, calling onFrame
// for each decoded frame.
void decodeAll(DecodingInput& input, const std::function<void(const AVFrame&)>& onFrame)
{
    ffmpeg::PacketPtr packet(av_packet_alloc());
    ffmpeg::FramePtr frame(av_frame_alloc());
    const auto receiveAll = [&] {
        while (avcodec_receive_frame(input.decoder.get(), frame.get()) >= 0) {
            onFrame(*frame);
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(input.format.get(), packet.get()) >= 0) {
        if (packet->stream_index == input.stream->index) {
            avcodec_send_packet(input.decoder.get(), packet.get());
            receiveAll();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(input.decoder.get(), nullptr);
    receiveAll();
}

void fft(std::vector<std::complex<double>>& data)
{
    const size_t n = data.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(data[i], data[j]);
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        const double angle = -2.0 * std::numbers::pi / static_cast<double>(length);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (size_t start = 0; start < n; start += length) {
            std::complex<double> w(1.0, 0.0);
            for (size_t k = 0; k < length / 2; ++k) {
                const std::complex<double> even = data[start + k];
                const std::complex<double> odd = data[start + k + length / 2] * w;
                data[start + k] = even + odd;
                data[start + k + length / 2] = even - odd;
                w *= step;
            }
        }
    }
}

} // namespace

bool MediaProbe::open(const QString& path)
{
    path_ = path;
    streams_.clear();
    AVFormatContext* raw = nullptr;
    int ret = avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr);
    if (ret < 0) {
        error_ = "Cannot open " + path + ": " + ffmpeg::errorText(ret);
        return false;
    }
    ffmpeg::InputFormatContextPtr format(raw);
    ret = avformat_find_stream_info(raw, nullptr);
    if (ret < 0) {
        error_ = "No stream information in " + path + ": " + ffmpeg::errorText(ret);
        return false;
    }
    containerName_ = QString::fromUtf8(raw->iformat->name);
    durationSeconds_ =
        raw->duration == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(raw->duration) / AV_TIME_BASE;
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const AVStream* stream = raw->streams[i];
        const AVCodecParameters* par = stream->codecpar;
        ProbedStream info;
        info.index = stream->index;
        info.type = par->codec_type;
        info.codecName = QString::fromUtf8(avcodec_get_name(par->codec_id));
        info.width = par->width;
        info.height = par->height;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format));
            info.pixelFormat = name ? QString::fromUtf8(name) : QString();
        }
        info.sampleRate = par->sample_rate;
        info.channels = par->ch_layout.nb_channels;
        info.timeBase = stream->time_base;
        streams_.append(info);
    }
    error_.clear();
    return true;
}

const ProbedStream* MediaProbe::firstStream(AVMediaType type) const
{
    for (const ProbedStream& stream : streams_) {
        if (stream.type == type)
            return &stream;
    }
    return nullptr;
}

QList<DecodedVideoFrame> MediaProbe::decodeVideo(const QList<QRect>& regions, bool keepImages)
{
    QList<DecodedVideoFrame> result;
    DecodingInput input;
    if (!openDecoder(path_, AVMEDIA_TYPE_VIDEO, input)) {
        error_ = "Cannot decode the video of " + path_;
        return result;
    }
    ffmpeg::SwsContextPtr scaler;
    int scalerWidth = 0;
    int scalerHeight = 0;
    int scalerFormat = AV_PIX_FMT_NONE;
    const AVRational timeBase = input.stream->time_base;

    decodeAll(input, [&](const AVFrame& frame) {
        if (!scaler || frame.width != scalerWidth || frame.height != scalerHeight ||
            frame.format != scalerFormat) {
            scaler.reset(sws_getContext(
                frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), frame.width,
                frame.height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
            scalerWidth = frame.width;
            scalerHeight = frame.height;
            scalerFormat = frame.format;
        }
        // swscale's vector code may write past the end of the last line: give it spare rows.
        QImage padded(frame.width, frame.height + 2, QImage::Format_RGB888);
        uint8_t* destination[4] = {padded.bits(), nullptr, nullptr, nullptr};
        const int destinationStride[4] = {static_cast<int>(padded.bytesPerLine()), 0, 0, 0};
        sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, destination,
                  destinationStride);
        const QImage image = padded.copy(0, 0, frame.width, frame.height);

        DecodedVideoFrame decoded;
        decoded.pts = frame.best_effort_timestamp;
        decoded.seconds = decoded.pts == AV_NOPTS_VALUE
                              ? 0.0
                              : static_cast<double>(decoded.pts) * av_q2d(timeBase);
        decoded.width = frame.width;
        decoded.height = frame.height;
        for (const QRect& region : regions)
            decoded.regionColours.append(averageColour(image, region));
        if (keepImages)
            decoded.image = image;
        result.append(decoded);
    });
    return result;
}

DecodedAudio MediaProbe::decodeAudio()
{
    DecodedAudio result;
    DecodingInput input;
    if (!openDecoder(path_, AVMEDIA_TYPE_AUDIO, input)) {
        error_ = "Cannot decode the audio of " + path_;
        return result;
    }
    ffmpeg::SwrContextPtr converter;
    std::vector<float*> planes;

    decodeAll(input, [&](const AVFrame& frame) {
        if (!converter) {
            // Same rate and layout, planar float: only the sample format changes.
            SwrContext* raw = nullptr;
            swr_alloc_set_opts2(
                &raw, const_cast<AVChannelLayout*>(&frame.ch_layout), AV_SAMPLE_FMT_FLTP,
                frame.sample_rate, const_cast<AVChannelLayout*>(&frame.ch_layout),
                static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
            converter.reset(raw);
            if (!raw || swr_init(raw) < 0)
                return;
            result.sampleRate = frame.sample_rate;
            result.channels = frame.ch_layout.nb_channels;
            result.samples.assign(result.channels, {});
        }
        const size_t start = static_cast<size_t>(result.totalSamples);
        const int capacity = frame.nb_samples + 256;
        planes.resize(result.channels);
        for (int c = 0; c < result.channels; ++c) {
            result.samples[c].resize(start + capacity);
            planes[c] = result.samples[c].data() + start;
        }
        const int converted =
            swr_convert(converter.get(), reinterpret_cast<uint8_t**>(planes.data()), capacity,
                        const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
        const int kept = std::max(converted, 0);
        for (int c = 0; c < result.channels; ++c)
            result.samples[c].resize(start + kept);
        result.totalSamples += kept;
        result.frameCount += 1;
        result.framePts.push_back(frame.best_effort_timestamp);
    });
    return result;
}

QColor MediaProbe::averageColour(const QImage& image, const QRect& region)
{
    const QRect area = region.intersected(image.rect());
    if (area.isEmpty())
        return {};
    const QImage rgb = image.format() == QImage::Format_RGB888
                           ? image
                           : image.convertToFormat(QImage::Format_RGB888);
    double red = 0.0;
    double green = 0.0;
    double blue = 0.0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const uchar* line = rgb.constScanLine(y);
        for (int x = area.left(); x <= area.right(); ++x) {
            red += line[3 * x];
            green += line[3 * x + 1];
            blue += line[3 * x + 2];
        }
    }
    const double count = static_cast<double>(area.width()) * area.height();
    return QColor(qRound(red / count), qRound(green / count), qRound(blue / count));
}

double MediaProbe::dominantFrequency(const std::vector<float>& samples, int sampleRate,
                                     double minHz, double maxHz)
{
    if (samples.size() < 64 || sampleRate <= 0)
        return 0.0;
    size_t n = 1;
    while (n * 2 <= samples.size() && n * 2 <= 65536)
        n *= 2;
    // The middle of the signal: away from encoder priming and the padded end.
    const size_t offset = (samples.size() - n) / 2;
    std::vector<std::complex<double>> data(n);
    for (size_t i = 0; i < n; ++i) {
        const double window =
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / (n - 1));
        data[i] = samples[offset + i] * window;
    }
    fft(data);

    const double binHz = static_cast<double>(sampleRate) / static_cast<double>(n);
    const size_t first = std::max<size_t>(1, static_cast<size_t>(minHz / binHz));
    const size_t last = std::min(n / 2 - 1, static_cast<size_t>(maxHz / binHz) + 1);
    size_t peak = first;
    for (size_t k = first; k <= last; ++k) {
        if (std::abs(data[k]) > std::abs(data[peak]))
            peak = k;
    }
    double shift = 0.0;
    if (peak > 0 && peak + 1 < n / 2) {
        const double a = std::log(std::abs(data[peak - 1]) + 1e-12);
        const double b = std::log(std::abs(data[peak]) + 1e-12);
        const double c = std::log(std::abs(data[peak + 1]) + 1e-12);
        const double denominator = a - 2.0 * b + c;
        if (denominator != 0.0)
            shift = 0.5 * (a - c) / denominator;
    }
    return (static_cast<double>(peak) + shift) * binHz;
}

double MediaProbe::rms(const std::vector<float>& samples)
{
    if (samples.empty())
        return 0.0;
    double sum = 0.0;
    for (float s : samples)
        sum += static_cast<double>(s) * s;
    return std::sqrt(sum / static_cast<double>(samples.size()));
}

} // namespace testsupport
