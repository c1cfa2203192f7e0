#pragma once

#include "media/MsgType.h"
#include "tabcapture/TabCaptureProtocol.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QImage>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

extern "C" {
#include <libavcodec/codec_id.h>
}

class FrameQueue;
class mux_thread_win;
struct AVCodecContext;
struct AVFrame;

// One recording of a browser tab: turns the extension's media messages into frames for its own
// FrameQueue and mux_thread_win, which encode them into a "tabcapture_" file in the recordings
// folder. Compressed video is decoded here; raw RGBA pictures and decoded pictures go to the mux
// in their own format and size, and the mux converts them once, on its thread.
//
// The queue is bounded by time, not only by its capacity: once it holds about two seconds of
// media the encoder is falling behind, the session emits overloaded() and ends the recording, so
// a client sending faster than the encoder takes never makes memory grow or the GUI thread wait.
// Used from the GUI thread only.
class TabRecordingSession : public QObject
{
    Q_OBJECT

public:
    struct Params
    {
        int width = 1920;
        int height = 1080;
        int frameRate = 30;
        int sampleRate = 48000;
        int channels = 2; // 0: no sound in the file
        // AV_CODEC_ID_NONE: no decoder, only raw pictures are recorded.
        AVCodecID videoCodec = AV_CODEC_ID_NONE;
    };

    // Monotonic milliseconds, for the frame-rate report.
    using MillisecondClock = std::function<std::int64_t()>;
    // Local time, for the file name.
    using WallClock = std::function<QDateTime()>;

    explicit TabRecordingSession(QObject* parent = nullptr);
    ~TabRecordingSession() override;

    // Ends a running recording first. False when the file could not be set up (errorMessage
    // says why).
    bool start(const Params& params);
    // A client's "start": the decoder follows its codec when one was named.
    bool start(const tabcapture::StartRequest& request);
    // Drains the queue into the file and closes it; nothing happens without a recording.
    void stop();
    bool isActive() const;
    QString outputPath() const { return outputPath_; }
    // The size the file is written at: the requested size rounded up to even.
    int outputWidth() const { return outputWidth_; }
    int outputHeight() const { return outputHeight_; }

    // A picture: raw RGBA (rows top to bottom, no padding) when the payload is exactly
    // width x height x 4 bytes, otherwise one packet for the decoder. ptsUs is its time.
    void pushVideo(std::int64_t ptsUs, int width, int height, QByteArrayView payload);
    // 32-bit float samples, interleaved when there are two channels; channels above 2 count
    // as 2, 0 as 1.
    void pushAudio(int sampleRate, int channels, int samplesPerChannel, QByteArrayView samples);
    void pushVideo(const tabcapture::VideoMessage& message);
    void pushAudio(const tabcapture::AudioMessage& message);

    // Items the queue may hold before the recording counts as overloaded: two seconds of video
    // and of sound at the rates seen so far.
    int overloadLimit() const;
    int queuedItems() const;

    // Seams for tests.
    void setClocks(MillisecondClock monotonic, WallClock wall);
    // A held encoder takes nothing from the queue, as one that cannot keep up.
    void setEncoderHeld(bool held);

    // The next free "tabcapture_<time>" path in the recordings folder (created when missing),
    // with the extension of the configured format.
    static QString makeOutputPath(const QDateTime& now);

Q_SIGNALS:
    void recordingStarted(QString outputPath);
    void recordingStopped(QString outputPath);
    void errorMessage(QString text);
    void previewFrame(QImage frame);
    void fpsSignal(QString fpsText);
    // The encoder fell two seconds behind; the recording ends right after this signal.
    void overloaded();

private:
    void onMuxMessage(MSG_TYPE type, const QString& text);
    void openDecoder(AVCodecID codec);
    void releaseDecoder();
    // Hands a picture to the queue; false when the queue was full and the recording ended.
    bool enqueue(AVFrame* frame, bool isAudio);
    void reportFrameRate();

    struct Decoder;
    std::unique_ptr<Decoder> decoder_;
    std::unique_ptr<FrameQueue> queue_;
    std::unique_ptr<mux_thread_win> mux_;
    QString outputPath_;
    int outputWidth_ = 0;
    int outputHeight_ = 0;
    int frameRate_ = 30;
    bool audioEnabled_ = true;
    // Audio messages per second at the last message's size, for the overload limit.
    int audioChunksPerSecond_ = 0;
    std::int64_t videoSequence_ = 0;
    std::int32_t audioSequence_ = 0;
    std::int64_t audioSamples_ = 0;
    std::int64_t fpsWindowStartMs_ = 0;
    std::int64_t fpsWindowSequence_ = 0;
    MillisecondClock monotonic_;
    WallClock wall_;
};
