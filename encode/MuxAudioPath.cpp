#include "MuxAudioPath.h"

#include "mux_thread_win.h"

#include <QDebug>

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace {

// The longest stretch of sound one frame may resample to.
constexpr int kMaxResampledSeconds = 10;

} // namespace

const MuxAudioPath::Texts MuxAudioPath::kLoopTexts = {
    "Error sending audio frame: encoder context invalid or not initialized.",
    "Error sending audio frame to encoder:",
    "",
    "Error encoding audio frame.",
    "",
};

const MuxAudioPath::Texts MuxAudioPath::kFlushTexts = {
    "Error sending audio frame (flush): encoder context invalid or not initialized.",
    "Error sending remaining audio frame to encoder during flush:",
    "Error sending remaining audio frame to encoder during flush: %1",
    "Error receiving remaining audio packet from encoder during flush:",
    "Error receiving remaining audio packet from encoder during flush: %1",
};

const MuxAudioPath::Texts MuxAudioPath::kDrainTexts = {
    "Error sending audio frame (flush): encoder context invalid or not initialized.",
    "Error sending flush frame to audio encoder:",
    "Error sending flush frame to audio encoder: %1",
    "Error receiving remaining audio packet from encoder during flush:",
    "Error receiving remaining audio packet from encoder during flush: %1",
};

MuxAudioPath::MuxAudioPath(MuxAudioTrack& track, MuxPacketWriter& writer, MessageSink sink)
    : track_(track), writer_(writer), context_(track.context.get()), sink_(std::move(sink))
{
}

void MuxAudioPath::report(const QString& logText, const QString& emittedText)
{
    qDebug().noquote() << logText;
    if (sink_ && !emittedText.isEmpty())
        sink_(MSG_ERROR, emittedText);
}

int MuxAudioPath::blockSize() const
{
    return context_->frame_size > 0 ? context_->frame_size : 1024;
}

void MuxAudioPath::handleItem(const FrameQueueItem& item)
{
    if (item.sequence == lastSequence_)
        qDebug().noquote() << QStringLiteral("repeating packet audio: %1").arg(item.sequence);
    lastSequence_ = item.sequence;

    if (!context_ || !track_.fifo || !item.frame)
        return;
    const AVFrame& input = *item.frame;
    if (!updateResampler(input))
        return;
    const AVFrame* samples = &input;
    if (resampler_) {
        samples = resample(input);
        if (!samples)
            return;
    }
    if (!writeToFifo(*samples))
        return;

    const int block = blockSize();
    while (av_audio_fifo_size(track_.fifo.get()) >= block) {
        if (!encodeBlock(block, kLoopTexts))
            break;
    }
}

bool MuxAudioPath::updateResampler(const AVFrame& input)
{
    const int channels = input.ch_layout.nb_channels;
    if (hasInput_ && input.sample_rate == inputRate_ && input.format == inputFormat_ &&
        channels == inputLayout_.channels())
        return true;

    // Until a resampler for this input exists, no frame of it may reach the FIFO unconverted.
    hasInput_ = false;
    resampler_.reset();
    inputLayout_.reset();
    int ret = inputLayout_.copyFrom(input.ch_layout);
    if (ret < 0) {
        const QString text = ffmpeg::errorText(ret);
        report("Error copying channel layout: " + text,
               mux_thread_win::tr("Error copying channel layout: %1").arg(text));
        return false;
    }
    inputRate_ = input.sample_rate;
    inputFormat_ = input.format;

    if (inputRate_ == context_->sample_rate && inputFormat_ == context_->sample_fmt &&
        channels == context_->ch_layout.nb_channels) {
        hasInput_ = true;
        return true;
    }

    // FFmpeg 5.1 declares the layouts non-const although it only reads them.
    SwrContext* created = nullptr;
    ret = swr_alloc_set_opts2(&created, &context_->ch_layout, context_->sample_fmt,
                              context_->sample_rate,
                              const_cast<AVChannelLayout*>(&inputLayout_.get()),
                              static_cast<AVSampleFormat>(inputFormat_), inputRate_, 0, nullptr);
    resampler_.reset(created);
    if (ret < 0 || !created) {
        resampler_.reset();
        const QString text = ffmpeg::errorText(ret < 0 ? ret : AVERROR(ENOMEM));
        report("Error allocating resampler: " + text,
               mux_thread_win::tr("Error allocating audio resampler: %1").arg(text));
        return false;
    }
    ret = swr_init(created);
    if (ret < 0) {
        resampler_.reset();
        const QString text = ffmpeg::errorText(ret);
        report("Error initializing resampler: " + text,
               mux_thread_win::tr("Error initializing audio resampler: %1").arg(text));
        return false;
    }
    hasInput_ = true;
    return true;
}

bool MuxAudioPath::prepareResampledFrame(int samples)
{
    AVFrame* frame = track_.resampledFrame.get();
    if (samples <= resampledCapacity_) {
        frame->nb_samples = samples;
        return true;
    }
    // Buffers are kept between frames and only grow, with room for the small changes of the
    // resampler's delay.
    av_frame_unref(frame);
    resampledCapacity_ = 0;
    frame->format = context_->sample_fmt;
    frame->sample_rate = context_->sample_rate;
    int ret = av_channel_layout_copy(&frame->ch_layout, &context_->ch_layout);
    if (ret < 0) {
        const QString text = ffmpeg::errorText(ret);
        report("Error copying channel layout for resampled_audio_frame: " + text,
               mux_thread_win::tr("Error copying channel layout for resampled_audio_frame: %1")
                   .arg(text));
        return false;
    }
    const int capacity = samples + samples / 4;
    frame->nb_samples = capacity;
    ret = av_frame_get_buffer(frame, 0);
    if (ret < 0) {
        qDebug().noquote() << "Error allocating resampled frame buffer:" << ffmpeg::errorText(ret);
        av_frame_unref(frame);
        return false;
    }
    resampledCapacity_ = capacity;
    frame->nb_samples = samples;
    return true;
}

int MuxAudioPath::resampledCapacity(std::int64_t inputSamples) const
{
    const int outputRate = context_->sample_rate;
    const std::int64_t needed =
        av_rescale_rnd(inputSamples, outputRate, std::max(inputRate_, 1), AV_ROUND_UP);
    // No capture delivers more than a few seconds in one frame; one that would need more (a tiny
    // declared rate, a huge sample count) is dropped instead of sizing the buffer.
    if (needed < 0 || needed > std::int64_t(kMaxResampledSeconds) * outputRate) {
        qDebug().noquote() << "Audio frame dropped, it would resample to" << needed << "samples";
        return -1;
    }
    return int(needed);
}

const AVFrame* MuxAudioPath::resample(const AVFrame& input)
{
    SwrContext* swr = resampler_.get();
    const int outputRate = context_->sample_rate;
    const int capacity = resampledCapacity(swr_get_delay(swr, inputRate_) + input.nb_samples);
    if (capacity < 0 || !prepareResampledFrame(capacity))
        return nullptr;
    AVFrame* resampled = track_.resampledFrame.get();
    const int converted =
        swr_convert(swr, resampled->data, capacity,
                    const_cast<const uint8_t**>(input.extended_data), input.nb_samples);
    if (converted < 0) {
        qDebug().noquote() << "Error resampling audio:" << ffmpeg::errorText(converted);
        return nullptr;
    }
    resampled->nb_samples = converted;
    resampled->pts = av_rescale_q(input.pts, AVRational{1, inputRate_}, AVRational{1, outputRate});
    return resampled;
}

bool MuxAudioPath::writeToFifo(const AVFrame& samples)
{
    if (samples.nb_samples <= 0)
        return true;
    const int written = av_audio_fifo_write(
        track_.fifo.get(), reinterpret_cast<void**>(samples.extended_data), samples.nb_samples);
    if (written < samples.nb_samples) {
        qDebug().noquote() << "Could not write data to FIFO";
        return false;
    }
    return true;
}

bool MuxAudioPath::ensureBlockFrame()
{
    if (blockFrame_)
        return true;
    ffmpeg::FramePtr frame(av_frame_alloc());
    if (!frame) {
        qDebug().noquote() << "Error allocating output frame";
        return false;
    }
    frame->format = context_->sample_fmt;
    frame->sample_rate = context_->sample_rate;
    const int ret = av_channel_layout_copy(&frame->ch_layout, &context_->ch_layout);
    if (ret < 0) {
        const QString text = ffmpeg::errorText(ret);
        report("Error copying channel layout for output_frame: " + text,
               mux_thread_win::tr("Error copying channel layout for output_frame: %1").arg(text));
        return false;
    }
    frame->nb_samples = blockSize();
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        qDebug().noquote() << "Error allocating output frame buffer";
        return false;
    }
    blockFrame_ = std::move(frame);
    return true;
}

bool MuxAudioPath::encodeBlock(int samples, const Texts& texts)
{
    if (!ensureBlockFrame())
        return false;
    AVFrame* frame = blockFrame_.get();
    // Full size first, so that a buffer the encoder still references is replaced by a whole one.
    frame->nb_samples = blockSize();
    if (av_frame_make_writable(frame) < 0) {
        qDebug().noquote() << "Error allocating output frame buffer";
        return false;
    }
    frame->nb_samples = samples;
    const int read = av_audio_fifo_read(track_.fifo.get(),
                                        reinterpret_cast<void**>(frame->extended_data), samples);
    if (read < samples) {
        qDebug().noquote() << "Could not read data from FIFO";
        return false;
    }
    frame->pts = sampleCounter_;
    sampleCounter_ += samples;
    return sendAndWrite(frame, texts);
}

bool MuxAudioPath::sendAndWrite(const AVFrame* frame, const Texts& texts)
{
    if (!context_ || !avcodec_is_open(context_)) {
        qDebug().noquote() << texts.notOpen;
        return false;
    }
    const int ret = avcodec_send_frame(context_, frame);
    if (ret < 0 && !(frame == nullptr && ret == AVERROR_EOF)) {
        const QString text = ffmpeg::errorText(ret);
        report(QString::fromUtf8(texts.sendLog) + " " + text,
               *texts.sendEmitted ? mux_thread_win::tr(texts.sendEmitted).arg(text) : QString());
        return false;
    }
    writePackets(texts);
    return true;
}

void MuxAudioPath::writePackets(const Texts& texts)
{
    if (!packet_) {
        packet_.reset(av_packet_alloc());
        if (!packet_)
            return;
    }
    AVPacket* packet = packet_.get();
    for (;;) {
        const int received = avcodec_receive_packet(context_, packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF)
            return;
        if (received < 0) {
            const QString text = ffmpeg::errorText(received);
            if (*texts.receiveEmitted)
                report(QString::fromUtf8(texts.receiveLog) + " " + text,
                       mux_thread_win::tr(texts.receiveEmitted).arg(text));
            else
                report(QString::fromUtf8(texts.receiveLog), QString());
            return;
        }
        av_packet_rescale_ts(packet, context_->time_base, track_.stream->time_base);
        packet->stream_index = track_.stream->index;
        // A failed write has been reported and ends the recording.
        if (!writer_.write(packet))
            return;
    }
}

void MuxAudioPath::flush()
{
    if (!context_ || !track_.fifo)
        return;
    AVAudioFifo* fifo = track_.fifo.get();

    if (resampler_) {
        const std::int64_t delay = swr_get_delay(resampler_.get(), inputRate_);
        if (delay > 0) {
            const int capacity = resampledCapacity(delay);
            if (capacity >= 0 && prepareResampledFrame(capacity)) {
                AVFrame* resampled = track_.resampledFrame.get();
                const int converted =
                    swr_convert(resampler_.get(), resampled->data, capacity, nullptr, 0);
                if (converted > 0) {
                    resampled->nb_samples = converted;
                    writeToFifo(*resampled);
                }
            }
        }
    }

    const int block = blockSize();
    while (av_audio_fifo_size(fifo) > 0) {
        if (!encodeBlock(std::min(block, av_audio_fifo_size(fifo)), kFlushTexts))
            break;
    }
    sendAndWrite(nullptr, kDrainTexts);
}
