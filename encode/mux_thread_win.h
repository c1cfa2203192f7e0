// The encoder and muxer thread (the name is the one the rest of the program knows): on Linux it
// encodes with FFmpeg's libavcodec (x264, VA-API, NVENC or QSV) and writes with libavformat.
#pragma once

#include "MuxSettings.h"
#include "media/MsgType.h"

#include <QImage>
#include <QString>
#include <QThread>

#include <atomic>
#include <cstdint>
#include <functional>

class FrameQueue;
class MuxAudioTracks;
class MuxPacketWriter;
class MuxVideoPath;
struct AVPacket;
struct AVRational;
struct AVStream;

// The encoder and muxer thread of one recording: opens the container and the encoders, then
// converts, encodes and writes every frame it pops from the queue until the queue is closed and
// drained, flushes the encoders and writes the trailer.
//
// init() and the flags are used from the GUI thread; pause(), resume(), requestStop(),
// finishNow() and previewEnabled are thread-safe. Signals are emitted from the mux thread.
class mux_thread_win : public QThread
{
    Q_OBJECT

public:
    explicit mux_thread_win(FrameQueue* frameQueue, QObject* parent = nullptr);
    ~mux_thread_win() override;

    // Takes the encoding choices of the recording; call before start(). Always returns true.
    bool init(const MuxSettings& choices, const QString& outputPath, bool withAudio);

    void pause();
    void resume();
    // Does not end the loop by itself: the loop ends when the queue is closed and drained.
    void requestStop();
    // Ends the loop at the next item, leaving what is still queued, and finishes the file: for a
    // stop that cannot wait for the encoder to catch up.
    void finishNow();

    // Clock of the preview throttle in milliseconds (tests drive it); set before start().
    void setPreviewClock(std::function<std::int64_t()> clock);

    // Size of the frames the session delivers; written before init().
    int outputWidth = 0;
    int outputHeight = 0;
    std::atomic<bool> previewEnabled{false};
    // The preview's largest size, where the window shows it (empty: 480x270); set before start().
    QSize previewBox;
    // The written data goes to the disk about every second, and an MP4 keeps a journal beside it
    // to be rebuilt from after a crash; set before start(). Off only to measure what it costs.
    bool crashSafe = true;
    // The length of the file in microseconds of the recording's clock, which leaves paused time
    // out; 0 for none. Nothing captured later is written. Set before start().
    std::int64_t durationLimitUs = 0;

Q_SIGNALS:
    void imagePreviewSignal(QImage frame);
    void msgSignal(MSG_TYPE type, QString text);
    // The file is open and its header written: from here on what is queued is recorded.
    void outputOpened();
    // Sent once when the file has everything up to its duration limit: the sound when there is
    // any (the picture's last slots are filled at the stop), else the picture.
    void durationLimitReached();

protected:
    void run() override;

private:
    // Encodes what the queue hands out until it is closed and drained, a stop or a failed write;
    // false when the video encoder failed for good (nothing more is written).
    bool encodeQueue(MuxPacketWriter& writer, MuxVideoPath& video, MuxAudioTracks& audio,
                     const AVStream& videoStream);
    // Writes a copied picture's packet (microseconds) into the video stream.
    void writeCopied(MuxPacketWriter& writer, const AVPacket& packet, const AVStream& videoStream);

    FrameQueue* frameQueue = nullptr;
    MuxSettings settings;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> finishing{false};
    std::function<std::int64_t()> previewClock;
    std::int64_t copiedPictures_ = 0;
};
