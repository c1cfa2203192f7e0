#include "TabRecordingSession.h"

#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/DiskSpaceWatchdog.h"
#include "encode/FfmpegHolders.h"
#include "encode/mux_thread_win.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "ui/OutputFileName.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace {

constexpr int kQueueCapacity = 1024;
constexpr std::int64_t kFpsWindowMs = 1000;

int orDefault(int value, int fallback)
{
    return value > 0 ? value : fallback;
}

int roundUpToEven(int value)
{
    return (value + 1) & ~1;
}

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

} // namespace

struct TabRecordingSession::Decoder
{
    ffmpeg::CodecContextPtr context;
    ffmpeg::FramePtr frame;
    ffmpeg::PacketPtr packet;
};

TabRecordingSession::TabRecordingSession(QObject* parent)
    : TabCaptureSessionBase(parent), monotonic_([] {
          return std::int64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
      }),
      wall_([] { return QDateTime::currentDateTime(); })
{
    diskWatch_ = new DiskSpaceWatchdog(this);
    connect(diskWatch_, &DiskSpaceWatchdog::spaceLow, this,
            [this](const QString& folder, qint64 free_bytes) {
                endByItself(DiskSpaceWatchdog::lowSpaceText(folder, free_bytes));
            });
    connect(diskWatch_, &DiskSpaceWatchdog::folderGone, this, [this](const QString& folder) {
        endByItself(DiskSpaceWatchdog::folderGoneText(folder));
    });
}

TabRecordingSession::~TabRecordingSession()
{
    stopSession();
}

void TabRecordingSession::setClocks(MillisecondClock monotonic, WallClock wall)
{
    if (monotonic)
        monotonic_ = std::move(monotonic);
    if (wall)
        wall_ = std::move(wall);
}

void TabRecordingSession::setEncoderHeld(bool held)
{
    if (!mux_)
        return;
    if (held)
        mux_->pause();
    else
        mux_->resume();
}

bool TabRecordingSession::isRunning() const
{
    return queue_ || mux_;
}

bool TabRecordingSession::hasAudio() const
{
    return isRunning() && audioEnabled_;
}

int TabRecordingSession::queuedItems() const
{
    return queue_ ? queue_->size() : 0;
}

int TabRecordingSession::overloadLimit() const
{
    return std::min(2 * frameRate_ + 2 * audioChunksPerSecond_, kQueueCapacity - 1);
}

QString TabRecordingSession::makeOutputPath(const QDateTime& now)
{
    SettingsStore& settings = SettingsStore::instance();
    const QString folder =
        settings.value(settings::kOutputGroup, settings::kRecordingPath, QStringLiteral("./QZT"))
            .toString();
    QDir().mkpath(folder);
    const QString format =
        settings.value(settings::kVideoGroup, settings::kVideoFormat, settings::kFormatMp4)
            .toString();
    const QString stem =
        QStringLiteral("tabcapture_") + now.toString(QStringLiteral("yyyyMMdd_HHmmss"));
    return QDir(folder).filePath(
        outputfilename::freeFileName(folder, stem, outputfilename::extension(format)));
}

void TabRecordingSession::startSession(const tabcapture::StartRequest& request)
{
    stopSession();
    qInfo().noquote() << "starting session" << request.width << request.height << request.frameRate
                      << request.audioSampleRate << request.audioChannels;

    outputWidth_ = roundUpToEven(orDefault(request.width, 1920));
    outputHeight_ = roundUpToEven(orDefault(request.height, 1080));
    frameRate_ = orDefault(request.frameRate, 30);
    audioEnabled_ = request.audioChannels != 0;
    overloaded_ = false;
    queuePeak_ = 0;
    audioChunksPerSecond_ = 0;
    videoSequence_ = 0;
    audioSequence_ = 0;
    audioSamples_ = 0;
    fpsWindowStartMs_ = monotonic_();
    fpsWindowSequence_ = 0;

    releaseDecoder();
    if (request.videoCodecGiven)
        openDecoder(decoderFor(request.videoCodec));

    const QString path = makeOutputPath(wall_());
    const QString folder = QFileInfo(path).absolutePath();
    if (const auto free_bytes = DiskSpaceWatchdog::tooLittleToStart(folder)) {
        qWarning().noquote() << "TabCapture not started, disk space low:" << *free_bytes
                             << "bytes free in" << folder;
        Q_EMIT errorMessage(DiskSpaceWatchdog::notEnoughToStartText(folder, *free_bytes));
        releaseDecoder();
        return;
    }
    queue_ = std::make_unique<FrameQueue>(kQueueCapacity);
    mux_ = std::make_unique<mux_thread_win>(queue_.get());
    mux_->outputWidth = outputWidth_;
    mux_->outputHeight = outputHeight_;
    mux_->previewEnabled = true;
    connect(mux_.get(), &mux_thread_win::imagePreviewSignal, this,
            &TabRecordingSession::previewFrame);
    connect(mux_.get(), &mux_thread_win::msgSignal, this, &TabRecordingSession::onMuxMessage);

    if (!mux_->init(path, audioEnabled_)) {
        Q_EMIT errorMessage(tr("Failed to initialize mux for tab capture."));
        queue_->close();
        mux_.reset();
        queue_.reset();
        releaseDecoder();
        return;
    }
    outputPath_ = path;
    endedByItself_ = false;
    mux_->start();
    diskWatch_->start(path);
    Q_EMIT recordingStarted(path);
    qInfo().noquote() << "TabCapture recording started:" << path;
}

void TabRecordingSession::stopSession()
{
    if (!queue_ && !mux_)
        return;
    const QString path = outputPath_;
    diskWatch_->stop();
    releaseDecoder();

    // The mux writes what is queued, flushes the encoders and closes the file before it ends.
    if (queue_)
        queue_->close();
    if (mux_) {
        mux_->requestStop();
        if (!mux_->wait(5000))
            qWarning() << "TabCapture encoder still writing after 5 s; waiting for it.";
        mux_.reset();
    }
    queue_.reset();
    // How close the encoder came to the overload limit, for the tab benchmark.
    qDebug() << "TabCapture queue peak:" << queuePeak_ << "items, limit" << overloadLimit();

    outputPath_.clear();
    if (!path.isEmpty()) {
        Q_EMIT recordingStopped(path);
        qInfo().noquote() << "TabCapture recording stopped:" << path;
    }
}

void TabRecordingSession::onMuxMessage(MSG_TYPE type, const QString& text)
{
    if (type == MSG_ERROR)
        endByItself(text);
}

void TabRecordingSession::endByItself(const QString& text)
{
    if (endedByItself_ || outputPath_.isEmpty())
        return;
    endedByItself_ = true;
    diskWatch_->stop();
    Q_EMIT errorMessage(text);
    // Not from within the mux's own report: stopping waits for that thread and deletes it.
    const QString path = outputPath_;
    QMetaObject::invokeMethod(
        this,
        [this, path] {
            if (outputPath_ == path)
                stopSession();
        },
        Qt::QueuedConnection);
}

void TabRecordingSession::openDecoder(AVCodecID codec)
{
    const AVCodec* found = avcodec_find_decoder(codec);
    if (!found) {
        Q_EMIT errorMessage(tr("Failed to initialize video decoder: codec not found."));
        return;
    }
    auto decoder = std::make_unique<Decoder>();
    decoder->context.reset(avcodec_alloc_context3(found));
    if (!decoder->context) {
        Q_EMIT errorMessage(tr("Failed to initialize video decoder: %1")
                                .arg(ffmpeg::errorText(AVERROR(ENOMEM), 256)));
        return;
    }
    const int ret = avcodec_open2(decoder->context.get(), found, nullptr);
    if (ret < 0) {
        Q_EMIT errorMessage(
            tr("Failed to initialize video decoder: %1").arg(ffmpeg::errorText(ret, 256)));
        return;
    }
    decoder->frame.reset(av_frame_alloc());
    decoder->packet.reset(av_packet_alloc());
    if (!decoder->frame || !decoder->packet)
        return;
    decoder_ = std::move(decoder);
}

void TabRecordingSession::releaseDecoder()
{
    decoder_.reset();
}

TabCaptureSessionBase::VideoPush
TabRecordingSession::pushVideoFrame(const tabcapture::VideoMessage& message)
{
    return pushVideo(message.timestampUs, message.width, message.height, message.payload);
}

TabCaptureSessionBase::VideoPush TabRecordingSession::pushVideo(std::int64_t ptsUs, int width,
                                                                int height, QByteArrayView payload)
{
    if (!queue_ || !mux_ || width <= 0 || height <= 0)
        return VideoPush::Queued;
    if (overloaded_)
        return VideoPush::Overloaded;
    const std::int64_t durationUs = 1000000 / frameRate_;
    const std::int64_t rawBytes = std::int64_t(width) * height * 4;

    if (payload.size() == rawBytes) {
        // Raw RGBA goes to the mux as it is: it converts to the encoder's format and size in
        // one step, off the GUI thread.
        AVFrame* frame = av_frame_alloc();
        if (!frame)
            return VideoPush::Queued;
        frame->format = AV_PIX_FMT_RGBA;
        frame->width = width;
        frame->height = height;
        if (av_frame_get_buffer(frame, 32) < 0) {
            av_frame_free(&frame);
            return VideoPush::Queued;
        }
        const auto* source = reinterpret_cast<const std::uint8_t*>(payload.data());
        for (int y = 0; y < height; ++y)
            std::memcpy(frame->data[0] + std::int64_t(y) * frame->linesize[0],
                        source + std::int64_t(y) * width * 4, std::size_t(width) * 4);
        frame->pts = ptsUs;
        setFrameDuration(frame, durationUs);
        if (!enqueue(frame, false))
            return VideoPush::Overloaded;
        reportFrameRate();
        return VideoPush::Queued;
    }

    if (!decoder_ || payload.isEmpty())
        return VideoPush::Queued;
    AVPacket* packet = decoder_->packet.get();
    av_packet_unref(packet);
    // av_new_packet adds the zeroed padding the decoders read past the end.
    if (av_new_packet(packet, int(payload.size())) < 0)
        return VideoPush::Queued;
    std::memcpy(packet->data, payload.data(), std::size_t(payload.size()));
    packet->pts = ptsUs;
    const int sent = avcodec_send_packet(decoder_->context.get(), packet);
    av_packet_unref(packet);
    if (sent < 0)
        return VideoPush::Queued;
    while (avcodec_receive_frame(decoder_->context.get(), decoder_->frame.get()) >= 0) {
        // The decoded picture keeps its buffer by reference: no copy, and the mux converts it
        // once (not at all when it already has the encoder's size and format).
        AVFrame* frame = av_frame_clone(decoder_->frame.get());
        av_frame_unref(decoder_->frame.get());
        if (!frame)
            continue;
        frame->pts = ptsUs;
        setFrameDuration(frame, durationUs);
        if (!enqueue(frame, false))
            return VideoPush::Overloaded;
        reportFrameRate();
    }
    return VideoPush::Queued;
}

void TabRecordingSession::pushAudioFrame(const tabcapture::AudioMessage& message)
{
    const int samplesPerChannel = message.samplesPerChannel;
    const int channels = std::clamp(message.channels, 1, 2);
    if (!queue_ || !mux_ || !audioEnabled_ || message.sampleRate <= 0 || samplesPerChannel <= 0 ||
        message.samples.size() < std::int64_t(channels) * samplesPerChannel * 4)
        return;

    AVFrame* frame = av_frame_alloc();
    if (!frame)
        return;
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = message.sampleRate;
    frame->nb_samples = samplesPerChannel;
    av_channel_layout_default(&frame->ch_layout, channels);
    if (av_frame_get_buffer(frame, 0) < 0) {
        av_frame_free(&frame);
        return;
    }
    tabcapture::AudioMessage planar = message;
    planar.channels = channels;
    tabcapture::copyPlanarSamples(planar, reinterpret_cast<float*>(frame->data[0]),
                                  channels == 2 ? reinterpret_cast<float*>(frame->data[1])
                                                : nullptr);
    frame->pts = audioSamples_;
    audioSamples_ += samplesPerChannel;
    audioChunksPerSecond_ = (message.sampleRate + samplesPerChannel - 1) / samplesPerChannel;
    if (!enqueue(frame, true))
        overloaded_ = true;
}

bool TabRecordingSession::enqueue(AVFrame* frame, bool isAudio)
{
    // Decided by fill, never by waiting: a full queue would block the GUI thread and the
    // socket behind it.
    if (queue_->size() >= overloadLimit()) {
        av_frame_free(&frame);
        if (!overloaded_)
            qWarning() << "TabCapture encoder falling behind:" << queue_->size() << "items queued.";
        overloaded_ = true;
        return false;
    }
    FrameQueueItem item;
    item.frame = makeSharedFrame(frame);
    item.isAudio = isAudio;
    if (isAudio)
        item.sequence = ++audioSequence_;
    else
        ++videoSequence_;
    queue_->push(std::move(item));
    queuePeak_ = std::max(queuePeak_, queue_->size());
    return true;
}

void TabRecordingSession::reportFrameRate()
{
    const std::int64_t now = monotonic_();
    const std::int64_t elapsedMs = now - fpsWindowStartMs_;
    if (elapsedMs < kFpsWindowMs)
        return;
    const std::int64_t frames = videoSequence_ - fpsWindowSequence_;
    if (frames >= 0)
        Q_EMIT fpsSignal(QString::number(int(double(frames) / (double(elapsedMs) / 1000.0))) +
                         QStringLiteral(" fps"));
    fpsWindowStartMs_ = now;
    fpsWindowSequence_ = videoSequence_;
}
