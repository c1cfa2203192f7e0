#include "audio_capture_thread_win.h"

#include "media/AudioFramePool.h"
#include "AudioDriftCorrector.h"
#include "AudioSampleConvert.h"

#include "media/CaptureClockQpc.h"
#include "media/FrameQueue.h"
#include "platform/posix/CrashHandler.h"

#include <QDebug>

#include <algorithm>

namespace {

// Sound arrives in fragments of about 20 ms; looking every millisecond woke the thread a thousand
// times a second for nothing, a few percent of the whole recording's CPU.
constexpr unsigned long kIdleWaitMs = 10;
// How long a source that delivers continuously may pause before silence stands in for it.
constexpr std::int64_t kLateSourceSeconds = 1;

} // namespace

audio_capture_thread_win::audio_capture_thread_win(FrameQueue* frameQueue, QObject* parent)
    : QThread(parent), frameQueue(frameQueue), sourceFactory([] { return AudioSource::create(); })
{
}

audio_capture_thread_win::~audio_capture_thread_win()
{
    requestStop();
    wait();
}

bool audio_capture_thread_win::init(bool microphone, AVCodecID codec)
{
    this->microphone = microphone;
    audioCodecId = codec;
    qDebug() << "audio init finished.";
    return true;
}

void audio_capture_thread_win::pause()
{
    paused = true;
}

void audio_capture_thread_win::resume()
{
    paused = false;
}

void audio_capture_thread_win::requestStop()
{
    stopRequested = true;
    paused = false;
}

void audio_capture_thread_win::setCaptureClock(std::shared_ptr<CaptureClockQpc> clock)
{
    captureClock = std::move(clock);
}

void audio_capture_thread_win::setSourceFactory(SourceFactory factory)
{
    sourceFactory = std::move(factory);
}

QString audio_capture_thread_win::openErrorText(AudioSource::OpenError error) const
{
    switch (error) {
    case AudioSource::OpenError::None:
        return {};
    case AudioSource::OpenError::Runtime:
        return tr("CoInitializeEx failed.");
    case AudioSource::OpenError::NoServer:
        return tr("Failed to create device enumerator.");
    case AudioSource::OpenError::NoDevice:
        return tr("Failed to get default audio endpoint.");
    case AudioSource::OpenError::StreamCreate:
        return tr("Failed to activate audio client.");
    case AudioSource::OpenError::StreamConnect:
        return microphone ? tr("Failed to init microphone in SHARED mode.")
                          : tr("Failed to initialize loopback client.");
    case AudioSource::OpenError::StreamStart:
        return tr("Failed to start audio capture.");
    }
    return {};
}

void audio_capture_thread_win::pushCurrent(RunState& state)
{
    state.current->pts = state.samplesPushed;
    state.samplesPushed += state.current->nb_samples;
    ++state.framesPushed;
    FrameQueueItem item;
    item.frame = std::move(state.current);
    item.isAudio = true;
    item.sequence = state.framesPushed;
    state.current.reset();
    state.fill = 0;
    frameQueue->push(std::move(item));
}

void audio_capture_thread_win::append(RunState& state, const std::uint8_t* input,
                                      const AudioInputFormat& format, int n, bool silent)
{
    const int frameSize = state.pool->frameSize();
    const AVSampleFormat target = state.pool->format();
    const int bytesPerInputSample = format.channels * (format.bits / 8);
    int done = 0;
    while (done < n) {
        const int piece = std::min(n - done, frameSize - state.fill);
        if (!state.current) {
            state.current = state.pool->take();
            state.fill = 0;
            if (!state.current) {
                done += piece; // out of memory: this piece is lost, the next may fit
                continue;
            }
        }
        std::uint8_t* const planes[2] = {state.current->data[0], state.current->data[1]};
        if (silent || !input)
            audioconvert::writeSilence(target, planes, state.fill, piece);
        else
            audioconvert::convert(input + size_t(done) * size_t(bytesPerInputSample), format, piece,
                                  target, planes, state.fill);
        state.fill += piece;
        done += piece;
        if (state.fill == frameSize)
            pushCurrent(state);
    }
}

std::unique_ptr<AudioSource> audio_capture_thread_win::openSource()
{
    std::unique_ptr<AudioSource> source = sourceFactory ? sourceFactory() : nullptr;
    const AudioSource::OpenError openError =
        source
            ? source->open(microphone ? AudioSourceChoice{AudioSourceChoice::Kind::Microphone, {}}
                                      : AudioSourceChoice{})
            : AudioSource::OpenError::NoServer;
    if (openError == AudioSource::OpenError::None)
        return source;
    QString text = openErrorText(openError);
    const QString reason = source ? QString::fromStdString(source->errorText()) : QString();
    if (!reason.isEmpty())
        text += QStringLiteral(" (%1)").arg(reason);
    qWarning().noquote() << "Sound capture could not start:" << text;
    emit msgSignal(MSG_ERROR, text);
    return nullptr;
}

bool audio_capture_thread_win::insertSilenceToClock(RunState& state, std::int64_t lateLimit)
{
    if (!captureClock)
        return false;
    const std::int64_t expected =
        audioconvert::expectedSamples(captureClock->currentTicks(), captureClock->startTicks,
                                      captureClock->frequency, state.input.rate);
    const std::int64_t silence = audioconvert::silenceToInsert(
        expected, state.samplesPushed + state.fill, state.input.rate, state.frameSize, lateLimit);
    if (silence <= 0)
        return false;
    append(state, nullptr, state.input, int(silence), true);
    return true;
}

bool audio_capture_thread_win::readWaiting(AudioSource& source, int waiting, AudioPacket& packet,
                                           RunState& state, AudioDriftCorrector& drift)
{
    const AudioInputFormat& input = state.input;
    const int bytesPerSample = input.channels * (input.bits / 8);
    while (waiting > 0) {
        if (!source.read(packet))
            return false;
        state.delivered = state.delivered || packet.frames > 0;
        if (packet.frames > 0) {
            const std::uint8_t* data = packet.silent ? nullptr : packet.data.data();
            int correction = 0;
            if (captureClock)
                correction =
                    drift.correction(audioconvert::expectedSamples(
                                         captureClock->currentTicks(), captureClock->startTicks,
                                         captureClock->frequency, input.rate),
                                     state.samplesPushed + state.fill, packet.frames);
            // A fast device loses its last sample or two, a slow one hears its last again.
            append(state, data, input, packet.frames - std::max(correction, 0), packet.silent);
            const std::uint8_t* last =
                data ? data + std::size_t(packet.frames - 1) * std::size_t(bytesPerSample)
                     : nullptr;
            for (int i = correction; i < 0; ++i)
                append(state, last, input, 1, packet.silent);
        }
        waiting = packet.frames > 0 ? source.packetSize() : 0;
        if (waiting < 0)
            return false;
    }
    return true;
}

void audio_capture_thread_win::run()
{
    CrashHandler::installAltStackForThisThread();
    // However the thread ends, the queue learns that this producer is done: the mux thread
    // waits for the last one before it finishes the file.
    struct EndOfStream
    {
        FrameQueue* queue;
        ~EndOfStream()
        {
            if (queue)
                queue->producerFinished();
        }
    } endOfStream{frameQueue};

    const std::unique_ptr<AudioSource> source = openSource();
    if (!source)
        return;
    RunState state;
    state.input = source->format();
    const AudioInputFormat& input = state.input;
    qDebug() << "Input format:"
             << "rate=" << input.rate << "channels=" << input.channels << "bits=" << input.bits
             << "float=" << input.isFloat << "pcm=" << input.isPcm;

    const audioconvert::TargetFormat target = audioconvert::targetFor(audioCodecId);
    state.frameSize = target.frameSize;
    state.pool = AudioFramePool::create(target.format, input.rate, target.frameSize);
    qDebug().nospace() << "Start audio capture. Target fmt="
                       << audioconvert::formatName(target.format) << " buffer=" << target.frameSize;

    // A source that hands out every moment only pauses when this thread or the server ran late;
    // the sound is still coming, and silence put in its place would leave a gap and push it
    // later. Only a pause this long means the source really stopped.
    const std::int64_t lateLimit =
        source->deliversContinuously() ? kLateSourceSeconds * input.rate : 0;
    AudioDriftCorrector drift(input.rate);
    AudioPacket packet;
    while (!stopRequested) {
        if (paused) {
            drift.reset();
            // The server keeps buffering while we hold; what was played during the pause must
            // not reappear after it.
            while (source->packetSize() > 0 && source->read(packet) && packet.frames > 0) {
            }
            msleep(50);
            continue;
        }
        const int waiting = source->packetSize();
        if (waiting < 0)
            break;
        if (waiting == 0) {
            if (insertSilenceToClock(state, state.delivered ? lateLimit : 0))
                drift.reset();
            msleep(kIdleWaitMs);
            continue;
        }
        if (!readWaiting(*source, waiting, packet, state, drift))
            break;
    }
    if (!stopRequested)
        qWarning().noquote() << "Sound capture stopped, the stream failed:"
                             << QString::fromStdString(source->errorText());

    if (state.current && state.fill > 0) {
        std::uint8_t* const planes[2] = {state.current->data[0], state.current->data[1]};
        audioconvert::writeSilence(target.format, planes, state.fill,
                                   target.frameSize - state.fill);
        pushCurrent(state);
    }
    source->stop();
    qDebug() << "Stop audio capture thread. Frames pushed =" << state.framesPushed;
}
