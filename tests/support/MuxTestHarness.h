#pragma once

#include "media/FrameQueueItem.h"
#include "media/MsgType.h"

#include <QImage>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <functional>

extern "C" {
#include <libavutil/pixfmt.h>
}

// Runs mux_thread_win over prepared frames, the way a recording session drives it, and collects
// what it reports.
namespace testsupport {

class LogCapture;

inline constexpr int kMuxTestFps = 15;
inline constexpr std::int64_t kMuxTestFrameIntervalUs = 1000000 / kMuxTestFps;

// Queue items of a synthetic recording: pattern frames (SyntheticFrames.h) with pts
// n x kMuxTestFrameIntervalUs and, when audioRate > 0, 1024-sample tone frames covering the same
// time, interleaved as the capture threads deliver them, with sequence numbers from 1.
struct MuxTestRecording
{
    QList<FrameQueueItem> items;
    int videoFrames = 0;
    std::int64_t audioSamples = 0; // at audioRate
};
MuxTestRecording makeMuxTestRecording(int frames, int width, int height, AVPixelFormat format,
                                      int audioRate, double toneHz = 440.0);

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
    QStringList log; // every log line written during the run

    // "Video write finished." was reported.
    bool finished() const;
    QStringList errors() const;
};

// Queues the items, closes the queue, runs one mux thread over them and waits for its end.
MuxRunResult runMuxThread(LogCapture& log, const QString& path, int outputWidth, int outputHeight,
                          const QList<FrameQueueItem>& items, const MuxRunOptions& options = {});

// Writes the encoder settings the mux thread reads in init().
void setMuxSettings(const QString& videoFormat, const QString& audioFormat,
                    const QVariant& bitrate = 6000, double fps = kMuxTestFps,
                    const QString& quality = "High (Default)", bool useHardwareEncoder = true);

// Number of file descriptors the process holds: a check that nothing was left open.
int openFileDescriptors();

} // namespace testsupport
