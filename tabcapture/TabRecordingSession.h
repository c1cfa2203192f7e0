#pragma once

#include "media/MsgType.h"
#include "tabcapture/TabCaptureServerWin.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

extern "C" {
#include <libavcodec/codec_id.h>
}

class DiskSpaceWatchdog;
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
// media the encoder is falling behind; the frame is dropped and pushVideoFrame reports Overloaded
// (the server then tells the client and ends the session). So a client sending faster than the
// encoder takes never makes memory grow or the GUI thread wait. Like a screen recording it is
// not started on a nearly full disk, and ends by itself, with one errorMessage, when the disk runs
// low, the folder goes away or the file cannot be written. Used from the GUI thread only.
class TabRecordingSession : public TabCaptureSessionBase
{
    Q_OBJECT

public:
    // Monotonic milliseconds, for the frame-rate report.
    using MillisecondClock = std::function<std::int64_t()>;
    // Local time, for the file name.
    using WallClock = std::function<QDateTime()>;

    explicit TabRecordingSession(QObject* parent = nullptr);
    ~TabRecordingSession() override;

    void startSession(const tabcapture::StartRequest& request) override;
    // Drains the queue into the file and closes it.
    void stopSession() override;
    bool isRunning() const override;
    bool hasAudio() const override;
    VideoPush pushVideoFrame(const tabcapture::VideoMessage& message) override;
    // Sound beyond the overload limit is dropped; the next picture then reports the overload.
    void pushAudioFrame(const tabcapture::AudioMessage& message) override;

    QString outputPath() const { return outputPath_; }
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

private:
    void onMuxMessage(MSG_TYPE type, const QString& text);
    // Reports the first reason the recording has to end, then ends it.
    void endByItself(const QString& text);
    void openDecoder(AVCodecID codec);
    void releaseDecoder();
    VideoPush pushVideo(std::int64_t ptsUs, int width, int height, QByteArrayView payload);
    // False when the queue holds the overload limit: the frame is freed, not queued.
    bool enqueue(AVFrame* frame, bool isAudio);
    void reportFrameRate();

    struct Decoder;
    std::unique_ptr<Decoder> decoder_;
    std::unique_ptr<FrameQueue> queue_;
    std::unique_ptr<mux_thread_win> mux_;
    QString outputPath_;
    DiskSpaceWatchdog* diskWatch_ = nullptr;
    bool endedByItself_ = false;
    int outputWidth_ = 0;
    int outputHeight_ = 0;
    int frameRate_ = 30;
    bool audioEnabled_ = true;
    bool overloaded_ = false;
    int queuePeak_ = 0;
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
