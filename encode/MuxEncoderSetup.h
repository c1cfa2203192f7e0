#pragma once

#include "FfmpegHolders.h"
#include "MuxSettings.h"
#include "media/MsgType.h"

#include <QSize>
#include <QString>

#include <functional>
#include <vector>

// One sound track of the file: its encoder and stream, the FIFO that re-blocks its samples into
// the encoder's frame size and the frame its resampler writes into.
struct MuxAudioTrack
{
    ffmpeg::CodecContextPtr context;
    AVStream* stream = nullptr; // owned by MuxOutput::formatContext
    ffmpeg::AudioFifoPtr fifo;
    ffmpeg::FramePtr resampledFrame;
};

// Everything the set-up creates and the mux loop uses. Members are released in reverse order of
// declaration, the output context (with its streams and file) last.
struct MuxOutput
{
    ffmpeg::OutputFormatContextPtr formatContext;
    ffmpeg::CodecContextPtr videoContext;
    AVStream* videoStream = nullptr; // owned by formatContext
    bool hardwareEncoder = false;
    // In the order of FrameQueueItem::track; empty without sound.
    std::vector<MuxAudioTrack> audioTracks;
};

// The options libx264 gets through "x264-params" for pictures of size at fps: those its FFmpeg
// wrapper has no names for.
QString libx264Params(QSize size, int fps);

// Opens the container and the encoders of one recording and writes the file header: container by
// the format's short name, hardware H.264 encoders probed before libx264, rate control from the
// quality and bitrate settings, and optional 48 kHz stereo audio streams, each named after its
// track when there are several.
class MuxEncoderSetup
{
public:
    using MessageSink = std::function<void(MSG_TYPE, const QString&)>;

    MuxEncoderSetup(const MuxSettings& settings, MessageSink sink);

    // Runs every step up to the header. On failure the reason has been logged and sent to the
    // sink, and output holds only what was created so far, for its holders to release.
    bool open(MuxOutput& output);

    // The size the encoder uses for a delivered frame size: odd sizes grow by one pixel.
    static int evenSize(int size) { return (size + 1) & ~1; }
    // The bitrate of "Auto": 0.15 bit per pixel, kept within 1000 .. 30000 kbit/s.
    static int automaticBitrateKbps(int width, int height, int fps);

private:
    enum class RateMode { Bitrate, ConstantQuality };

    bool createContainer(MuxOutput& output);
    const AVCodec* chooseVideoEncoder(bool& hardware);
    const AVCodec* probeHardwareEncoder();
    bool createVideoStream(MuxOutput& output);
    bool createCopiedVideoStream(MuxOutput& output);
    // The rate control the quality setting asks for, and the automatic bitrate when chosen.
    void chooseRate();
    // The chosen codec's own settings of the video encoder.
    void configureCodec(MuxOutput& output, bool hardware);
    void configureLibx264(AVCodecContext* context);
    void configureHardwareH264(AVCodecContext* context, const QString& encoderName);
    void configureWmv2(AVCodecContext* context);
    void configureMpeg2(AVCodecContext* context, AVStream* stream);
    bool openFileAndVideoEncoder(MuxOutput& output);
    bool addAudioStreams(MuxOutput& output);
    // name: written into the file as the stream's title, unless empty.
    bool addAudioStream(MuxOutput& output, const AVCodec* encoder, const QString& name);
    bool openAudioEncoder(MuxAudioTrack& track, const AVCodec* encoder,
                          const AVFormatContext& format);
    bool writeHeader(MuxOutput& output);

    void fail(const QString& logText, const QString& emittedText);

    MuxSettings settings_;
    MessageSink sink_;
    int width_ = 0;
    int height_ = 0;
    RateMode rateMode_ = RateMode::Bitrate;
    int qualityValue_ = 0;
};
