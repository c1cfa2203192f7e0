#include "MuxVideoPath.h"

#include "media/FrameDuration.h"
#include "mux_thread_win.h"

#include <QDebug>
#include <QSize>

#include <algorithm>
#include <cmath>

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

constexpr AVRational kMicrosecondTimeBase{1, 1000000};
constexpr std::int64_t kPreviewIntervalMs = 200;
// The size of the main window's preview area at its smallest, where the picture is shown as it
// is; converting whole 1080p pictures for it, and shrinking them again on the GUI thread, cost
// more than the rest of the app.
constexpr int kPreviewMaxWidth = 480;
constexpr int kPreviewMaxHeight = 270;
constexpr int kPictureAlignment = 32;

// BGRA at the encoder's size into 4:2:0 with the same BT.601 limited-range matrix swscale uses,
// about fourteen times faster than swscale on this path, which otherwise costs as much CPU as
// the H.264 encoder itself at 1080p.
bool convertDirectly(const AVFrame& frame, const AVFrame& picture)
{
    return frame.format == AV_PIX_FMT_BGRA && picture.format == AV_PIX_FMT_YUV420P &&
           frame.width == picture.width && frame.height == picture.height;
}

int convert(SwsContext* scaler, const AVFrame& frame, AVFrame* picture)
{
    if (convertDirectly(frame, *picture))
        return libyuv::ARGBToI420(frame.data[0], frame.linesize[0], picture->data[0],
                                  picture->linesize[0], picture->data[1], picture->linesize[1],
                                  picture->data[2], picture->linesize[2], frame.width,
                                  frame.height) == 0
                   ? frame.height
                   : AVERROR(EINVAL);
    return sws_scale(scaler, frame.data, frame.linesize, 0, frame.height, picture->data,
                     picture->linesize);
}

// The encoder's size shrunk into the box with its aspect kept, never enlarged; even, as 4:2:0
// planes need.
QSize previewSize(int width, int height, QSize box)
{
    if (box.isEmpty())
        box = QSize(kPreviewMaxWidth, kPreviewMaxHeight);
    const double scale =
        std::min({1.0, double(box.width()) / width, double(box.height()) / height});
    const auto even = [scale](int length) {
        return std::max(2, int(std::lround(length * scale)) & ~1);
    };
    return scale < 1.0 ? QSize(even(width), even(height)) : QSize(width, height);
}

const char* pixelFormatName(int format)
{
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return name ? name : "none";
}

} // namespace

MuxVideoPath::MuxVideoPath(MuxOutput& output, MuxPacketWriter& writer, int fps, MessageSink sink)
    : output_(output), writer_(writer), context_(output.videoContext.get()), fps_(fps),
      sink_(std::move(sink))
{
}

void MuxVideoPath::report(const QString& logText, const QString& emittedText)
{
    qDebug().noquote() << logText;
    if (sink_)
        sink_(MSG_ERROR, emittedText);
}

std::int64_t MuxVideoPath::nowMs() const
{
    return clock_ ? clock_() : elapsed_.elapsed();
}

bool MuxVideoPath::prepare(std::atomic<bool>& previewEnabled, PreviewSink previewSink,
                           MillisecondClock clock, QSize previewBox)
{
    const int width = context_->width;
    const int height = context_->height;
    previewEnabled_ = &previewEnabled;
    previewSink_ = std::move(previewSink);
    clock_ = std::move(clock);

    // A preview that cannot be built costs the preview only, never the recording.
    if (previewEnabled.load() && !preparePreview(previewBox))
        previewEnabled.store(false);
    elapsed_.start();
    lastPreviewMs_ = nowMs();

    mainScaler_.reset(sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height,
                                     context_->pix_fmt, SWS_FAST_BILINEAR, nullptr, nullptr,
                                     nullptr));
    if (!mainScaler_) {
        report("Error: Unable to initialize the SwsContext.",
               mux_thread_win::tr("Error: Unable to initialize the SwsContext."));
        return false;
    }
    packet_.reset(av_packet_alloc());
    picture_.reset(av_frame_alloc());
    if (!packet_ || !picture_) {
        report("Error: Unable to allocate YUV frame.",
               mux_thread_win::tr("Error: Unable to allocate YUV frame."));
        return false;
    }
    picture_->format = context_->pix_fmt;
    picture_->width = width;
    picture_->height = height;
    if (av_frame_get_buffer(picture_.get(), kPictureAlignment) < 0) {
        report("Error: Unable to allocate YUV frame buffer.",
               mux_thread_win::tr("Error: Unable to allocate YUV frame buffer."));
        return false;
    }
    return true;
}

bool MuxVideoPath::preparePreview(QSize box)
{
    const QSize size = previewSize(context_->width, context_->height, box);
    if (context_->pix_fmt == AV_PIX_FMT_YUV420P) {
        if (size != QSize(context_->width, context_->height)) {
            previewSmall_.reset(av_frame_alloc());
            if (!previewSmall_)
                return false;
            previewSmall_->format = AV_PIX_FMT_YUV420P;
            previewSmall_->width = size.width();
            previewSmall_->height = size.height();
            if (av_frame_get_buffer(previewSmall_.get(), kPictureAlignment) < 0) {
                previewSmall_.reset();
                return false;
            }
        }
    } else {
        previewScaler_.reset(sws_getContext(context_->width, context_->height, context_->pix_fmt,
                                            size.width(), size.height(), AV_PIX_FMT_RGB24,
                                            SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
        if (!previewScaler_) {
            report(
                "Error: Unable to initialize SwsContext for RGB conversion.",
                mux_thread_win::tr("Error: Unable to initialize SwsContext for RGB conversion."));
            return false;
        }
    }
    previewFrame_.reset(av_frame_alloc());
    if (!previewFrame_) {
        qDebug().noquote() << "Error: Unable to allocate RGB frame.";
        return false;
    }
    previewFrame_->format = AV_PIX_FMT_RGB24;
    previewFrame_->width = size.width();
    previewFrame_->height = size.height();
    if (av_frame_get_buffer(previewFrame_.get(), kPictureAlignment) < 0) {
        report("Error: Unable to allocate RGB frame buffer.",
               mux_thread_win::tr("Error: Unable to allocate RGB frame buffer for preview."));
        previewFrame_.reset();
        return false;
    }
    return true;
}

// The current picture, shrunk to the preview's size, as RGB24 (QImage::Format_RGB888) into rgb.
void MuxVideoPath::drawPreview(const AVFrame& picture, std::uint8_t* rgb, int stride)
{
    if (previewScaler_) {
        std::uint8_t* const planes[4] = {rgb, nullptr, nullptr, nullptr};
        const int strides[4] = {stride, 0, 0, 0};
        sws_scale(previewScaler_.get(), picture.data, picture.linesize, 0, picture.height, planes,
                  strides);
        return;
    }
    const AVFrame* source = &picture;
    if (previewSmall_) {
        libyuv::I420Scale(picture.data[0], picture.linesize[0], picture.data[1],
                          picture.linesize[1], picture.data[2], picture.linesize[2], picture.width,
                          picture.height, previewSmall_->data[0], previewSmall_->linesize[0],
                          previewSmall_->data[1], previewSmall_->linesize[1],
                          previewSmall_->data[2], previewSmall_->linesize[2], previewSmall_->width,
                          previewSmall_->height, libyuv::kFilterBilinear);
        source = previewSmall_.get();
    }
    // libyuv names formats by their order in a little-endian word: "RAW" is R, G, B in memory.
    libyuv::I420ToRAW(source->data[0], source->linesize[0], source->data[1], source->linesize[1],
                      source->data[2], source->linesize[2], rgb, stride, source->width,
                      source->height);
}

SwsContext* MuxVideoPath::scalerFor(const AVFrame& frame)
{
    const bool encoderSize = frame.width == context_->width && frame.height == context_->height;
    if (encoderSize && frame.format == AV_PIX_FMT_BGRA)
        return mainScaler_.get();
    if (otherScaler_ && frame.width == otherWidth_ && frame.height == otherHeight_ &&
        frame.format == otherFormat_)
        return otherScaler_.get();

    otherScaler_.reset(sws_getContext(
        frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), context_->width,
        context_->height, context_->pix_fmt, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!otherScaler_) {
        if (encoderSize)
            report("Error: Unable to initialize SwsContext.",
                   mux_thread_win::tr("Error: Unable to initialize SwsContext."));
        else
            report("Error: Unable to initialize SwsContext for resized frame.",
                   mux_thread_win::tr("Error: Unable to initialize SwsContext for resized frame."));
        return nullptr;
    }
    otherWidth_ = frame.width;
    otherHeight_ = frame.height;
    otherFormat_ = frame.format;
    return otherScaler_.get();
}

int MuxVideoPath::convertInto(SwsContext* scaler, const AVFrame& frame)
{
    // Slots the capture filled with a repeated image share its buffer: the picture already
    // holds its conversion.
    const bool repeated = converted_ && convertedWith_ == scaler && frame.buf[0] &&
                          converted_->data[0] == frame.data[0] &&
                          converted_->linesize[0] == frame.linesize[0] &&
                          converted_->width == frame.width && converted_->height == frame.height &&
                          converted_->format == frame.format;
    int ret = 0;
    if (!repeated) {
        if (converted_)
            av_frame_unref(converted_.get());
        convertedWith_ = nullptr;
        // The encoder may still hold a reference to the last picture; then this gives it new
        // buffers.
        ret = av_frame_make_writable(picture_.get());
        if (ret >= 0) {
            ret = convert(scaler, frame, picture_.get());
            if (ret == 0)
                ret = AVERROR(EINVAL);
        }
        if (ret >= 0 && frame.buf[0]) {
            if (!converted_)
                converted_.reset(av_frame_alloc());
            if (converted_ && av_frame_ref(converted_.get(), &frame) >= 0)
                convertedWith_ = scaler;
        }
    }
    return ret;
}

MuxVideoPath::Result MuxVideoPath::encodeFrame(const AVFrame& frame)
{
    const AVRational streamTimeBase = output_.videoStream->time_base;
    const std::int64_t durationUs =
        frameDuration(&frame) >= 1 ? frameDuration(&frame) : 1000000 / fps_;

    AVFrame* picture = picture_.get();
    int ret = 0;
    // A picture the capture already converted goes to the encoder as it is.
    if (frame.buf[0] && frame.format == context_->pix_fmt && frame.width == context_->width &&
        frame.height == context_->height) {
        if (!passed_)
            passed_.reset(av_frame_alloc());
        else
            av_frame_unref(passed_.get());
        ret = passed_ ? av_frame_ref(passed_.get(), &frame) : AVERROR(ENOMEM);
        picture = passed_.get();
    } else {
        SwsContext* scaler = scalerFor(frame);
        if (!scaler)
            return Result::Fatal;
        ret = convertInto(scaler, frame);
    }
    if (ret < 0) {
        const QString text = ffmpeg::errorText(ret);
        qDebug().noquote() << "Error scaling frame:" << text;
        if (sink_)
            sink_(MSG_ERROR, mux_thread_win::tr("Error scaling frame: %1").arg(text));
        return Result::Continue;
    }
    picture->pts = av_rescale_q(frame.pts, kMicrosecondTimeBase, streamTimeBase);
    setFrameDuration(picture, av_rescale_q(durationUs, kMicrosecondTimeBase, streamTimeBase));

    if (!context_ || !avcodec_is_open(context_)) {
        report("Error sending video frame: encoder context invalid or not initialized.",
               mux_thread_win::tr("Error sending frame to encoder: encoder not initialized."));
        return Result::EncoderGone;
    }

    ++framesSent_;
    pendingDurations_[picture->pts] = frameDuration(picture);
    ret = avcodec_send_frame(context_, picture);
    if (ret == AVERROR(EAGAIN)) {
        writePackets();
        ret = avcodec_send_frame(context_, picture);
    }
    if (ret < 0 && ret != AVERROR_EOF) {
        qDebug().noquote() << "Error sending frame to encoder:" << ffmpeg::errorText(ret);
        qDebug().noquote() << "Frame PTS:" << picture->pts << "Width:" << picture->width
                           << "Height:" << picture->height
                           << "yuvFrame_Out Format:" << pixelFormatName(picture->format)
                           << "videoFrame Format:" << pixelFormatName(frame.format);
        if (sink_)
            sink_(MSG_ERROR, mux_thread_win::tr("Error sending frame to encoder:."));
        return Result::Continue;
    }
    writePackets();
    sendPreview(*picture);
    // The encoder keeps its own reference when it needs one: holding ours would keep the
    // producer's buffer (a decoder's, at up to 50 MB a picture) until the next picture.
    if (picture == passed_.get())
        av_frame_unref(passed_.get());
    return Result::Continue;
}

void MuxVideoPath::writePackets()
{
    AVPacket* packet = packet_.get();
    for (;;) {
        const int received = avcodec_receive_packet(context_, packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        if (received < 0) {
            qDebug().noquote() << "Error receiving packet from video encoder:"
                               << ffmpeg::errorText(received);
            return;
        }
        // Packets already carry timestamps in the stream's time base.
        packet->stream_index = output_.videoStream->index;
        if (const auto found = pendingDurations_.find(packet->pts);
            found != pendingDurations_.end()) {
            if (packet->duration <= 0)
                packet->duration = found->second;
            pendingDurations_.erase(found);
        }
        // A failed write has been reported and ends the recording.
        if (!writer_.write(packet))
            return;
    }
}

void MuxVideoPath::sendPreview(const AVFrame& picture)
{
    if (!previewEnabled_ || !previewEnabled_->load() || !previewFrame_)
        return;
    const std::int64_t now = nowMs();
    if (now - lastPreviewMs_ <= kPreviewIntervalMs)
        return;
    AVFrame* rgb = previewFrame_.get();
    const int stride = rgb->linesize[0];
    if (!previewBuffers_)
        previewBuffers_.reset(av_buffer_pool_init(size_t(stride) * size_t(rgb->height), nullptr));
    AVBufferRef* buffer = previewBuffers_ ? av_buffer_pool_get(previewBuffers_.get()) : nullptr;
    if (buffer) {
        // The image is the receiver's alone: it owns this buffer until it drops the image.
        drawPreview(picture, buffer->data, stride);
        const QImage image(
            buffer->data, rgb->width, rgb->height, stride, QImage::Format_RGB888,
            [](void* reference) {
                auto* ref = static_cast<AVBufferRef*>(reference);
                av_buffer_unref(&ref);
            },
            buffer);
        if (previewSink_)
            previewSink_(image);
    } else {
        drawPreview(picture, rgb->data[0], stride);
        const QImage view(rgb->data[0], rgb->width, rgb->height, stride, QImage::Format_RGB888);
        // A deep copy: the receiver owns it while this frame is drawn into again.
        if (previewSink_)
            previewSink_(view.copy());
    }
    lastPreviewMs_ = nowMs();
}

void MuxVideoPath::flush()
{
    if (!context_ || !avcodec_is_open(context_))
        return;
    const int ret = avcodec_send_frame(context_, nullptr);
    if (ret < 0 && ret != AVERROR_EOF) {
        const QString text = ffmpeg::errorText(ret);
        qDebug().noquote() << "Error sending flush frame to video encoder:" << text;
        if (sink_)
            sink_(MSG_ERROR,
                  mux_thread_win::tr("Error sending flush frame to video encoder: %1").arg(text));
    }
    writePackets();
}
