#pragma once

#include "FfmpegHolders.h"
#include "MuxEncoderSetup.h"
#include "MuxPacketWriter.h"

#include <QElapsedTimer>
#include <QImage>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>

// The video half of the mux loop: converts each popped frame to the encoder's size and pixel
// format, encodes it, writes its packets and sends a throttled preview image. The scalers, the
// output picture and the packet are made once and reused for every frame. Used by the mux
// thread only.
class MuxVideoPath
{
public:
    enum class Result {
        Continue,    // frame written, or skipped after a reported error
        Fatal,       // no scaler: the recording ends without flush or trailer
        EncoderGone, // the encoder is not open: leave the loop and flush
    };
    using MessageSink = MuxEncoderSetup::MessageSink;
    using PreviewSink = std::function<void(const QImage&)>;
    // Monotonic milliseconds; empty means a QElapsedTimer.
    using MillisecondClock = std::function<std::int64_t()>;

    MuxVideoPath(MuxOutput& output, MuxPacketWriter& writer, int fps, MessageSink sink);

    // Builds the preview objects when previewEnabled is set (a failure there only switches the
    // preview off), then the main scaler and the output picture. False: the recording ends.
    // The preview fits previewBox (empty: 480x270), never larger than the encoder's picture.
    bool prepare(std::atomic<bool>& previewEnabled, PreviewSink previewSink, MillisecondClock clock,
                 QSize previewBox = {});

    Result encodeFrame(const AVFrame& frame);

    // Drains the encoder after the last frame.
    void flush();

    // Frames handed to the encoder so far.
    std::int64_t framesSent() const { return framesSent_; }

private:
    SwsContext* scalerFor(const AVFrame& frame);
    void writePackets();
    bool preparePreview(QSize box);
    // Converts frame into picture_ unless picture_ already holds it; an FFmpeg error code.
    int convertInto(SwsContext* scaler, const AVFrame& frame);
    void drawPreview(const AVFrame& picture, std::uint8_t* rgb, int stride);
    void sendPreview(const AVFrame& picture);
    std::int64_t nowMs() const;
    void report(const QString& logText, const QString& emittedText);

    MuxOutput& output_;
    MuxPacketWriter& writer_;
    AVCodecContext* context_ = nullptr;
    int fps_ = 15;
    MessageSink sink_;

    ffmpeg::SwsContextPtr mainScaler_;
    // Built for frames of another size or pixel format; replaced when that geometry changes.
    ffmpeg::SwsContextPtr otherScaler_;
    int otherWidth_ = 0;
    int otherHeight_ = 0;
    int otherFormat_ = AV_PIX_FMT_NONE;

    ffmpeg::FramePtr picture_;
    // The image picture_ was converted from, referenced so that its buffer cannot be recycled
    // for another image while it is compared against.
    ffmpeg::FramePtr converted_;
    SwsContext* convertedWith_ = nullptr;
    // A reference to the last frame that needed no conversion, stamped for the encoder.
    ffmpeg::FramePtr passed_;
    ffmpeg::PacketPtr packet_;

    std::atomic<bool>* previewEnabled_ = nullptr;
    PreviewSink previewSink_;
    // The preview is a small picture: 4:2:0 pictures are shrunk and converted by libyuv
    // (previewSmall_ holds the shrunk planes), other formats by a scaler straight to its size.
    ffmpeg::SwsContextPtr previewScaler_;
    ffmpeg::FramePtr previewSmall_;
    ffmpeg::FramePtr previewFrame_;
    // Buffers the preview images are drawn into, each released by its QImage when the receiver
    // drops it, so every preview does not touch a freshly allocated image.
    struct BufferPoolDeleter
    {
        void operator()(AVBufferPool* pool) const { av_buffer_pool_uninit(&pool); }
    };
    std::unique_ptr<AVBufferPool, BufferPoolDeleter> previewBuffers_;
    MillisecondClock clock_;
    QElapsedTimer elapsed_;
    std::int64_t lastPreviewMs_ = 0;

    std::int64_t framesSent_ = 0;
    // Each picture's duration by its time stamp, for the packet it becomes: older encoders leave
    // packet durations at 0, and the MP4 muxer then ends the track where its last frame starts.
    std::map<std::int64_t, std::int64_t> pendingDurations_;
};
