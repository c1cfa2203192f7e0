#include "TabRecordingRun.h"

#include "encode/mux_thread_win.h"
#include "media/AudioFramePool.h"
#include "media/FrameDuration.h"

#include <QDeadlineTimer>
#include <QDebug>

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
#include <libswscale/swscale.h>
}

using tabcapture::MediaBudget;

namespace {

AVCodecID decoderFor(tabcapture::VideoCodec codec)
{
    switch (codec) {
    case tabcapture::VideoCodec::VP8:
        return AV_CODEC_ID_VP8;
    case tabcapture::VideoCodec::VP9:
        return AV_CODEC_ID_VP9;
    case tabcapture::VideoCodec::AV1:
        return AV_CODEC_ID_AV1;
    case tabcapture::VideoCodec::H264:
        return AV_CODEC_ID_H264;
    }
    return AV_CODEC_ID_NONE;
}

// Whether an H.264 packet in the avcC layout (each unit after its 4-byte length) holds an IDR
// slice, where a player may start.
bool holdsKeyPicture(QByteArrayView payload)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    qsizetype at = 0;
    while (payload.size() - at > 4) {
        const std::uint32_t length = std::uint32_t(bytes[at]) << 24 |
                                     std::uint32_t(bytes[at + 1]) << 16 |
                                     std::uint32_t(bytes[at + 2]) << 8 | bytes[at + 3];
        if (length == 0 || length > std::uint64_t(payload.size() - at - 4))
            return false;
        if ((bytes[at + 4] & 0x1f) == 5)
            return true;
        at += 4 + qsizetype(length);
    }
    return false;
}

// Planar float sound with room for n samples a channel, or null.
AVFrame* soundFrame(int rate, int n, int channels)
{
    return allocateSoundFrame(AV_SAMPLE_FMT_FLTP, rate, n, channels);
}

std::int64_t frameBytes(const AVFrame& frame)
{
    std::int64_t bytes = 0;
    for (const AVBufferRef* buffer : frame.buf)
        bytes += buffer ? std::int64_t(buffer->size) : 0;
    return bytes;
}

} // namespace

TabRecordingRun::TabRecordingRun(int id, const tabcapture::StartRequest& request)
    : id(id), width(request.width), height(request.height), frameRate(request.frameRate),
      sampleRate(request.audioSampleRate), audio(request.audioChannels != 0),
      soundOnPictureClock(request.soundOnPictureClock),
      budget(frameRate, sampleRate, kQueueCapacity / 2),
      mux(std::make_unique<mux_thread_win>(&queue)), soundPlacement_(sampleRate)
{
}

TabRecordingRun::~TabRecordingRun() = default;

int TabRecordingRun::openDecoder(tabcapture::VideoCodec codec, const QByteArray& config)
{
    const AVCodec* found = avcodec_find_decoder(decoderFor(codec));
    if (!found)
        return AVERROR_DECODER_NOT_FOUND;
    ffmpeg::CodecContextPtr context(avcodec_alloc_context3(found));
    if (!context)
        return AVERROR(ENOMEM);
    // The decoder refuses a picture larger than announced before allocating it. It checks the
    // buffer's size, rows padded to its alignment (at most 128): the decoded picture itself is
    // checked exactly.
    context->max_pixels = std::int64_t(width + 127) / 128 * 128 * ((height + 127) / 128 * 128);
    if (!config.isEmpty()) {
        context->extradata = static_cast<std::uint8_t*>(
            av_mallocz(std::size_t(config.size()) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!context->extradata)
            return AVERROR(ENOMEM);
        std::memcpy(context->extradata, config.constData(), std::size_t(config.size()));
        context->extradata_size = int(config.size());
    }
    const int ret = avcodec_open2(context.get(), found, nullptr);
    if (ret < 0)
        return ret;
    decoded_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!decoded_ || !packet_)
        return AVERROR(ENOMEM);
    decoder_ = std::move(context);
    hasDecoder = true;
    return 0;
}

void TabRecordingRun::start(std::function<void()> closed)
{
    worker = std::thread([this, closed = std::move(closed)] { work(closed); });
}

void TabRecordingRun::post(Job job)
{
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void TabRecordingRun::finish()
{
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
        writeDeadline_ = Clock::now() + kFinishWrite;
    }
    wake_.notify_one();
    mux->requestStop();
}

void TabRecordingRun::work(const std::function<void()>& closed)
{
    for (;;) {
        Job job;
        bool late = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !jobs_.empty() || finishing_; });
            if (jobs_.empty())
                break;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            // A raw picture is as large as its message, already charged; a compressed one grows.
            late = !job.isAudio && !job.video.isRawPicture && !waitForRoom(lock);
            late = late || (finishing_ && Clock::now() > writeDeadline_);
        }
        if (!late) {
            if (job.isAudio)
                buildAudio(job.audio);
            else
                buildVideo(job.video);
        }
        budget.release(job.charge);
    }
    // Every message is in the queue: the mux writes it, flushes the encoders and closes the
    // file. What it has not taken by the deadline is dropped, so that the file closes in time.
    queue.close();
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(writeDeadline_ - Clock::now());
    if (!mux->wait(QDeadlineTimer(std::max<qint64>(left.count(), 0)))) {
        int dropped = 0;
        for (FrameQueueItem item; queue.pop(item); item = {})
            ++dropped;
        qWarning() << "TabCapture dropped" << dropped << "queued items to finish the file";
        mux->wait();
    }
    closed();
}

bool TabRecordingRun::waitForRoom(std::unique_lock<std::mutex>& lock)
{
    // The picture to come is about as large as the announced size in 4:2:0.
    const std::int64_t next = std::int64_t(width) * height * 3 / 2;
    const auto room = [this, next] {
        const std::int64_t held = decodedBytes_.load();
        return held == 0 || held + next <= kMaxDecodedBytes;
    };
    while (!room()) {
        if (!finishing_)
            wake_.wait(lock);
        else if (wake_.wait_until(lock, writeDeadline_) == std::cv_status::timeout)
            return room();
    }
    return true;
}

void TabRecordingRun::buildVideo(const tabcapture::VideoMessage& message)
{
    const std::int64_t durationUs = 1000000 / frameRate;
    if (message.isRawPicture) {
        // Raw RGBA goes to the mux as it is: it converts to the encoder's format and size in one
        // step.
        AVFrame* frame = av_frame_alloc();
        if (!frame)
            return;
        frame->format = AV_PIX_FMT_RGBA;
        frame->width = message.width;
        frame->height = message.height;
        if (av_frame_get_buffer(frame, 32) < 0) {
            av_frame_free(&frame);
            return;
        }
        const auto* source = reinterpret_cast<const std::uint8_t*>(message.payload.data());
        const std::size_t row = std::size_t(message.width) * 4;
        for (int y = 0; y < message.height; ++y)
            std::memcpy(frame->data[0] + std::int64_t(y) * frame->linesize[0],
                        source + std::int64_t(y) * std::int64_t(row), row);
        frame->pts = message.timestampUs;
        setFrameDuration(frame, durationUs);
        queueFrame(frame, 0);
        return;
    }
    if (copiesPictures) {
        queuePacket(message);
        return;
    }
    if (!decoder_)
        return;
    av_packet_unref(packet_.get());
    // av_new_packet adds the zeroed padding the decoders read past the end.
    if (av_new_packet(packet_.get(), int(message.payload.size())) < 0)
        return;
    std::memcpy(packet_->data, message.payload.data(), std::size_t(message.payload.size()));
    packet_->pts = message.timestampUs;
    const int sent = avcodec_send_packet(decoder_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (sent < 0)
        return;
    while (avcodec_receive_frame(decoder_.get(), decoded_.get()) >= 0) {
        // max_pixels keeps the decoder from allocating a larger picture; this also refuses one
        // of the same area in another shape.
        if (!tabcapture::acceptsPicture(message.timestampUs, decoded_->width, decoded_->height,
                                        width, height)) {
            if (!refusedPicture_)
                qWarning() << "TabCapture refused a picture of" << decoded_->width << "x"
                           << decoded_->height << "in a recording of" << width << "x" << height;
            refusedPicture_ = true;
            av_frame_unref(decoded_.get());
            continue;
        }
        // The decoded picture keeps its buffer by reference: no copy, and the mux converts it
        // once (not at all when it already has the encoder's size and format).
        AVFrame* frame = av_frame_clone(decoded_.get());
        av_frame_unref(decoded_.get());
        if (!frame)
            continue;
        frame->pts = message.timestampUs;
        setFrameDuration(frame, durationUs);
        queueFrame(frame, 0);
    }
}

void TabRecordingRun::buildAudio(const tabcapture::AudioMessage& message)
{
    const std::int64_t early = soundOnPictureClock ? placeSound(message) : 0;
    if (early >= message.samplesPerChannel)
        return;
    AVFrame* frame = soundFrame(message.sampleRate, message.samplesPerChannel, message.channels);
    if (!frame)
        return;
    auto* left = reinterpret_cast<float*>(frame->data[0]);
    auto* right = message.channels == 2 ? reinterpret_cast<float*>(frame->data[1]) : nullptr;
    tabcapture::copyPlanarSamples(message, left, right);
    if (early > 0) {
        frame->nb_samples = int(message.samplesPerChannel - early);
        for (float* plane : {left, right})
            if (plane)
                std::memmove(plane, plane + early, std::size_t(frame->nb_samples) * sizeof(float));
    }
    frame->pts = audioSamples_;
    audioSamples_ += frame->nb_samples;
    queueFrame(frame, frame->nb_samples);
}

std::int64_t TabRecordingRun::placeSound(const tabcapture::AudioMessage& message)
{
    const tabcapture::SoundPlacement::Step step =
        soundPlacement_.place(message.timestampUs, audioSamples_, message.samplesPerChannel);
    if (step.movedUs)
        qDebug() << "TabCapture sound moved by" << step.movedUs / 1000.0 << "ms at"
                 << double(audioSamples_) / sampleRate << "s";
    queueSilence(step.silence, message.channels);
    return step.skip;
}

void TabRecordingRun::queueSilence(std::int64_t samples, int channels)
{
    while (samples > 0) {
        AVFrame* frame =
            soundFrame(sampleRate, int(std::min<std::int64_t>(samples, sampleRate / 10)), channels);
        if (!frame)
            return;
        av_samples_set_silence(frame->extended_data, 0, frame->nb_samples, channels,
                               AV_SAMPLE_FMT_FLTP);
        frame->pts = audioSamples_;
        audioSamples_ += frame->nb_samples;
        samples -= frame->nb_samples;
        queueFrame(frame, frame->nb_samples);
    }
}

void TabRecordingRun::queuePacket(const tabcapture::VideoMessage& message)
{
    AVPacket* packet = av_packet_alloc();
    if (!packet || av_new_packet(packet, int(message.payload.size())) < 0) {
        av_packet_free(&packet);
        return;
    }
    std::memcpy(packet->data, message.payload.data(), std::size_t(message.payload.size()));
    packet->pts = packet->dts = message.timestampUs;
    packet->duration = 1000000 / frameRate;
    if (holdsKeyPicture(message.payload)) {
        packet->flags |= AV_PKT_FLAG_KEY;
        previewKeyPicture(packet);
    }
    const MediaBudget::Charge charge = MediaBudget::chargeFor(packet->size, 1, 0);
    budget.charge(charge);
    ++pictures_;
    FrameQueueItem item;
    item.packet = SharedPacket(packet, [this, charge](AVPacket* p) {
        av_packet_free(&p);
        budget.release(charge);
    });
    queue.push(std::move(item));
}

void TabRecordingRun::previewKeyPicture(AVPacket* packet)
{
    // A key picture decodes by itself; the pictures between them are never decoded.
    if (!preview || !decoder_ || avcodec_send_packet(decoder_.get(), packet) < 0)
        return;
    while (avcodec_receive_frame(decoder_.get(), decoded_.get()) >= 0) {
        const AVFrame& picture = *decoded_;
        const double scale = std::min({1.0, 480.0 / picture.width, 270.0 / picture.height});
        const int w = std::max(2, int(picture.width * scale)),
                  h = std::max(2, int(picture.height * scale));
        if (tabcapture::acceptsPicture(0, picture.width, picture.height, width, height)) {
            previewScaler_.reset(sws_getCachedContext(previewScaler_.release(), picture.width,
                                                      picture.height, AVPixelFormat(picture.format),
                                                      w, h, AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr,
                                                      nullptr, nullptr));
            QImage image(w, h, QImage::Format_RGB32);
            std::uint8_t* rows[4] = {image.bits()};
            int strides[4] = {int(image.bytesPerLine())};
            if (previewScaler_ && sws_scale(previewScaler_.get(), picture.data, picture.linesize, 0,
                                            picture.height, rows, strides) > 0)
                preview(image);
        }
        av_frame_unref(decoded_.get());
    }
}

// Charged until the encoder lets the frame go.
void TabRecordingRun::queueFrame(AVFrame* frame, std::int64_t samples)
{
    const bool picture = samples == 0;
    const MediaBudget::Charge charge =
        MediaBudget::chargeFor(frameBytes(*frame), picture ? 1 : 0, samples);
    budget.charge(charge);
    if (picture) {
        decodedBytes_ += charge.bytes;
        ++pictures_;
    }
    FrameQueueItem item;
    item.frame = SharedFrame(frame, [this, charge, picture](AVFrame* f) {
        av_frame_free(&f);
        budget.release(charge);
        if (!picture)
            return;
        {
            // Under the lock, so that the building thread cannot miss the wake-up between its
            // check and its wait.
            std::lock_guard lock(mutex_);
            decodedBytes_ -= charge.bytes;
        }
        wake_.notify_one();
    });
    item.isAudio = !picture;
    if (item.isAudio)
        item.sequence = ++audioSequence_;
    queue.push(std::move(item));
}
