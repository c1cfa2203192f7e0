#include "MuxTestHarness.h"

#include "LogCapture.h"
#include "SyntheticFrames.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "encode/mux_thread_win.h"
#include "media/FrameQueue.h"

#include <QSignalSpy>

#include <algorithm>
#include <cstring>

namespace testsupport {

MuxTestRecording makeMuxTestRecording(int frames, int width, int height, int audioRate)
{
    MuxTestRecording recording;
    std::int32_t sequence = 0;
    for (int n = 0; n < frames; ++n) {
        recording.items.append(
            {makePatternFrame(width, height, n, AV_PIX_FMT_BGRA, n * kMuxTestFrameIntervalUs,
                              kMuxTestFrameIntervalUs),
             false, 0});
        const std::int64_t until = (n + 1) * kMuxTestFrameIntervalUs * audioRate / 1000000;
        for (; audioRate > 0 && recording.audioSamples + 1024 <= until;
             recording.audioSamples += 1024)
            recording.items.append(
                {makeToneFrame(audioRate, 1024, recording.audioSamples, 440.0), true, ++sequence});
    }
    return recording;
}

bool MuxRunResult::finished() const
{
    return messages.contains(qMakePair(MSG_INFO, QStringLiteral("Video write finished.")));
}

QStringList MuxRunResult::errors() const
{
    QStringList texts;
    for (const auto& message : messages)
        if (message.first == MSG_ERROR)
            texts.append(message.second);
    return texts;
}

MuxRunResult runMuxThread(LogCapture& log, const QString& path, int outputWidth, int outputHeight,
                          const QList<FrameQueueItem>& items, const MuxRunOptions& options)
{
    FrameQueue queue(std::max(FrameQueue::kDefaultCapacity, int(items.size())));
    for (const FrameQueueItem& item : items)
        queue.push(item);
    queue.close();

    log.take();
    mux_thread_win mux(&queue);
    // Direct connections: the lists are read only after wait(), which orders the accesses.
    QSignalSpy messageSpy(&mux, &mux_thread_win::msgSignal);
    QSignalSpy previewSpy(&mux, &mux_thread_win::imagePreviewSignal);
    mux.outputWidth = outputWidth;
    mux.outputHeight = outputHeight;
    mux.init(path, options.withAudio);
    mux.previewEnabled = options.preview;
    if (options.previewClock)
        mux.setPreviewClock(options.previewClock);
    mux.start();
    mux.wait();

    MuxRunResult result;
    for (const QList<QVariant>& arguments : messageSpy)
        result.messages.append({arguments.at(0).value<MSG_TYPE>(), arguments.at(1).toString()});
    for (const QList<QVariant>& arguments : previewSpy)
        result.previews.append(arguments.at(0).value<QImage>());
    result.log = log.take();
    return result;
}

void setMuxSettings(const QString& videoFormat, const QString& audioFormat, const QVariant& bitrate,
                    double fps, const QString& quality)
{
    using namespace settings;
    SettingsStore& store = SettingsStore::instance();
    store.setValue(kVideoGroup, kVideoFormat, videoFormat);
    store.setValue(kAudioGroup, kAudioFormat, audioFormat);
    store.setValue(kAudioGroup, kAudioBitrate, 128);
    store.setValue(kVideoGroup, kVideoBitrate, bitrate);
    store.setValue(kVideoGroup, kFps, fps);
    store.setValue(kVideoGroup, kQuality, quality);
    store.setValue(kVideoGroup, kUseHardwareEncoder, true);
}

int ScriptedAudioSource::packetSize()
{
    if (endless_)
        return (++looks_ % 2) ? 1024 : 0;
    return taken ? 0 : int(samples_.size() / 2);
}

bool ScriptedAudioSource::read(AudioPacket& packet)
{
    packet.silent = endless_;
    packet.frames = endless_ ? 1024 : taken ? 0 : int(samples_.size() / 2);
    packet.data.resize(endless_ || taken ? 0 : samples_.size() * sizeof(float));
    if (!packet.data.empty())
        std::memcpy(packet.data.data(), samples_.data(), packet.data.size());
    taken = true;
    return true;
}

} // namespace testsupport
