#include "mux_thread_win.h"

#include "MuxAudioPath.h"
#include "MuxEncoderSetup.h"
#include "MuxVideoPath.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "platform/posix/CrashHandler.h"

#include <QDebug>

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
    {
        MuxOutput output;
        if (!MuxEncoderSetup(current, sink).open(output))
            return;
        emit outputOpened();

        MuxPacketWriter writer(output, current.outputPath, sink);
        writer.start(crashSafe);
        MuxVideoPath video(output, writer, current.fps, sink);
        const auto preview = [this](const QImage& image) { emit imagePreviewSignal(image); };
        if (!video.prepare(previewEnabled, preview, previewClock))
            return;
        MuxAudioPath audio(output, writer, current.withAudio, sink);

        FrameQueueItem item;
        bool encoderGone = false;
        // A time base of whole frames (AVI) cannot hold the capture's whole-microsecond
        // frame interval exactly (16666 us at 60 fps): every few minutes two slots round to one
        // tick, which the encoder refuses. The later one is left out, keeping picture and sound
        // in step.
        const AVRational videoTimeBase = output.videoStream->time_base;
        std::int64_t lastVideoTick = AV_NOPTS_VALUE;
        const std::int64_t limitUs = durationLimitUs;
        bool soundSeen = false;
        bool limitReported = false;
        const auto reachedLimit = [&](bool sound) {
            if (limitReported || (!sound && soundSeen))
                return;
            limitReported = true;
            qInfo().noquote() << "Duration limit reached:" << limitUs << "us";
            emit durationLimitReached();
        };
        while (!encoderGone && !writer.failed() && !finishing.load() && frameQueue &&
               frameQueue->pop(item)) {
            // The popped item waits with us, so nothing is lost across a pause.
            while (paused.load())
                QThread::msleep(50);
            if (!item.frame) {
                item = {};
                continue;
            }
            if (item.isAudio && limitUs > 0) {
                // Sound is stamped in samples from the start: only those before the limit go in.
                const AVFrame& sound = *item.frame;
                const std::int64_t room =
                    av_rescale(limitUs, sound.sample_rate, 1000000) - sound.pts;
                soundSeen = true;
                if (room >= sound.nb_samples) {
                    audio.handleItem(item);
                } else if (room > 0) {
                    // Its first samples, read from the same buffers.
                    SharedFrame head = makeSharedFrame(av_frame_alloc());
                    if (head && av_frame_ref(head.get(), &sound) == 0) {
                        head->nb_samples = int(room);
                        audio.handleItem({head, true, item.sequence});
                    }
                }
                if (room <= sound.nb_samples)
                    reachedLimit(true);
            } else if (item.isAudio) {
                audio.handleItem(item);
            } else if (limitUs > 0 &&
                       item.frame->pts + frameDuration(item.frame.get()) / 2 >= limitUs) {
                // A slot that lies mostly past the limit is left out: the picture ends at the
                // limit to within half a frame.
                reachedLimit(false);
            } else if (const std::int64_t tick =
                           av_rescale_q(item.frame->pts, AVRational{1, 1000000}, videoTimeBase);
                       lastVideoTick != AV_NOPTS_VALUE && tick <= lastVideoTick) {
                qDebug() << "Video frame left out, its time falls on the last one's:" << tick;
            } else {
                lastVideoTick = tick;
                switch (video.encodeFrame(*item.frame)) {
                case MuxVideoPath::Result::Fatal:
                    return;
                case MuxVideoPath::Result::EncoderGone:
                    encoderGone = true;
                    break;
                case MuxVideoPath::Result::Continue:
                    break;
                }
            }
            // Hand pooled frames back to their producer now rather than at the next pop.
            item = {};
        }

        // After a failed write nothing more is encoded: what was written is closed as it is.
        if (!writer.failed()) {
            video.flush();
            audio.flush();
        }
        writer.finish();
        framesWritten = video.framesSent();
    }

    qDebug().noquote() << QStringLiteral("total Frame Written: %1").arg(framesWritten);
    qDebug().noquote() << "Quiting muxingThread....!";
    emit msgSignal(MSG_INFO, tr("Video write finished."));
}
