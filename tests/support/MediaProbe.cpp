#include "MediaProbe.h"

#include "encode/FfmpegHolders.h"

extern "C" {
#include <libavutil/tx.h>
}

#include <cmath>
#include <complex>
#include <functional>
#include <numbers>

namespace testsupport {

namespace {

// Feeds every packet of the file's best stream of that type, or its nth one of it, to a decoder,
// then flushes it, calling onFrame for each frame. False when the stream cannot be decoded.
bool decodeStream(const QString& path, AVMediaType type, int nth,
                  const std::function<void(const AVFrame&, AVRational timeBase)>& onFrame)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return false;
    ffmpeg::InputFormatContextPtr format(raw);
    const AVCodec* codec = nullptr;
    int wanted = -1;
    for (unsigned i = 0; nth >= 0 && i < raw->nb_streams && wanted < 0; ++i)
        if (raw->streams[i]->codecpar->codec_type == type && nth-- == 0)
            wanted = int(i);
    const int index = avformat_find_stream_info(raw, nullptr) < 0
                          ? -1
                          : av_find_best_stream(raw, type, wanted, -1, &codec, 0);
    if (index < 0 || !codec)
        return false;
    const AVStream* stream = raw->streams[index];
    ffmpeg::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0)
        return false;
    decoder->pkt_timebase = stream->time_base;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return false;
    ffmpeg::PacketPtr packet(av_packet_alloc());
    ffmpeg::FramePtr frame(av_frame_alloc());
    const auto receiveAll = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
            onFrame(*frame, stream->time_base);
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(raw, packet.get()) >= 0) {
        if (packet->stream_index == index) {
            avcodec_send_packet(decoder.get(), packet.get());
            receiveAll();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(decoder.get(), nullptr);
    receiveAll();
    return true;
}

} // namespace

bool MediaProbe::open(const QString& path)
{
    path_ = path;
    streams_.clear();
    AVFormatContext* raw = nullptr;
    int ret = avformat_open_input(&raw, path.toUtf8().constData(), nullptr, nullptr);
    ffmpeg::InputFormatContextPtr format(raw);
    if (ret >= 0)
        ret = avformat_find_stream_info(raw, nullptr);
    if (ret < 0) {
        error_ = "Cannot read " + path + ": " + ffmpeg::errorText(ret);
        return false;
    }
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const AVStream* stream = raw->streams[i];
        const AVCodecParameters* par = stream->codecpar;
        const AVDictionaryEntry* name = av_dict_get(stream->metadata, "title", nullptr, 0);
        if (!name)
            name = av_dict_get(stream->metadata, "handler_name", nullptr, 0);
        streams_.append({par->codec_type, QString::fromUtf8(avcodec_get_name(par->codec_id)),
                         par->width, par->height, par->sample_rate, par->ch_layout.nb_channels,
                         stream->time_base, double(stream->duration) * av_q2d(stream->time_base),
                         name ? QString::fromUtf8(name->value) : QString()});
    }
    error_.clear();
    return true;
}

const ProbedStream* MediaProbe::stream(AVMediaType type, int nth) const
{
    for (const ProbedStream& stream : streams_)
        if (stream.type == type && nth-- == 0)
            return &stream;
    return nullptr;
}

QList<DecodedVideoFrame> MediaProbe::decodeVideo(const QList<QRect>& regions)
{
    QList<DecodedVideoFrame> result;
    ffmpeg::SwsContextPtr scaler;
    const bool decoded =
        decodeStream(path_, AVMEDIA_TYPE_VIDEO, -1, [&](const AVFrame& frame, AVRational timeBase) {
            scaler.reset(sws_getCachedContext(
                scaler.release(), frame.width, frame.height, AVPixelFormat(frame.format),
                frame.width, frame.height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
            // swscale's vector code may write past the end of the last line: give it spare rows.
            QImage image(frame.width, frame.height + 2, QImage::Format_RGB888);
            uint8_t* destination[4] = {image.bits(), nullptr, nullptr, nullptr};
            const int destinationStride[4] = {int(image.bytesPerLine()), 0, 0, 0};
            sws_scale(scaler.get(), frame.data, frame.linesize, 0, frame.height, destination,
                      destinationStride);
            DecodedVideoFrame decoded;
            decoded.pts = frame.best_effort_timestamp;
            decoded.seconds =
                decoded.pts == AV_NOPTS_VALUE ? 0.0 : double(decoded.pts) * av_q2d(timeBase);
            for (const QRect& region : regions)
                decoded.regionColours.append(averageColour(
                    image, region.intersected(QRect(0, 0, frame.width, frame.height))));
            result.append(decoded);
        });
    if (!decoded)
        error_ = "Cannot decode the video of " + path_;
    return result;
}

DecodedAudio MediaProbe::decodeAudio(int nth)
{
    DecodedAudio result;
    ffmpeg::SwrContextPtr converter;
    std::vector<float*> planes;
    const bool decoded =
        decodeStream(path_, AVMEDIA_TYPE_AUDIO, nth, [&](const AVFrame& frame, AVRational) {
            if (!converter) {
                // Same rate and layout, planar float: only the sample format changes.
                SwrContext* raw = nullptr;
                swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(&frame.ch_layout),
                                    AV_SAMPLE_FMT_FLTP, frame.sample_rate,
                                    const_cast<AVChannelLayout*>(&frame.ch_layout),
                                    AVSampleFormat(frame.format), frame.sample_rate, 0, nullptr);
                converter.reset(raw);
                if (!raw || swr_init(raw) < 0)
                    return;
                result.sampleRate = frame.sample_rate;
                result.channels = frame.ch_layout.nb_channels;
                result.samples.assign(result.channels, {});
                planes.resize(result.channels);
            }
            const size_t start = size_t(result.totalSamples);
            const int capacity = frame.nb_samples + 256;
            for (int c = 0; c < result.channels; ++c) {
                result.samples[c].resize(start + capacity);
                planes[c] = result.samples[c].data() + start;
            }
            const int kept =
                std::max(0, swr_convert(converter.get(), reinterpret_cast<uint8_t**>(planes.data()),
                                        capacity, const_cast<const uint8_t**>(frame.extended_data),
                                        frame.nb_samples));
            for (int c = 0; c < result.channels; ++c)
                result.samples[c].resize(start + kept);
            result.totalSamples += kept;
        });
    if (!decoded)
        error_ = "Cannot decode the audio of " + path_;
    return result;
}

QColor MediaProbe::averageColour(const QImage& image, const QRect& region)
{
    const QRect area = region.intersected(image.rect());
    if (area.isEmpty())
        return {};
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    double sum[3] = {0.0, 0.0, 0.0};
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            for (int c = 0; c < 3; ++c)
                sum[c] += rgb.constScanLine(y)[3 * x + c];
    const double count = double(area.width()) * area.height();
    return QColor(qRound(sum[0] / count), qRound(sum[1] / count), qRound(sum[2] / count));
}

bool MediaProbe::near(QColor actual, QColor expected, int tolerance)
{
    return std::abs(actual.red() - expected.red()) < tolerance &&
           std::abs(actual.green() - expected.green()) < tolerance &&
           std::abs(actual.blue() - expected.blue()) < tolerance;
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
    std::vector<std::complex<double>> windowed(n);
    for (size_t i = 0; i < n; ++i)
        windowed[i] = samples[offset + i] *
                      (0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * double(i) / double(n - 1)));
    AVTXContext* tx = nullptr;
    av_tx_fn fft = nullptr;
    const double scale = 1.0;
    if (av_tx_init(&tx, &fft, AV_TX_DOUBLE_FFT, 0, int(n), &scale, AV_TX_UNALIGNED) < 0)
        return 0.0;
    std::vector<std::complex<double>> data(n);
    fft(tx, data.data(), windowed.data(), sizeof(std::complex<double>));
    av_tx_uninit(&tx);

    const double binHz = double(sampleRate) / double(n);
    const size_t first = std::max<size_t>(1, size_t(minHz / binHz));
    const size_t last = std::min(n / 2 - 1, size_t(maxHz / binHz) + 1);
    size_t peak = first;
    for (size_t k = first; k <= last; ++k)
        if (std::abs(data[k]) > std::abs(data[peak]))
            peak = k;
    double shift = 0.0;
    if (peak + 1 < n / 2) {
        const double a = std::log(std::abs(data[peak - 1]) + 1e-12);
        const double b = std::log(std::abs(data[peak]) + 1e-12);
        const double c = std::log(std::abs(data[peak + 1]) + 1e-12);
        if (a - 2.0 * b + c != 0.0)
            shift = 0.5 * (a - c) / (a - 2.0 * b + c);
    }
    return (double(peak) + shift) * binHz;
}

double MediaProbe::rms(const std::vector<float>& samples)
{
    double sum = 0.0;
    for (float s : samples)
        sum += double(s) * s;
    return samples.empty() ? 0.0 : std::sqrt(sum / double(samples.size()));
}

} // namespace testsupport
