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

extern "C" {
#include <libavcodec/codec_id.h>
}

class AudioDriftCorrector;
class AudioFramePool;
class CaptureClockQpc;
class FrameQueue;

// Records the sound of a recording: what the default output plays ("System Audio") or the default
// microphone. Converts it into fixed-size stereo frames in the sample format of the chosen audio
// encoder, fills gaps with silence against the shared capture clock and pushes the frames into
// the recording's queue, marked as audio. However the thread ends, it tells the queue that this
// producer has finished.
//
// init(), setCaptureClock() and setSourceFactory() are called from the GUI thread before start();
// pause(), resume() and requestStop() are thread-safe.
class audio_capture_thread_win : public QThread
{
    Q_OBJECT

public:
    using SourceFactory = std::function<std::unique_ptr<AudioSource>()>;

    explicit audio_capture_thread_win(FrameQueue* frameQueue, QObject* parent = nullptr);
    ~audio_capture_thread_win() override;

    // Chooses the device and the encoder's codec, whose sample format and frame size the frames
    // are cut to. Always returns true.
    bool init(bool microphone, AVCodecID codec);

    void pause();
    void resume();
    void requestStop();

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
    // The frame being filled and the counters of one run.
    struct RunState
    {
        std::shared_ptr<AudioFramePool> pool;
        SharedFrame current;
        int fill = 0;
        std::int64_t samplesPushed = 0;
        std::int32_t framesPushed = 0;
        AudioInputFormat input;
        int frameSize = 0;      // samples per pushed frame
        bool delivered = false; // whether the source has handed out any sound yet
    };

    QString openErrorText(AudioSource::OpenError error) const;
    // The opened source; null when it could not open, which is then logged and sent.
    std::unique_ptr<AudioSource> openSource();
    // Silence up to where the capture clock says the sound should be, unless it lags by less
    // than lateLimit samples; whether any was added.
    bool insertSilenceToClock(RunState& state, std::int64_t lateLimit);
    // Reads and appends the packets waiting in the source; false when reading failed.
    bool readWaiting(AudioSource& source, int waiting, AudioPacket& packet, RunState& state,
                     AudioDriftCorrector& drift);
    // Appends n samples (silence when input is null) to the current frames, pushing each as it
    // fills.
    void append(RunState& state, const std::uint8_t* input, const AudioInputFormat& format, int n,
                bool silent);
    void pushCurrent(RunState& state);

    FrameQueue* frameQueue = nullptr;
    std::shared_ptr<CaptureClockQpc> captureClock;
    SourceFactory sourceFactory;
    bool microphone = false;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> paused{false};
    AVCodecID audioCodecId = AV_CODEC_ID_NONE;
};
