// The sound capture thread (the name is the one the rest of the program knows): on Linux it reads
// PulseAudio through an AudioSource, beside the video capture thread it keeps in step with.
#pragma once

#include "media/FrameQueueItem.h"
#include "media/MsgType.h"
#include "platform/AudioSource.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

class AudioFramePool;
class AudioLimiter;
class CaptureClockQpc;
class FrameQueue;

// Records the sound of a recording: what the default output plays ("System Audio"), a
// microphone, one program's playback, or the system sound and a microphone together. Each source
// is kept on the shared capture clock by its own AudioTimeline; two are mixed through a limiter
// into one track, or written to a track each. The samples are cut into fixed-size stereo frames
// in the sample format of the chosen audio encoder and pushed into the recording's queue, marked
// as audio. However the thread ends, it tells the queue that this producer has finished.
//
// init(), setCaptureClock() and setSourceFactory() are called from the GUI thread before start();
// pause(), resume(), requestStop() and setMicrophoneMuted() are thread-safe.
class audio_capture_thread_win : public QThread
{
    Q_OBJECT

public:
    using SourceFactory = std::function<std::unique_ptr<AudioSource>()>;

    explicit audio_capture_thread_win(FrameQueue* frameQueue, QObject* parent = nullptr);
    ~audio_capture_thread_win() override;

    // Chooses the sources (one or two, system sound first), whether two go to tracks of their
    // own, and the encoder's codec, whose sample format and frame size the frames are cut to.
    // Always returns true.
    bool init(std::vector<AudioSourceChoice> sources, bool separateTracks, AVCodecID codec);

    void pause();
    void resume();
    void requestStop();
    // A muted microphone records silence; the other sources go on.
    void setMicrophoneMuted(bool muted) { microphoneMuted = muted; }

    // Reference for silence insertion; may stay empty (then no silence is inserted).
    void setCaptureClock(std::shared_ptr<CaptureClockQpc> clock);
    // Tests replace the sound server with their own source.
    void setSourceFactory(SourceFactory factory);

    AVCodecID codecId() const { return audioCodecId; }

Q_SIGNALS:
    // Declared for symmetry with the video thread; audio capture does not emit it.
    void fpsSignal(QString text);
    void msgSignal(MSG_TYPE type, QString text);

protected:
    void run() override;

private:
    struct Input;
    struct Track;

    QString openErrorText(AudioSource::OpenError error, bool microphone) const;
    // The opened sources, each with its timeline; a source that could not open is logged and
    // sent, and left out.
    std::vector<Input> openInputs();
    std::int64_t expected(int rate) const;
    // Reads what waits in each source, or fills silence to the clock; false when every source
    // failed. `read` tells whether any sound arrived.
    bool service(std::vector<Input>& inputs, bool& read);
    // Hands what the timelines hold on to the tracks: mixed through the limiter into one, or
    // one track each.
    void deliver(std::vector<Input>& inputs, std::vector<Track>& tracks, AudioLimiter& limiter);
    // Appends n planar float samples to a track, pushing each frame as it fills.
    void append(Track& track, const float* left, const float* right, int n);
    void pushCurrent(Track& track);

    FrameQueue* frameQueue = nullptr;
    std::shared_ptr<CaptureClockQpc> captureClock;
    SourceFactory sourceFactory;
    std::vector<AudioSourceChoice> sources;
    bool separateTracks = false;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> microphoneMuted{false};
    AVCodecID audioCodecId = AV_CODEC_ID_NONE;
};
