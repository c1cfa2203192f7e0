#include "audio_capture_thread_win.h"

#include "AudioSampleConvert.h"
#include "AudioTimeline.h"
#include "media/AudioFramePool.h"

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
// A source of a mix this far ahead of the other is cut back: the other has stalled.
constexpr int kMostSecondsHeld = 3;
// Samples mixed at a time.
constexpr int kMixBlock = 2048;

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

struct audio_capture_thread_win::Input
{
    std::unique_ptr<AudioSource> source; // null once it failed: then it is silence on the clock
    AudioInputFormat format;
    AudioTimeline timeline;
    bool microphone = false;
    int track = 0;
};

struct audio_capture_thread_win::Track
{
    std::shared_ptr<AudioFramePool> pool;
    SharedFrame current;
    int fill = 0;
    std::int64_t samplesPushed = 0;
    std::int32_t framesPushed = 0;
    int index = 0;
};

bool audio_capture_thread_win::init(std::vector<AudioSourceChoice> chosen, bool separate,
                                    AVCodecID codec)
{
    sources = std::move(chosen);
    separateTracks = separate && sources.size() > 1;
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

QString audio_capture_thread_win::openErrorText(AudioSource::OpenError error, bool microphone) const
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

void audio_capture_thread_win::pushCurrent(Track& track)
{
    track.current->pts = track.samplesPushed;
    track.samplesPushed += track.current->nb_samples;
    ++track.framesPushed;
    FrameQueueItem item;
    item.frame = std::move(track.current);
    item.isAudio = true;
    item.sequence = track.framesPushed;
    item.track = track.index;
    track.current.reset();
    track.fill = 0;
    frameQueue->push(std::move(item));
}

void audio_capture_thread_win::append(Track& track, const float* left, const float* right, int n)
{
    const int frameSize = track.pool->frameSize();
    int done = 0;
    while (done < n) {
        const int piece = std::min(n - done, frameSize - track.fill);
        if (!track.current) {
            track.current = track.pool->take();
            track.fill = 0;
            if (!track.current) {
                done += piece; // out of memory: this piece is lost, the next may fit
                continue;
            }
        }
        std::uint8_t* const planes[2] = {track.current->data[0], track.current->data[1]};
        audioconvert::convertPlanarFloat(left + done, right + done, piece, track.pool->format(),
                                         planes, track.fill);
        track.fill += piece;
        done += piece;
        if (track.fill == frameSize)
            pushCurrent(track);
    }
}

std::vector<audio_capture_thread_win::Input> audio_capture_thread_win::openInputs()
{
    std::vector<Input> inputs;
    std::vector<int> failed;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const bool microphone = sources[i].kind == AudioSourceChoice::Kind::Microphone;
        std::unique_ptr<AudioSource> source = sourceFactory ? sourceFactory() : nullptr;
        const AudioSource::OpenError openError =
            source ? source->open(sources[i]) : AudioSource::OpenError::NoServer;
        if (openError != AudioSource::OpenError::None) {
            QString text = openErrorText(openError, microphone);
            const QString reason = source ? QString::fromStdString(source->errorText()) : QString();
            if (!reason.isEmpty())
                text += QStringLiteral(" (%1)").arg(reason);
            qWarning().noquote() << "Sound capture could not start:" << text;
            emit msgSignal(MSG_ERROR, text);
            failed.push_back(int(i));
            continue;
        }
        const AudioInputFormat format = source->format();
        qDebug() << "Input format:"
                 << "rate=" << format.rate << "channels=" << format.channels
                 << "bits=" << format.bits << "float=" << format.isFloat << "pcm=" << format.isPcm;
        // Mixing and tracks share one frame rate; the sound server delivers every source at it.
        if (format.rate <= 0 || (!inputs.empty() && format.rate != inputs.front().format.rate)) {
            qWarning() << "Sound source left out: its rate" << format.rate
                       << "differs from the recording's.";
            continue;
        }
        // A source that hands out every moment only pauses when this thread or the server ran
        // late; the sound is still coming, and silence put in its place would leave a gap and
        // push it later. Only a pause this long means the source really stopped.
        const std::int64_t lateLimit =
            source->deliversContinuously() ? kLateSourceSeconds * format.rate : 0;
        inputs.push_back(Input{std::move(source), format, AudioTimeline(format.rate, lateLimit),
                               microphone, int(i)});
    }
    // A track of its own whose source could not open still runs as long as the others: silence.
    if (separateTracks && !inputs.empty())
        for (int track : failed)
            inputs.push_back(Input{
                nullptr, inputs.front().format, AudioTimeline(inputs.front().format.rate, 0),
                sources[std::size_t(track)].kind == AudioSourceChoice::Kind::Microphone, track});
    return inputs;
}

std::int64_t audio_capture_thread_win::expected(int rate) const
{
    return audioconvert::expectedSamples(captureClock->currentTicks(), captureClock->startTicks,
                                         captureClock->frequency, rate);
}

bool audio_capture_thread_win::service(std::vector<Input>& inputs, bool& read)
{
    const int frameSize = audioconvert::targetFor(audioCodecId).frameSize;
    bool alive = false;
    AudioPacket packet;
    for (Input& input : inputs) {
        int waiting = input.source ? input.source->packetSize() : 0;
        if (waiting < 0) {
            qWarning().noquote() << "Sound capture stopped, the stream failed:"
                                 << QString::fromStdString(input.source->errorText());
            input.source->stop();
            input.source.reset();
            waiting = 0;
        }
        alive = alive || input.source;
        if (waiting == 0) {
            if (captureClock)
                input.timeline.fillToClock(expected(input.format.rate), frameSize);
            continue;
        }
        while (waiting > 0 && input.source->read(packet) && packet.frames > 0) {
            read = true;
            input.timeline.add(packet, input.format,
                               captureClock ? expected(input.format.rate)
                                            : input.timeline.position());
            waiting = input.source->packetSize();
        }
    }
    return alive;
}

void audio_capture_thread_win::deliver(std::vector<Input>& inputs, std::vector<Track>& tracks,
                                       AudioLimiter& limiter)
{
    const bool mixed = tracks.size() == 1;
    thread_local std::vector<float> left(kMixBlock), right(kMixBlock);
    const bool muted = microphoneMuted;
    if (!mixed) {
        for (Input& input : inputs) {
            while (int n = std::min(input.timeline.available(), kMixBlock)) {
                std::fill_n(left.begin(), n, 0.0f);
                std::fill_n(right.begin(), n, 0.0f);
                input.timeline.takeInto(left.data(), right.data(), n, muted && input.microphone);
                append(tracks[std::size_t(input.track)], left.data(), right.data(), n);
            }
        }
        return;
    }
    // Without a clock a failed source never catches up; the mix goes on without it.
    int ready = kMixBlock;
    int live = 0;
    while (ready > 0) {
        ready = kMixBlock;
        live = 0;
        for (const Input& input : inputs) {
            if (input.source || captureClock) {
                ready = std::min(ready, input.timeline.available());
                ++live;
            }
        }
        if (live == 0 || ready == 0)
            return;
        std::fill_n(left.begin(), ready, 0.0f);
        std::fill_n(right.begin(), ready, 0.0f);
        for (Input& input : inputs)
            if (input.source || captureClock)
                input.timeline.takeInto(left.data(), right.data(), ready,
                                        muted && input.microphone);
        if (inputs.size() > 1)
            limiter.process(left.data(), right.data(), ready);
        append(tracks.front(), left.data(), right.data(), ready);
    }
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

    std::vector<Input> inputs = openInputs();
    if (inputs.empty())
        return;
    const int rate = inputs.front().format.rate;
    if (inputs.size() > 1 && !separateTracks)
        for (Input& input : inputs)
            input.timeline.setMostHeld(std::int64_t(kMostSecondsHeld) * rate);
    const audioconvert::TargetFormat target = audioconvert::targetFor(audioCodecId);
    std::vector<Track> tracks(separateTracks ? sources.size() : 1);
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        tracks[i].pool = AudioFramePool::create(target.format, rate, target.frameSize);
        tracks[i].index = int(i);
    }
    AudioLimiter limiter(rate);
    qDebug().nospace() << "Start audio capture. Target fmt="
                       << audioconvert::formatName(target.format) << " buffer=" << target.frameSize;

    AudioPacket packet;
    while (!stopRequested) {
        if (paused) {
            // The server keeps buffering while we hold; what was played during the pause must
            // not reappear after it.
            for (Input& input : inputs) {
                input.timeline.restart();
                while (input.source && input.source->packetSize() > 0 &&
                       input.source->read(packet) && packet.frames > 0) {
                }
            }
            msleep(50);
            continue;
        }
        bool read = false;
        if (!service(inputs, read))
            break;
        deliver(inputs, tracks, limiter);
        if (!read)
            msleep(kIdleWaitMs);
    }
    // What the server holds is sound from before the stop; only what is still missing after it
    // is silence.
    bool lastRead = false;
    service(inputs, lastRead);
    if (captureClock)
        for (Input& input : inputs)
            input.timeline.padTo(expected(input.format.rate));
    deliver(inputs, tracks, limiter);

    std::int32_t framesPushed = 0;
    for (Track& track : tracks) {
        if (track.current && track.fill > 0) {
            std::uint8_t* const planes[2] = {track.current->data[0], track.current->data[1]};
            audioconvert::writeSilence(target.format, planes, track.fill,
                                       target.frameSize - track.fill);
            pushCurrent(track);
        }
        framesPushed += track.framesPushed;
    }
    for (Input& input : inputs)
        if (input.source)
            input.source->stop();
    qDebug() << "Stop audio capture thread. Frames pushed =" << framesPushed;
}
