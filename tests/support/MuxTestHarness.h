#pragma once

#include "media/FrameQueueItem.h"
#include "media/MsgType.h"
#include "platform/AudioSource.h"

#include <QImage>
#include <QList>
#include <QPair>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

// Feeds the encoding threads without a desktop or a sound server.
namespace testsupport {

class LogCapture;

inline constexpr int kMuxTestFps = 15;
inline constexpr std::int64_t kMuxTestFrameIntervalUs = 1000000 / kMuxTestFps;

// BGRA pattern frames (SyntheticFrames.h) with pts n x kMuxTestFrameIntervalUs and, when
// audioRate > 0, 1024-sample tone frames covering the same time, interleaved as the capture
// threads deliver them, with sequence numbers from 1.
struct MuxTestRecording
{
    QList<FrameQueueItem> items;
    std::int64_t audioSamples = 0; // at audioRate
};
MuxTestRecording makeMuxTestRecording(int frames, int width, int height, int audioRate = 0);

struct MuxRunOptions
{
    bool withAudio = false;
    bool preview = false;
    std::function<std::int64_t()> previewClock; // empty: the thread's own timer
};

struct MuxRunResult
{
    QList<QPair<MSG_TYPE, QString>> messages;
    QList<QImage> previews;
    QStringList log;       // every log line written during the run
    bool finished() const; // "Video write finished." was reported
    QStringList errors() const;
};

// Queues the items, closes the queue, runs one mux thread over them and waits for its end.
MuxRunResult runMuxThread(LogCapture& log, const QString& path, int outputWidth, int outputHeight,
                          const QList<FrameQueueItem>& items, const MuxRunOptions& options = {});

// Writes the encoder settings the mux thread reads in init().
void setMuxSettings(const QString& videoFormat, const QString& audioFormat,
                    const QVariant& bitrate = 6000, double fps = kMuxTestFps,
                    const QString& quality = "High (Default)");

// A 48 kHz float stereo device that delivers its samples once, then nothing; or, endless, a
// block of silence at every other look for ever; or fails to open with the server's reason.
class ScriptedAudioSource : public AudioSource
{
public:
    explicit ScriptedAudioSource(std::vector<float> interleaved, bool endless = false)
        : samples_(std::move(interleaved)), endless_(endless)
    {
    }
    ScriptedAudioSource(OpenError error, std::string reason) : error_(error), reason_(reason) {}
    OpenError open(bool) override { return error_; }
    AudioInputFormat format() const override { return {48000, 2, 32, true, false}; }
    int packetSize() override;
    bool read(AudioPacket& packet) override;
    void stop() override {}
    std::string errorText() const override { return reason_; }

    std::atomic<bool> taken{false}; // the samples were read

private:
    std::vector<float> samples_;
    bool endless_ = false;
    int looks_ = 0;
    OpenError error_ = OpenError::None;
    std::string reason_;
};

} // namespace testsupport
