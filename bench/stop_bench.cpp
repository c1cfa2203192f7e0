// What keeping a recording safe against crashes costs: one MP4 recording of the given media
// length at 6000 kbit/s, fed synthetic frames (noise, which the encoder cannot shrink below the
// bitrate) and silent sound as fast as the encoder takes them, with crash safety (the
// journal and a sync to the disk every media second) on or off.
//
// Usage: stop_bench <seconds> <output-folder> <on|off>
// Prints one line: crash_safety=<on|off> media_s=<n> file_mb=<n> journal_kb=<n> record_s=<n>
//                  speed=<media seconds per second> stop_ms=<n>

#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "encode/RecordingJournal.h"
#include "encode/mux_thread_win.h"
#include "recording/RecordingSettings.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

#include <cstdio>
#include <vector>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kRate = 30;
constexpr int kDistinctFrames = 16;

AVFrame* noise(int seed)
{
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = kWidth;
    frame->height = kHeight;
    if (av_frame_get_buffer(frame, 0) < 0)
        qFatal("no memory");
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(frame->data[0]),
                                     frame->linesize[0] * kHeight / 4);
    return frame;
}

AVFrame* silence(std::int64_t pts)
{
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = 48000;
    frame->nb_samples = 1024;
    av_channel_layout_default(&frame->ch_layout, 2);
    if (av_frame_get_buffer(frame, 0) < 0)
        qFatal("no memory");
    av_samples_set_silence(frame->data, 0, 1024, 2, AV_SAMPLE_FMT_FLTP);
    frame->pts = pts;
    return frame;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        std::fprintf(stderr, "usage: stop_bench <seconds> <output-folder> <on|off>\n");
        return 2;
    }
    const int seconds = QString::fromLocal8Bit(argv[1]).toInt();
    const QString path = QDir(QString::fromLocal8Bit(argv[2])).filePath("stop_bench.mp4");
    const bool journal = QByteArray(argv[3]) == "on";

    using namespace settings;
    SettingsStore& store = SettingsStore::instance();
    store.setValue(kVideoGroup, kVideoFormat, QString::fromLatin1(kFormatMp4));
    store.setValue(kAudioGroup, kAudioFormat, QStringLiteral("AAC"));
    store.setValue(kVideoGroup, kVideoBitrate, 6000);
    store.setValue(kVideoGroup, kFps, kRate);
    store.setValue(kVideoGroup, kQuality, QString::fromLatin1(kQualityHigh));
    store.setValue(kVideoGroup, kUseHardwareEncoder, false);

    std::vector<AVFrame*> pictures;
    for (int i = 0; i < kDistinctFrames; ++i)
        pictures.push_back(noise(i));

    FrameQueue queue;
    mux_thread_win mux(&queue);
    mux.outputWidth = kWidth;
    mux.outputHeight = kHeight;
    mux.init(RecordingSettings::fromStore(SettingsStore::instance()).mux, path, true);
    mux.crashSafe = journal;
    QElapsedTimer recording;
    recording.start();
    mux.start();
    std::int64_t samples = 0;
    for (std::int64_t n = 0; n < std::int64_t(seconds) * kRate; ++n) {
        AVFrame* picture = av_frame_clone(pictures[n % kDistinctFrames]);
        picture->pts = n * 1000000 / kRate;
        setFrameDuration(picture, 1000000 / kRate);
        queue.push({makeSharedFrame(picture), false, 0});
        for (; samples + 1024 <= (n + 1) * 48000 / kRate; samples += 1024)
            queue.push({makeSharedFrame(silence(samples)), true, std::int32_t(samples / 1024 + 1)});
    }
    // The stop starts once the encoder has taken everything, as a live recording's does.
    while (queue.size() > 0)
        QThread::msleep(1);
    const double recordSeconds = recording.elapsed() / 1000.0;
    const qint64 journalKb = QFileInfo(RecordingJournal::pathFor(path)).size() / 1024;
    QElapsedTimer stop;
    stop.start();
    queue.close();
    mux.wait();
    const qint64 stopMs = stop.elapsed();
    for (AVFrame* picture : pictures)
        av_frame_free(&picture);

    std::printf("crash_safety=%s media_s=%d file_mb=%.1f journal_kb=%lld record_s=%.1f speed=%.1f "
                "stop_ms=%lld\n",
                journal ? "on" : "off", seconds, QFileInfo(path).size() / 1e6, journalKb,
                recordSeconds, seconds / recordSeconds, stopMs);
    QFile::remove(path);
    return 0;
}
