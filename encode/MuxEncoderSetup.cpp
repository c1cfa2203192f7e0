#include "MuxEncoderSetup.h"

#include "base/SettingsKeys.h"
#include "mux_thread_win.h"

#include <QDebug>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/opt.h>
}

namespace {

constexpr AVRational kMicrosecondTimeBase{1, 1000000};
constexpr int kAudioSampleRate = 48000;
constexpr int kAudioChannels = 2;
constexpr int kH264ProfileMain = 77;
constexpr int kH264Level = 40;
// Frame and slice threading together.
constexpr int kThreadTypeFrameAndSlice = 3;
constexpr int kStandardQuality = 30;
constexpr int kOriginalQuality = 18;
// The largest picture whose motion is searched to half pixels.
constexpr std::int64_t kLargestHalfPelPixels = 2560LL * 1600;

const char* containerFor(AVCodecID codecId)
{
    switch (codecId) {
    case AV_CODEC_ID_H264:
        return "mp4";
    case AV_CODEC_ID_MPEG2VIDEO:
        return "mpeg";
    case AV_CODEC_ID_MPEG4:
        return "avi";
    case AV_CODEC_ID_WMV2:
        return "asf";
    default:
        return nullptr;
    }
}

// The options are a wish list across encoders: one the chosen encoder lacks, or whose value it
// refuses, has no effect and is only named in the log, so that a user can see what did not apply.
void setOption(AVCodecContext* context, const char* name, const QString& value)
{
    const int ret = av_opt_set(context->priv_data, name, value.toUtf8().constData(), 0);
    if (ret < 0)
        qDebug().noquote() << QStringLiteral("Encoder option not applied by %1: %2=%3 (%4)")
                                  .arg(QString::fromUtf8(context->codec->name),
                                       QString::fromUtf8(name), value, ffmpeg::errorText(ret));
}

void setOption(AVCodecContext* context, const char* name, long long value)
{
    setOption(context, name, QString::number(value));
}

// The modes a hardware encoder's rate control is asked for: the quality setting's fixed quality,
// a variable rate peaking at 1.2 times the automatic bitrate, or the user's bitrate held constant.
enum class RateControlMode { ConstantQuality = 0, Variable = 1, Constant = 2 };

// How each hardware encoder takes the rate control: the option naming the mode and its value for
// each RateControlMode; the options set to the quality (times qualityScale); the options of the
// bitrate and of the variable mode's peak; then the options that keep its latency low.
struct HardwareRateControl
{
    const char* encoder;
    const char* modeOption;
    const char* modes[3];
    const char* qualityOptions[3];
    int qualityScale;
    const char* bitrateOption;
    const char* peakOption;
    const char* lowLatency[4][2];
};

// clang-format off
constexpr HardwareRateControl kHardwareRateControl[] = {
    {"h264_nvenc", "rc", {"constqp", "vbr", "cbr"}, {"qp"}, 1, "bitrate", "maxrate",
     {{"preset", "fast"}, {"tune", "ll"}, {"delay", "0"}, {"zerolatency", "1"}}},
    {"h264_qsv", "rc", {"icq", "vbr", "cbr"}, {"global_quality"}, 100, "bitrate", "maxrate",
     {{"preset", "fast"}, {"async_depth", "1"}, {"gpu", "0"}}},
    {"h264_amf", "rc", {"cqp", "vbr_peak", "cbr"}, {"qp_i", "qp_p", "qp_b"}, 1, "target_bitrate",
     "peak_bitrate", {{"quality", "speed"}, {"usage", "ultralowlatency"}}},
    {"h264_vaapi", "rc_mode", {"CQP", "VBR", "CBR"}, {"qp"}, 1, "bitrate", "maxrate",
     {{"tune", "zerolatency"}}},
};
// clang-format on

// The faster the pictures come, the less far things move from one to the next.
int libx264MotionRange(int fps)
{
    return fps < 15 ? 32 : fps < 30 ? 24 : fps < 60 ? 16 : 8;
}

} // namespace

MuxEncoderSetup::MuxEncoderSetup(const MuxSettings& settings, MessageSink sink)
    : settings_(settings), sink_(std::move(sink)), width_(evenSize(settings.outputWidth)),
      height_(evenSize(settings.outputHeight))
{
}

int MuxEncoderSetup::automaticBitrateKbps(int width, int height, int fps)
{
    const long long pixelsPerSecond = static_cast<long long>(width) * height * fps;
    const auto kbps = static_cast<long long>(static_cast<double>(pixelsPerSecond) * 0.15 / 1000.0);
    return static_cast<int>(std::clamp(kbps, 1000LL, 30000LL));
}

void MuxEncoderSetup::fail(const QString& logText, const QString& emittedText)
{
    qDebug().noquote() << logText;
    if (sink_)
        sink_(MSG_ERROR, emittedText);
}

bool MuxEncoderSetup::open(MuxOutput& output)
{
    const bool copied = settings_.copiedVideoCodec != AV_CODEC_ID_NONE;
    return createContainer(output) &&
           (copied ? createCopiedVideoStream(output) : createVideoStream(output)) &&
           openFileAndVideoEncoder(output) && (!settings_.withAudio || addAudioStreams(output)) &&
           writeHeader(output);
}

bool MuxEncoderSetup::createCopiedVideoStream(MuxOutput& output)
{
    output.videoStream = avformat_new_stream(output.formatContext.get(), nullptr);
    if (!output.videoStream) {
        fail("Error: Unable to create output stream for video.",
             mux_thread_win::tr("Error: Unable to create output stream for video."));
        return false;
    }
    AVCodecParameters* parameters = output.videoStream->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = settings_.copiedVideoCodec;
    parameters->width = width_;
    parameters->height = height_;
    parameters->format = AV_PIX_FMT_YUV420P;
    const QByteArray& config = settings_.copiedVideoConfig;
    if (!config.isEmpty()) {
        parameters->extradata = static_cast<std::uint8_t*>(
            av_mallocz(std::size_t(config.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!parameters->extradata) {
            fail("Error: Unable to allocate the video set-up.",
                 mux_thread_win::tr("Error: Unable to create output stream for video."));
            return false;
        }
        std::memcpy(parameters->extradata, config.constData(), std::size_t(config.size()));
        parameters->extradata_size = int(config.size());
    }
    output.videoStream->time_base = kMicrosecondTimeBase;
    output.videoStream->avg_frame_rate = AVRational{settings_.fps, 1};
    return true;
}

bool MuxEncoderSetup::createContainer(MuxOutput& output)
{
    const char* shortName = containerFor(settings_.videoCodecId);
    if (!shortName) {
        fail("Error: Unsupported video format.",
             mux_thread_win::tr("Error: Unsupported video format."));
        return false;
    }
    AVFormatContext* context = nullptr;
    const QByteArray path = settings_.outputPath.toUtf8();
    const int ret = avformat_alloc_output_context2(&context, nullptr, shortName, path.constData());
    output.formatContext.reset(context);
    if (ret < 0 || !context) {
        const QString text = ffmpeg::errorText(ret, 256);
        fail(QStringLiteral("Error: Unable to allocate output context. "
                            "avformat_alloc_output_context2 returned %1 : %2")
                 .arg(ret)
                 .arg(text),
             mux_thread_win::tr("Error: Unable to allocate output context. [%1]").arg(text));
        return false;
    }
    return true;
}

const AVCodec* MuxEncoderSetup::probeHardwareEncoder()
{
    static const char* const kCandidates[] = {"h264_nvenc", "h264_qsv", "h264_amf", "h264_vaapi"};
    for (const char* name : kCandidates) {
        const AVCodec* encoder = avcodec_find_encoder_by_name(name);
        if (!encoder)
            continue;
        // A tiny open tells whether the driver and device behind the encoder are really there.
        ffmpeg::CodecContextPtr probe(avcodec_alloc_context3(encoder));
        if (!probe)
            continue;
        probe->width = width_;
        probe->height = height_;
        probe->time_base = kMicrosecondTimeBase;
        probe->framerate = AVRational{settings_.fps, 1};
        probe->pix_fmt = AV_PIX_FMT_NV12;
        ffmpeg::Dictionary options;
        if (avcodec_open2(probe.get(), encoder, options.address()) < 0)
            continue;
        qDebug().noquote() << "Using hardware encoder:" << name;
        return encoder;
    }
    return nullptr;
}

const AVCodec* MuxEncoderSetup::chooseVideoEncoder(bool& hardware)
{
    hardware = false;
    if (settings_.videoCodecId != AV_CODEC_ID_H264)
        return avcodec_find_encoder(settings_.videoCodecId);
    if (settings_.useHardwareEncoder) {
        if (const AVCodec* encoder = probeHardwareEncoder()) {
            hardware = true;
            return encoder;
        }
    }
    qDebug().noquote() << "Using software encoder: libx264";
    if (const AVCodec* encoder = avcodec_find_encoder_by_name("libx264"))
        return encoder;
    return avcodec_find_encoder(AV_CODEC_ID_H264);
}

bool MuxEncoderSetup::createVideoStream(MuxOutput& output)
{
    bool hardware = false;
    const AVCodec* encoder = chooseVideoEncoder(hardware);
    if (!encoder) {
        fail("Error: Encoder not found.", mux_thread_win::tr("Error: Encoder not found."));
        return false;
    }
    output.hardwareEncoder = hardware;

    AVFormatContext* format = output.formatContext.get();
    output.videoStream = avformat_new_stream(format, encoder);
    if (!output.videoStream) {
        fail("Error: Unable to create output stream for video.",
             mux_thread_win::tr("Error: Unable to create output stream for video."));
        return false;
    }
    output.videoContext.reset(avcodec_alloc_context3(encoder));
    AVCodecContext* context = output.videoContext.get();
    if (!context) {
        fail("Error: Unable to allocate output codec context.",
             mux_thread_win::tr("Error: Unable to allocate output codec context."));
        return false;
    }

    const int fps = settings_.fps;
    context->codec_id = settings_.videoCodecId;
    context->width = width_;
    context->height = height_;
    context->time_base = kMicrosecondTimeBase;
    context->framerate = AVRational{fps, 1};
    context->gop_size = 2 * fps;
    context->pix_fmt = hardware ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    if (!hardware) {
        context->thread_count = std::max(1, QThread::idealThreadCount());
        context->thread_type = kThreadTypeFrameAndSlice;
    }

    chooseRate();
    output.videoStream->time_base = context->time_base;

    configureCodec(output, hardware);
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return true;
}

void MuxEncoderSetup::chooseRate()
{
    const int fps = settings_.fps;
    if (settings_.autoBitrate) {
        settings_.videoBitrateKbps = automaticBitrateKbps(width_, height_, fps);
        qDebug().noquote() << QStringLiteral("Auto bitrate calculated: %1 kbps (Resolution: %2x%3, "
                                             "FPS: %4)")
                                  .arg(settings_.videoBitrateKbps)
                                  .arg(width_)
                                  .arg(height_)
                                  .arg(fps);
    }

    if (settings_.quality == settings::kQualityStandard) {
        rateMode_ = RateMode::ConstantQuality;
        qualityValue_ = kStandardQuality;
    } else if (settings_.quality == settings::kQualityOriginal) {
        rateMode_ = RateMode::ConstantQuality;
        qualityValue_ = kOriginalQuality;
    } else {
        rateMode_ = RateMode::Bitrate;
    }
}

void MuxEncoderSetup::configureCodec(MuxOutput& output, bool hardware)
{
    AVCodecContext* context = output.videoContext.get();
    AVFormatContext* format = output.formatContext.get();
    const int fps = settings_.fps;
    switch (settings_.videoCodecId) {
    case AV_CODEC_ID_H264:
        context->max_b_frames = 0;
        context->profile = kH264ProfileMain;
        context->level = kH264Level;
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (hardware)
            configureHardwareH264(context, QString::fromUtf8(context->codec->name));
        else
            configureLibx264(context);
        break;
    case AV_CODEC_ID_WMV2:
        configureWmv2(context);
        break;
    case AV_CODEC_ID_MPEG2VIDEO:
        configureMpeg2(context, output.videoStream);
        break;
    case AV_CODEC_ID_MPEG4:
        // The encoder keeps its default bitrate. MPEG-4 part 2 cannot express a time base
        // denominator above 65535, so it counts in frames, as MPEG-2 does.
        context->time_base = AVRational{1, fps};
        output.videoStream->time_base = context->time_base;
        // AVI counts video in whole frames: shifting every stream by the audio encoder's
        // priming would round up to one frame and leave a gap after the first picture.
        format->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
        break;
    default:
        break;
    }
}

QString libx264Params(QSize size, int fps)
{
    // Half-pixel search keeps three interpolated copies of every picture the encoder holds: at
    // 4K that took the peak from 350 to 426 MB, where two cores barely keep up as it is.
    const int subme = std::int64_t(size.width()) * size.height() <= kLargestHalfPelPixels ? 1 : 0;
    return QStringLiteral("subme=%1:merange=%2:min-keyint=%3:scenecut=40:mbtree=0")
        .arg(QString::number(subme), QString::number(libx264MotionRange(fps)),
             QString::number(fps));
}

void MuxEncoderSetup::configureLibx264(AVCodecContext* context)
{
    const long long bitrate = settings_.videoBitrateKbps;
    const int fps = settings_.fps;
    if (rateMode_ == RateMode::ConstantQuality) {
        context->qmin = qualityValue_;
        context->qmax = qualityValue_;
        setOption(context, "rc", "cqp");
        setOption(context, "qp", qualityValue_);
    } else if (settings_.autoBitrate) {
        setOption(context, "preset", "ultrafast");
        setOption(context, "rc", "vbr");
        setOption(context, "bitrate", bitrate * 1000);
        setOption(context, "maxrate", bitrate * 1200);
        setOption(context, "bufsize", bitrate * 2000);
    } else {
        context->bit_rate = bitrate * 1000;
        context->rc_max_rate = context->bit_rate;
        context->rc_min_rate = context->bit_rate;
        context->rc_buffer_size = static_cast<int>(context->bit_rate / 2);
        setOption(context, "nal-hrd", "cbr");
        setOption(context, "rc_mode", "cbr");
        setOption(context, "preset", "ultrafast");
        setOption(context, "rc", "cbr");
    }
    setOption(context, "tune", "zerolatency");
    setOption(context, "me_method", "hex");
    setOption(context, "aq-mode", "2");
    setOption(context, "aq-strength", "0.8");
    setOption(context, "fast-pskip", "1");
    setOption(context, "x264-params", libx264Params(QSize(width_, height_), fps));
}

void MuxEncoderSetup::configureHardwareH264(AVCodecContext* context, const QString& encoderName)
{
    const long long bitrate = settings_.videoBitrateKbps;
    const bool constantQuality = rateMode_ == RateMode::ConstantQuality;
    if (!constantQuality)
        context->bit_rate = bitrate * 1000;
    const auto* const end = std::end(kHardwareRateControl);
    const auto* const rc =
        std::find_if(std::begin(kHardwareRateControl), end,
                     [&](const auto& row) { return encoderName == QLatin1String(row.encoder); });
    if (rc == end)
        return;
    const RateControlMode mode = constantQuality         ? RateControlMode::ConstantQuality
                                 : settings_.autoBitrate ? RateControlMode::Variable
                                                         : RateControlMode::Constant;
    setOption(context, rc->modeOption, rc->modes[int(mode)]);
    if (constantQuality) {
        for (const char* option : rc->qualityOptions)
            if (option)
                setOption(context, option, qualityValue_ * rc->qualityScale);
    } else {
        setOption(context, rc->bitrateOption, bitrate * 1000);
        if (mode == RateControlMode::Variable)
            setOption(context, rc->peakOption, bitrate * 1200);
    }
    for (const auto& option : rc->lowLatency)
        if (option[0])
            setOption(context, option[0], option[1]);
}

void MuxEncoderSetup::configureWmv2(AVCodecContext* context)
{
    const long long bitrate = settings_.videoBitrateKbps;
    context->max_b_frames = 0;
    context->bit_rate = bitrate * 1000;
    if (rateMode_ == RateMode::ConstantQuality) {
        context->qmin = qualityValue_;
        context->qmax = qualityValue_;
    } else {
        context->qmin = 3;
        context->qmax = 25;
    }
    if (settings_.autoBitrate) {
        context->rc_max_rate = bitrate * 1200;
        context->rc_buffer_size = static_cast<int>(bitrate * 2000);
    } else {
        context->rc_max_rate = context->bit_rate;
        context->rc_min_rate = context->bit_rate;
        context->rc_buffer_size = static_cast<int>(context->bit_rate / 2);
    }
    setOption(context, "me_method", "zero");
    setOption(context, "mbd", "rd");
}

void MuxEncoderSetup::configureMpeg2(AVCodecContext* context, AVStream* stream)
{
    const long long bitrate = settings_.videoBitrateKbps;
    context->max_b_frames = 0;
    context->time_base = AVRational{1, settings_.fps};
    stream->time_base = context->time_base;
    context->thread_count = 4;
    setOption(context, "me_method", "zero");
    setOption(context, "qmin", "1");
    setOption(context, "qmax", "10");
    context->bit_rate = bitrate * 1000;
    if (settings_.autoBitrate) {
        setOption(context, "vbv_maxrate", bitrate);
        setOption(context, "vbv_bufsize", bitrate * 2);
    } else {
        context->rc_max_rate = context->bit_rate;
        context->rc_min_rate = context->bit_rate;
        context->rc_buffer_size = static_cast<int>(context->bit_rate / 2);
        setOption(context, "rc_max_rate", static_cast<long long>(context->bit_rate));
        setOption(context, "rc_min_rate", static_cast<long long>(context->bit_rate));
    }
}

bool MuxEncoderSetup::openFileAndVideoEncoder(MuxOutput& output)
{
    AVFormatContext* format = output.formatContext.get();
    if (!(format->oformat->flags & AVFMT_NOFILE)) {
        const QByteArray path = settings_.outputPath.toUtf8();
        if (const int ret = avio_open(&format->pb, path.constData(), AVIO_FLAG_WRITE); ret < 0) {
            // The system's reason (no permission, no space, read-only) tells the user what to fix.
            const QString detail = settings_.outputPath + ": " + ffmpeg::errorText(ret);
            fail("Error: Unable to open output file. " + detail,
                 mux_thread_win::tr("Error: Unable to open output file. ") + detail);
            return false;
        }
    }
    AVCodecContext* context = output.videoContext.get();
    if (!context) // copied pictures: no encoder
        return true;
    if (avcodec_open2(context, context->codec, nullptr) < 0) {
        fail("muxingThread Error: Unable to open encoder.",
             mux_thread_win::tr("muxingThread Error: Unable to open encoder."));
        return false;
    }
    if (avcodec_parameters_from_context(output.videoStream->codecpar, context) < 0) {
        fail("Error: Unable to copy encoder parameters to output stream.",
             mux_thread_win::tr("Error: Unable to copy encoder parameters to output stream."));
        return false;
    }
    return true;
}

bool MuxEncoderSetup::addAudioStreams(MuxOutput& output)
{
    AVFormatContext* format = output.formatContext.get();
    const AVCodecID audioCodecId = settings_.audioCodecId;
    // FFmpeg 5.1 still calls FLAC in MP4 experimental, though its mapping is published and
    // current players read it.
    if (audioCodecId == AV_CODEC_ID_FLAC && std::strcmp(format->oformat->name, "mp4") == 0)
        format->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    const AVCodec* encoder = avcodec_find_encoder(audioCodecId);
    if (!encoder) {
        std::fprintf(stderr, "Could not find an audio encoder.\n");
        fail("Could not find an audio encoder.",
             mux_thread_win::tr("Could not find an audio encoder."));
        return false;
    }
    const int count = settings_.audioTrackCount();
    output.audioTracks.reserve(size_t(count));
    for (int track = 0; track < count; ++track) {
        const QString name = count > 1 ? settings_.audioTrackNames.at(track) : QString();
        if (!addAudioStream(output, encoder, name))
            return false;
    }
    return true;
}

bool MuxEncoderSetup::addAudioStream(MuxOutput& output, const AVCodec* encoder, const QString& name)
{
    AVFormatContext* format = output.formatContext.get();
    MuxAudioTrack& track = output.audioTracks.emplace_back();
    track.stream = avformat_new_stream(format, nullptr);
    if (!track.stream) {
        std::fprintf(stderr, "Could not create output audio stream.\n");
        fail("Could not create output audio stream.",
             mux_thread_win::tr("Could not create output audio stream."));
        return false;
    }
    if (!name.isEmpty()) {
        // Players list the tracks by these: MP4 keeps the handler name, other containers the title.
        const QByteArray utf8 = name.toUtf8();
        av_dict_set(&track.stream->metadata, "title", utf8.constData(), 0);
        av_dict_set(&track.stream->metadata, "handler_name", utf8.constData(), 0);
    }
    if (!openAudioEncoder(track, encoder, *format))
        return false;

    AVCodecContext* context = track.context.get();
    track.fifo.reset(av_audio_fifo_alloc(context->sample_fmt, context->ch_layout.nb_channels, 1));
    if (!track.fifo) {
        fail("Could not allocate FIFO", mux_thread_win::tr("Could not allocate audio FIFO."));
        return false;
    }
    track.resampledFrame.reset(av_frame_alloc());
    if (!track.resampledFrame) {
        fail("Error allocating resampled_audio_frame",
             mux_thread_win::tr("Error allocating resampled_audio_frame."));
        return false;
    }
    return true;
}

bool MuxEncoderSetup::openAudioEncoder(MuxAudioTrack& track, const AVCodec* encoder,
                                       const AVFormatContext& format)
{
    track.context.reset(avcodec_alloc_context3(encoder));
    AVCodecContext* context = track.context.get();
    if (!context) {
        std::fprintf(stderr, "Could not allocate an encoding context for output audio\n");
        fail("Could not allocate an encoding context for output audio.",
             mux_thread_win::tr("Could not allocate an encoding context for output audio."));
        return false;
    }

    const AVCodecID audioCodecId = settings_.audioCodecId;
    av_channel_layout_default(&context->ch_layout, kAudioChannels);
    context->sample_rate = kAudioSampleRate;
    const bool planarFloat = audioCodecId == AV_CODEC_ID_AAC || audioCodecId == AV_CODEC_ID_MP3;
    context->sample_fmt = planarFloat ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
    context->bit_rate = static_cast<long long>(settings_.audioBitrateKbps) * 1000;
    context->time_base = AVRational{1, kAudioSampleRate};
    track.stream->time_base = AVRational{1, kAudioSampleRate};
    if (format.oformat->flags & AVFMT_GLOBALHEADER)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    const int ret = avcodec_open2(context, encoder, nullptr);
    if (ret < 0) {
        std::fprintf(stderr, "Could not open output codec (error '%s')\n",
                     ffmpeg::errorText(ret).toUtf8().constData());
        fail("Could not open output codec for output audio.",
             mux_thread_win::tr("Could not open output codec for output audio."));
        return false;
    }
    track.stream->time_base = context->time_base;
    if (avcodec_parameters_from_context(track.stream->codecpar, context) < 0) {
        std::fprintf(stderr, "Could not initialize stream parameters\n");
        fail("Could not initialize stream parameters for output audio.",
             mux_thread_win::tr("Could not initialize stream parameters for output audio."));
        return false;
    }
    return true;
}

bool MuxEncoderSetup::writeHeader(MuxOutput& output)
{
    const int ret = avformat_write_header(output.formatContext.get(), nullptr);
    if (ret < 0) {
        const QString text = ffmpeg::errorText(ret);
        std::fprintf(stderr, "Could not write output file header (error '%s')\n",
                     text.toUtf8().constData());
        fail("Could not write output file header. " + text,
             mux_thread_win::tr("Could not write output file header.") + ' ' + text);
        return false;
    }
    return true;
}
