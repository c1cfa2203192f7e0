#include "TabRecordingSession.h"

#include "recording/DiskSpaceWatchdog.h"
#include "encode/FfmpegHolders.h"
#include "encode/mux_thread_win.h"
#include "tabcapture/TabRecordingRun.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "tabcapture/TabMediaBudget.h"
#include "recording/OutputFileName.h"
#include "recording/RecordingSettings.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <tuple>

extern "C" {
#include <libavutil/error.h>
}

namespace {

using Clock = std::chrono::steady_clock;
using tabcapture::MediaBudget;

constexpr std::size_t kMaxFinishing = 2;
constexpr std::int64_t kFpsWindowMs = 1000;

} // namespace

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
    for (const std::unique_ptr<TabRecordingRun>& run : finishing_)
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

    auto run = std::make_unique<TabRecordingRun>(++nextRunId_, request);
    MuxSettings muxSettings = settings_.mux;
    const int id = run->id;
    prepareVideo(*run, request, muxSettings);

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
    std::tie(mux->outputWidth, mux->outputHeight) = tabcapture::encodedSize(request);
    mux->previewEnabled = true;
    mux->durationLimitUs = durationLimitUs_;
    // The mux reports through queued connections; a report that arrives after its run has been
    // deleted finds no run of that id.
    connect(mux, &mux_thread_win::imagePreviewSignal, this, &TabRecordingSession::previewFrame);
    connect(mux, &mux_thread_win::msgSignal, this,
            [this, id](MSG_TYPE type, const QString& text) { onMuxMessage(id, type, text); });
    connect(mux, &mux_thread_win::outputOpened, this, [this, id] { onOutputOpened(id); });
    connect(mux, &mux_thread_win::durationLimitReached, this, [this, id] {
        if (run_ && run_->id == id)
            endByItself(QString());
    });
    if (!mux->init(muxSettings, path, run->audio)) {
        const QString text = tr("Failed to initialize mux for tab capture.");
        Q_EMIT errorMessage(text);
        Q_EMIT startFailed(text);
        return;
    }
    mux->start();
    run->start([this, id] {
        QMetaObject::invokeMethod(
            this, [this, id] { onRunFinished(id); }, Qt::QueuedConnection);
    });
    run_ = std::move(run);
    qInfo().noquote() << "TabCapture recording starting:" << path;
}

void TabRecordingSession::prepareVideo(TabRecordingRun& run,
                                       const tabcapture::StartRequest& request,
                                       MuxSettings& muxSettings)
{
    // The browser's own H.264 at the file's size goes into an MP4 as it is: decoding and encoding
    // it again would cost more than the rest of the recording and lose quality.
    run.copiesPictures =
        request.videoCodec == tabcapture::VideoCodec::H264 && !request.videoConfig.isEmpty() &&
        muxSettings.videoCodecId == AV_CODEC_ID_H264 &&
        tabcapture::encodedSize(request) == std::pair{request.width, request.height};
    const int id = run.id;
    if (run.copiesPictures) {
        muxSettings.copiedVideoCodec = AV_CODEC_ID_H264;
        muxSettings.copiedVideoConfig = request.videoConfig;
        qInfo() << "TabCapture writes the browser's H.264 pictures as they are";
        // A preview is only a preview: without a decoder the recording goes on without it.
        if (run.openDecoder(request.videoCodec, request.videoConfig) == 0)
            run.preview = [this, id](const QImage& image) {
                QMetaObject::invokeMethod(
                    this,
                    [this, id, image] {
                        if (findRun(id))
                            Q_EMIT previewFrame(image);
                    },
                    Qt::QueuedConnection);
            };
    } else if (request.videoCodecGiven) {
        const int ret = run.openDecoder(request.videoCodec, request.videoConfig);
        if (ret == AVERROR_DECODER_NOT_FOUND)
            Q_EMIT errorMessage(tr("Failed to initialize video decoder: codec not found."));
        else if (ret < 0)
            Q_EMIT errorMessage(
                tr("Failed to initialize video decoder: %1").arg(ffmpeg::errorText(ret, 256)));
    }
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

TabRecordingRun* TabRecordingSession::findRun(int id) const
{
    if (run_ && run_->id == id)
        return run_.get();
    for (const std::unique_ptr<TabRecordingRun>& run : finishing_) {
        if (run->id == id)
            return run.get();
    }
    return nullptr;
}

void TabRecordingSession::onOutputOpened(int id)
{
    TabRecordingRun* run = findRun(id);
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
    TabRecordingRun* run = findRun(id);
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
                     [id](const std::unique_ptr<TabRecordingRun>& run) { return run->id == id; });
    if (found == finishing_.end())
        return;
    std::unique_ptr<TabRecordingRun> run = std::move(*found);
    finishing_.erase(found);
    run->worker.join();
    qDebug() << "TabCapture queue peak:" << run->budget.peakItems() << "items, limit"
             << TabRecordingRun::kQueueCapacity / 2;
    const QString path = run->path;
    const bool opened = run->opened;
    const bool empty = opened && run->pictures() == 0;
    run.reset();
    if (!opened)
        return;
    // Stopped before its first picture: the file is of no use, as a screen recording's is not.
    if (empty && QFile::remove(path)) {
        qInfo().noquote() << "TabCapture stopped before the first picture; file removed:" << path;
        if (!run_)
            Q_EMIT endedByItself(QStringLiteral("no picture arrived, so nothing was recorded"));
    } else {
        qInfo().noquote() << "TabCapture recording stopped:" << path;
    }
    Q_EMIT recordingStopped(path);
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
        (!message.isRawPicture &&
         ((!run_->hasDecoder && !run_->copiesPictures) || message.payload.isEmpty()))) {
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
