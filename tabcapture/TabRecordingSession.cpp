#include "TabRecordingSession.h"

#include "recording/DiskSpaceWatchdog.h"
#include "encode/FfmpegHolders.h"
#include "encode/mux_thread_win.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "tabcapture/TabMediaBudget.h"
#include "recording/OutputFileName.h"
#include "recording/RecordingSettings.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

namespace {

using Clock = std::chrono::steady_clock;
using tabcapture::MediaBudget;

constexpr int kQueueCapacity = 1024;
constexpr std::size_t kMaxFinishing = 2;
constexpr std::int64_t kFpsWindowMs = 1000;
// After a stop, how long what is still queued may take to be written; the rest is dropped so
// that the file is closed within two seconds of the stop.
constexpr std::chrono::milliseconds kFinishWrite{750};

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

std::int64_t frameBytes(const AVFrame& frame)
{
    std::int64_t bytes = 0;
    for (const AVBufferRef* buffer : frame.buf)
        bytes += buffer ? std::int64_t(buffer->size) : 0;
    return bytes;
}

} // namespace

// One recording: its decoder, budget, queue, mux and the thread that builds its frames. The GUI
// thread posts checked messages as jobs; the thread turns them into frames for the queue and,
// once the run is finishing, closes the queue, gives the mux until the deadline and tells the
// session when the file is closed.
struct TabRecordingSession::Run
{
    struct Job
    {
        QByteArray holder;
        tabcapture::VideoMessage video;
        tabcapture::AudioMessage audio;
        bool isAudio = false;
        MediaBudget::Charge charge;
    };

    Run(int id, const tabcapture::StartRequest& request)
        : id(id), width(request.width), height(request.height), frameRate(request.frameRate),
          sampleRate(request.audioSampleRate), audio(request.audioChannels != 0),
          budget(frameRate, sampleRate, kQueueCapacity / 2),
          mux(std::make_unique<mux_thread_win>(&queue))
    {
    }

    void post(Job job)
    {
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        }
        wake.notify_one();
    }

    void finish()
    {
        {
            std::lock_guard lock(mutex);
            finishing = true;
            writeDeadline = Clock::now() + kFinishWrite;
        }
        wake.notify_one();
        mux->requestStop();
    }

    // The building thread.
    void work(TabRecordingSession* session)
    {
        for (;;) {
            Job job;
            bool late = false;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return !jobs.empty() || finishing; });
                if (jobs.empty())
                    break;
                job = std::move(jobs.front());
                jobs.pop_front();
                late = finishing && Clock::now() > writeDeadline;
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
            std::chrono::duration_cast<std::chrono::milliseconds>(writeDeadline - Clock::now());
        if (!mux->wait(QDeadlineTimer(std::max<qint64>(left.count(), 0)))) {
            int dropped = 0;
            for (FrameQueueItem item; queue.pop(item); item = {})
                ++dropped;
            qWarning() << "TabCapture dropped" << dropped << "queued items to finish the file";
            mux->wait();
        }
        QMetaObject::invokeMethod(
            session, [session, id = id] { session->onRunFinished(id); }, Qt::QueuedConnection);
    }

    void buildVideo(const tabcapture::VideoMessage& message)
    {
        const std::int64_t durationUs = 1000000 / frameRate;
        if (message.isRawPicture) {
            // Raw RGBA goes to the mux as it is: it converts to the encoder's format and size
            // in one step.
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
        if (!decoder)
            return;
        av_packet_unref(packet.get());
        // av_new_packet adds the zeroed padding the decoders read past the end.
        if (av_new_packet(packet.get(), int(message.payload.size())) < 0)
            return;
        std::memcpy(packet->data, message.payload.data(), std::size_t(message.payload.size()));
        packet->pts = message.timestampUs;
        const int sent = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (sent < 0)
            return;
        while (avcodec_receive_frame(decoder.get(), decoded.get()) >= 0) {
            // max_pixels keeps the decoder from allocating a larger picture; this also refuses
            // one of the same area in another shape.
            if (!tabcapture::acceptsPicture(message.timestampUs, decoded->width, decoded->height,
                                            width, height)) {
                if (!refusedPicture)
                    qWarning() << "TabCapture refused a picture of" << decoded->width << "x"
                               << decoded->height << "in a recording of" << width << "x" << height;
                refusedPicture = true;
                av_frame_unref(decoded.get());
                continue;
            }
            // The decoded picture keeps its buffer by reference: no copy, and the mux converts
            // it once (not at all when it already has the encoder's size and format).
            AVFrame* frame = av_frame_clone(decoded.get());
            av_frame_unref(decoded.get());
            if (!frame)
                continue;
            frame->pts = message.timestampUs;
            setFrameDuration(frame, durationUs);
            queueFrame(frame, 0);
        }
    }

    void buildAudio(const tabcapture::AudioMessage& message)
    {
        AVFrame* frame = av_frame_alloc();
        if (!frame)
            return;
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = message.sampleRate;
        frame->nb_samples = message.samplesPerChannel;
        av_channel_layout_default(&frame->ch_layout, message.channels);
        if (av_frame_get_buffer(frame, 0) < 0) {
            av_frame_free(&frame);
            return;
        }
        tabcapture::copyPlanarSamples(
            message, reinterpret_cast<float*>(frame->data[0]),
            message.channels == 2 ? reinterpret_cast<float*>(frame->data[1]) : nullptr);
        frame->pts = audioSamples;
        audioSamples += message.samplesPerChannel;
        queueFrame(frame, message.samplesPerChannel);
    }

    // Charged until the encoder lets the frame go.
    void queueFrame(AVFrame* frame, std::int64_t samples)
    {
        const MediaBudget::Charge charge =
            MediaBudget::chargeFor(frameBytes(*frame), samples > 0 ? 0 : 1, samples);
        budget.charge(charge);
        FrameQueueItem item;
        item.frame = SharedFrame(frame, [this, charge](AVFrame* f) {
            budget.release(charge);
            av_frame_free(&f);
        });
        item.isAudio = samples > 0;
        if (item.isAudio)
            item.sequence = ++audioSequence;
        queue.push(std::move(item));
    }

    const int id;
    const int width;
    const int height;
    const int frameRate;
    const int sampleRate;
    const bool audio;
    QString path;
    // Before the queue and the mux: frames they still hold at their end release into it.
    MediaBudget budget;
    FrameQueue queue{kQueueCapacity};
    std::unique_ptr<mux_thread_win> mux;

    // The building thread's own.
    ffmpeg::CodecContextPtr decoder;
    ffmpeg::FramePtr decoded;
    ffmpeg::PacketPtr packet;
    std::int64_t audioSamples = 0;
    std::int32_t audioSequence = 0;
    bool refusedPicture = false;

    // The GUI thread's own.
    bool hasDecoder = false;
    bool opened = false;
    bool overloaded = false;
    bool ended = false;
    bool refusedMessage = false;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;                 // under mutex
    bool finishing = false;               // under mutex
    Clock::time_point writeDeadline = {}; // under mutex
    std::thread worker;
};

TabRecordingSession::TabRecordingSession(QObject* parent)
    : TabCaptureSessionBase(parent), monotonic_([] {
          return std::int64_t(
              std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
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
    finishRun();
    for (const std::unique_ptr<Run>& run : finishing_)
        run->worker.join();
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
    if (!run_)
        return;
    if (held)
        run_->mux->pause();
    else
        run_->mux->resume();
}

bool TabRecordingSession::isRunning() const
{
    return run_ != nullptr;
}

bool TabRecordingSession::hasAudio() const
{
    return run_ && run_->audio;
}

QString TabRecordingSession::outputPath() const
{
    return run_ ? run_->path : QString();
}

QString TabRecordingSession::makeOutputPath(const RecordingSettings& settings, const QDateTime& now)
{
    const QString& folder = settings.folder;
    QDir().mkpath(folder);
    const QString stem =
        QStringLiteral("tabcapture_") + now.toString(QStringLiteral("yyyyMMdd_HHmmss"));
    return QDir(folder).filePath(outputfilename::freeFileName(
        folder, stem, outputfilename::extension(settings.videoFormat)));
}

void TabRecordingSession::startSession(const tabcapture::StartRequest& request)
{
    stopSession();
    qInfo().noquote() << "starting session" << request.width << request.height << request.frameRate
                      << request.audioSampleRate << request.audioChannels;
    // Each file still being finished holds its encoder and threads: a client starting again and
    // again would pile them up.
    if (finishing_.size() >= kMaxFinishing) {
        qWarning() << "TabCapture start refused," << finishing_.size() << "files still finishing";
        Q_EMIT startFailed(QStringLiteral("the last recordings are still being finished"));
        return;
    }
    videoSequence_ = 0;
    fpsWindowStartMs_ = monotonic_();
    fpsWindowSequence_ = 0;

    auto run = std::make_unique<Run>(++nextRunId_, request);
    if (request.videoCodecGiven) {
        const AVCodec* found = avcodec_find_decoder(decoderFor(request.videoCodec));
        if (!found) {
            Q_EMIT errorMessage(tr("Failed to initialize video decoder: codec not found."));
        } else {
            ffmpeg::CodecContextPtr context(avcodec_alloc_context3(found));
            int ret = AVERROR(ENOMEM);
            if (context) {
                // The decoder refuses a picture larger than announced before allocating it. It
                // checks the buffer's size, rows padded to its alignment (at most 128): the
                // decoded picture itself is checked exactly.
                context->max_pixels =
                    std::int64_t(run->width + 127) / 128 * 128 * ((run->height + 127) / 128 * 128);
                ret = avcodec_open2(context.get(), found, nullptr);
            }
            if (ret < 0)
                Q_EMIT errorMessage(
                    tr("Failed to initialize video decoder: %1").arg(ffmpeg::errorText(ret, 256)));
            run->decoded.reset(av_frame_alloc());
            run->packet.reset(av_packet_alloc());
            if (ret >= 0 && run->decoded && run->packet) {
                run->decoder = std::move(context);
                run->hasDecoder = true;
            }
        }
    }

    const QString path = makeOutputPath(settings_, wall_());
    const QString folder = QFileInfo(path).absolutePath();
    if (const auto free_bytes = DiskSpaceWatchdog::tooLittleToStart(folder)) {
        qWarning().noquote() << "TabCapture not started, disk space low:" << *free_bytes
                             << "bytes free in" << folder;
        const QString text = DiskSpaceWatchdog::notEnoughToStartText(folder, *free_bytes);
        Q_EMIT errorMessage(text);
        Q_EMIT startFailed(text);
        return;
    }
    run->path = path;
    mux_thread_win* mux = run->mux.get();
    mux->outputWidth = run->width;
    mux->outputHeight = run->height;
    mux->previewEnabled = true;
    mux->durationLimitUs = durationLimitUs_;
    // The mux reports through queued connections; a report that arrives after its run has been
    // deleted finds no run of that id.
    const int id = run->id;
    connect(mux, &mux_thread_win::imagePreviewSignal, this, &TabRecordingSession::previewFrame);
    connect(mux, &mux_thread_win::msgSignal, this,
            [this, id](MSG_TYPE type, const QString& text) { onMuxMessage(id, type, text); });
    connect(mux, &mux_thread_win::outputOpened, this, [this, id] { onOutputOpened(id); });
    connect(mux, &mux_thread_win::durationLimitReached, this, [this, id] {
        if (run_ && run_->id == id)
            endByItself(QString());
    });
    if (!mux->init(settings_.mux, path, run->audio)) {
        const QString text = tr("Failed to initialize mux for tab capture.");
        Q_EMIT errorMessage(text);
        Q_EMIT startFailed(text);
        return;
    }
    mux->start();
    run->worker = std::thread([this, r = run.get()] { r->work(this); });
    run_ = std::move(run);
    qInfo().noquote() << "TabCapture recording starting:" << path;
}

void TabRecordingSession::stopSession()
{
    finishRun();
}

void TabRecordingSession::finishRun()
{
    if (!run_)
        return;
    diskWatch_->stop();
    const MediaBudget::Charge held = run_->budget.held();
    qDebug() << "TabCapture stopping with" << held.bytes << "bytes," << held.pictures
             << "pictures and" << held.samples << "samples held";
    run_->finish();
    finishing_.push_back(std::move(run_));
}

TabRecordingSession::Run* TabRecordingSession::findRun(int id) const
{
    if (run_ && run_->id == id)
        return run_.get();
    for (const std::unique_ptr<Run>& run : finishing_) {
        if (run->id == id)
            return run.get();
    }
    return nullptr;
}

void TabRecordingSession::onOutputOpened(int id)
{
    Run* run = findRun(id);
    if (!run)
        return;
    // Its end is told with the file's name; its start only while it is the current recording,
    // as a client that stopped it has gone on.
    run->opened = true;
    if (run != run_.get())
        return;
    diskWatch_->start(run_->path);
    Q_EMIT recordingStarted(run_->path);
    qInfo().noquote() << "TabCapture recording started:" << run_->path;
}

void TabRecordingSession::onMuxMessage(int id, MSG_TYPE type, const QString& text)
{
    if (type != MSG_ERROR)
        return;
    Run* run = findRun(id);
    if (!run || run != run_.get()) {
        qWarning().noquote() << "TabCapture error after the recording ended:" << text;
        return;
    }
    if (run->opened) {
        endByItself(text);
        return;
    }
    qWarning().noquote() << "TabCapture could not open" << run->path << ":" << text;
    Q_EMIT errorMessage(text);
    Q_EMIT startFailed(text);
    finishRun();
}

void TabRecordingSession::endByItself(const QString& text)
{
    if (!run_ || run_->ended)
        return;
    run_->ended = true;
    diskWatch_->stop();
    if (!text.isEmpty())
        Q_EMIT errorMessage(text);
    Q_EMIT endedByItself(text);
    finishRun();
}

void TabRecordingSession::onRunFinished(int id)
{
    const auto found =
        std::find_if(finishing_.begin(), finishing_.end(),
                     [id](const std::unique_ptr<Run>& run) { return run->id == id; });
    if (found == finishing_.end())
        return;
    std::unique_ptr<Run> run = std::move(*found);
    finishing_.erase(found);
    run->worker.join();
    qDebug() << "TabCapture queue peak:" << run->budget.peakItems() << "items, limit"
             << kQueueCapacity / 2;
    const QString path = run->path;
    const bool opened = run->opened;
    run.reset();
    if (opened) {
        Q_EMIT recordingStopped(path);
        qInfo().noquote() << "TabCapture recording stopped:" << path;
    }
}

TabCaptureSessionBase::VideoPush TabRecordingSession::refuseOverloaded()
{
    if (!run_->overloaded) {
        const MediaBudget::Charge held = run_->budget.held();
        qWarning() << "TabCapture encoder falling behind:" << held.bytes << "bytes,"
                   << held.pictures << "pictures and" << held.samples << "samples held";
    }
    run_->overloaded = true;
    return VideoPush::Overloaded;
}

TabCaptureSessionBase::VideoPush
TabRecordingSession::pushVideoFrame(const tabcapture::VideoMessage& message,
                                    const QByteArray& holder)
{
    if (!run_)
        return VideoPush::Queued;
    if (run_->overloaded)
        return VideoPush::Overloaded;
    if (!tabcapture::acceptsPicture(message.timestampUs, message.width, message.height, run_->width,
                                    run_->height) ||
        (!message.isRawPicture && (!run_->hasDecoder || message.payload.isEmpty()))) {
        if (!run_->refusedMessage)
            qWarning() << "TabCapture refused a picture of" << message.width << "x"
                       << message.height << "at" << message.timestampUs << "us in a recording of"
                       << run_->width << "x" << run_->height;
        run_->refusedMessage = true;
        return VideoPush::Queued;
    }
    const MediaBudget::Charge charge = MediaBudget::chargeFor(holder.size(), 1, 0);
    if (!run_->budget.tryCharge(charge))
        return refuseOverloaded();
    run_->post({holder, message, {}, false, charge});
    ++videoSequence_;
    reportFrameRate();
    return VideoPush::Queued;
}

void TabRecordingSession::pushAudioFrame(const tabcapture::AudioMessage& message,
                                         const QByteArray& holder)
{
    if (!run_ || !run_->audio || run_->overloaded)
        return;
    if (!tabcapture::acceptsAudio(message, run_->sampleRate)) {
        if (!run_->refusedMessage)
            qWarning() << "TabCapture refused" << message.samplesPerChannel << "samples at"
                       << message.sampleRate << "Hz in a recording at" << run_->sampleRate << "Hz";
        run_->refusedMessage = true;
        return;
    }
    const MediaBudget::Charge charge =
        MediaBudget::chargeFor(holder.size(), 0, message.samplesPerChannel);
    if (!run_->budget.tryCharge(charge)) {
        refuseOverloaded();
        return;
    }
    run_->post({holder, {}, message, true, charge});
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
