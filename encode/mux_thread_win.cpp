#include "mux_thread_win.h"

#include "MuxAudioTracks.h"
#include "MuxEncoderSetup.h"
#include "MuxVideoPath.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "platform/posix/CrashHandler.h"
#include "platform/posix/ThreadPriority.h"

#include <QDebug>

namespace {

// Enough for the capture and the display server to come first on a busy machine; the queue
// holds what the encoder then takes late.
constexpr int kEncoderNiceSteps = 5;

// Where a duration limit ends the file. Sound is stamped in samples from the start of its track:
// only those before the limit go in. A picture slot that lies mostly past the limit is left out:
// the picture ends at the limit to within half a frame. reached is called once, when the file has
// everything up to the limit: the sound of every track when there is any, else the picture.
class DurationLimit
{
public:
    DurationLimit(std::int64_t limitUs, std::function<void()> reached)
        : limitUs_(limitUs), reached_(std::move(reached))
    {
    }

    // Hands the item's sound, or its part before the limit, to audio.
    void passSound(const FrameQueueItem& item, MuxAudioTracks& audio)
    {
        if (limitUs_ <= 0 || !audio.has(item.track)) {
            audio.handleItem(item);
            return;
        }
        const AVFrame& sound = *item.frame;
        const std::int64_t room = av_rescale(limitUs_, sound.sample_rate, 1000000) - sound.pts;
        soundSeen_ = true;
        if (room >= sound.nb_samples) {
            audio.handleItem(item);
        } else if (room > 0) {
            // Its first samples, read from the same buffers.
            SharedFrame head = makeSharedFrame(av_frame_alloc());
            if (head && av_frame_ref(head.get(), &sound) == 0) {
                head->nb_samples = int(room);
                audio.handleItem({head, true, item.sequence, item.track});
            }
        }
        if (room <= sound.nb_samples) {
            tracksDone_ |= 1u << item.track;
            if (tracksDone_ == (1u << audio.count()) - 1)
                reach(true);
        }
    }

    // Whether the picture at ptsUs lasting durationUs is to be left out.
    bool pictureIsPast(std::int64_t ptsUs, std::int64_t durationUs)
    {
        if (limitUs_ <= 0 || ptsUs + durationUs / 2 < limitUs_)
            return false;
        reach(false);
        return true;
    }

private:
    void reach(bool sound)
    {
        if (reported_ || (!sound && soundSeen_))
            return;
        reported_ = true;
        qInfo().noquote() << "Duration limit reached:" << limitUs_ << "us";
        reached_();
    }

    const std::int64_t limitUs_;
    const std::function<void()> reached_;
    unsigned tracksDone_ = 0; // a bit per sound track that reached the limit
    bool soundSeen_ = false;
    bool reported_ = false;
};

} // namespace

mux_thread_win::mux_thread_win(FrameQueue* frameQueue, QObject* parent)
    : QThread(parent), frameQueue(frameQueue)
{
    // Messages cross to the GUI thread through queued connections.
    qRegisterMetaType<MSG_TYPE>("MSG_TYPE");
}

mux_thread_win::~mux_thread_win()
{
    if (isRunning()) {
        quit();
        wait();
    }
}

bool mux_thread_win::init(const MuxSettings& choices, const QString& outputPath, bool withAudio)
{
    settings = choices;
    stopRequested.store(false);
    finishing.store(false);
    settings.outputPath = outputPath;
    settings.withAudio = withAudio;
    return true;
}

void mux_thread_win::pause()
{
    paused.store(true);
}

void mux_thread_win::resume()
{
    paused.store(false);
}

void mux_thread_win::requestStop()
{
    stopRequested.store(true);
    paused.store(false);
}

void mux_thread_win::finishNow()
{
    finishing.store(true);
    paused.store(false);
}

void mux_thread_win::setPreviewClock(std::function<std::int64_t()> clock)
{
    previewClock = std::move(clock);
}

void mux_thread_win::run()
{
    CrashHandler::installAltStackForThisThread();
    // Before the encoder starts its own threads, so they inherit it.
    if (!platform::lowerThisThreadPriority(kEncoderNiceSteps))
        qDebug() << "Could not lower the encoder's priority.";
    MuxSettings current = settings;
    current.outputWidth = outputWidth;
    current.outputHeight = outputHeight;
    const auto sink = [this](MSG_TYPE type, const QString& text) { emit msgSignal(type, text); };
    // Once this consumer is gone nothing drains the queue: closing it lets the capture threads'
    // pushes return instead of waiting on a full queue until the stop, which waits for them.
    struct CloseQueue
    {
        FrameQueue* queue;
        ~CloseQueue()
        {
            if (queue)
                queue->close();
        }
    } closeQueue{frameQueue};

    std::int64_t framesWritten = 0;
    copiedPictures_ = 0;
    {
        MuxOutput output;
        if (!MuxEncoderSetup(current, sink).open(output))
            return;
        emit outputOpened();

        MuxPacketWriter writer(output, current.outputPath, sink);
        writer.start(crashSafe);
        const bool copied = current.copiedVideoCodec != AV_CODEC_ID_NONE;
        MuxVideoPath video(output, writer, current.fps, sink);
        const auto preview = [this](const QImage& image) { emit imagePreviewSignal(image); };
        if (!copied && !video.prepare(previewEnabled, preview, previewClock, previewBox))
            return;
        MuxAudioTracks audio(output, writer, sink);
        if (!encodeQueue(writer, video, audio, *output.videoStream))
            return;

        // After a failed write nothing more is encoded: what was written is closed as it is.
        if (!writer.failed()) {
            if (!copied)
                video.flush();
            audio.flush();
        }
        writer.finish();
        framesWritten = copied ? copiedPictures_ : video.framesSent();
    }

    qDebug().noquote() << QStringLiteral("total Frame Written: %1").arg(framesWritten);
    qDebug().noquote() << "Quiting muxingThread....!";
    emit msgSignal(MSG_INFO, tr("Video write finished."));
}

bool mux_thread_win::encodeQueue(MuxPacketWriter& writer, MuxVideoPath& video,
                                 MuxAudioTracks& audio, const AVStream& videoStream)
{
    DurationLimit limit(durationLimitUs, [this] { emit durationLimitReached(); });
    // A time base of whole frames (AVI) cannot hold the capture's whole-microsecond
    // frame interval exactly (16666 us at 60 fps): every few minutes two slots round to one
    // tick, which the encoder refuses. The later one is left out, keeping picture and sound
    // in step.
    std::int64_t lastVideoTick = AV_NOPTS_VALUE;
    FrameQueueItem item;
    while (!writer.failed() && !finishing.load() && frameQueue && frameQueue->pop(item)) {
        // The popped item waits with us, so nothing is lost across a pause.
        while (paused.load())
            QThread::msleep(50);
        if (item.frame && item.isAudio) {
            limit.passSound(item, audio);
            item = {};
            continue;
        }
        const std::int64_t pts = item.packet  ? item.packet->pts
                                 : item.frame ? item.frame->pts
                                              : AV_NOPTS_VALUE;
        const std::int64_t duration = item.packet  ? item.packet->duration
                                      : item.frame ? frameDuration(item.frame.get())
                                                   : 0;
        if ((item.packet || item.frame) && !limit.pictureIsPast(pts, duration)) {
            const std::int64_t tick =
                av_rescale_q(pts, AVRational{1, 1000000}, videoStream.time_base);
            if (lastVideoTick != AV_NOPTS_VALUE && tick <= lastVideoTick) {
                qDebug() << "Video frame left out, its time falls on the last one's:" << tick;
            } else if (item.packet) {
                lastVideoTick = tick;
                writeCopied(writer, *item.packet, videoStream);
            } else {
                lastVideoTick = tick;
                const MuxVideoPath::Result result = video.encodeFrame(*item.frame);
                if (result == MuxVideoPath::Result::Fatal)
                    return false;
                if (result == MuxVideoPath::Result::EncoderGone)
                    return true;
            }
        }
        // Hand pooled frames back to their producer now rather than at the next pop.
        item = {};
    }
    return true;
}

void mux_thread_win::writeCopied(MuxPacketWriter& writer, const AVPacket& packet,
                                 const AVStream& videoStream)
{
    ffmpeg::PacketPtr copy(av_packet_alloc());
    if (!copy || av_packet_ref(copy.get(), &packet) < 0)
        return;
    copy->stream_index = videoStream.index;
    av_packet_rescale_ts(copy.get(), AVRational{1, 1000000}, videoStream.time_base);
    if (writer.write(copy.get()))
        ++copiedPictures_;
}
