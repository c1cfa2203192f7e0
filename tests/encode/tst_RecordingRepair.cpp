// Recordings whose writer died mid-way, rebuilt from their journal with the
// file torn at random byte offsets; and a writer whose disk fails.
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "encode/RecordingJournal.h"
#include "encode/RecordingRepair.h"
#include "encode/mux_thread_win.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "support/MediaProbe.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

extern "C" {
#include <libavformat/avformat.h>
}

using testsupport::MediaProbe;

namespace {

constexpr int kRate = 15;
constexpr std::int64_t kIntervalUs = 1000000 / kRate;

// Video frames [from, to) of noise, which compresses badly and so fills the
// file, each with the silent sound of its time.
void feed(FrameQueue& queue, int from, int to)
{
    for (int n = from; n < to; ++n) {
        AVFrame* picture = av_frame_alloc();
        picture->format = AV_PIX_FMT_BGRA;
        picture->width = 320;
        picture->height = 240;
        QVERIFY(av_frame_get_buffer(picture, 0) >= 0);
        QRandomGenerator noise(n);
        noise.fillRange(reinterpret_cast<quint32*>(picture->data[0]),
                        picture->linesize[0] * picture->height / 4);
        picture->pts = n * kIntervalUs;
        setFrameDuration(picture, kIntervalUs);
        queue.push({makeSharedFrame(picture), false, 0});
        for (std::int64_t s = n * 48000LL / kRate / 1024; s < (n + 1) * 48000LL / kRate / 1024;
             ++s) {
            AVFrame* sound = av_frame_alloc();
            sound->format = AV_SAMPLE_FMT_FLTP;
            sound->sample_rate = 48000;
            sound->nb_samples = 1024;
            av_channel_layout_default(&sound->ch_layout, 2);
            QVERIFY(av_frame_get_buffer(sound, 0) >= 0);
            av_samples_set_silence(sound->data, 0, 1024, 2, AV_SAMPLE_FMT_FLTP);
            sound->pts = s * 1024;
            queue.push({makeSharedFrame(sound), true, std::int32_t(s + 1)});
        }
    }
}

// Where each video packet of a complete file ends, as its demuxer places them.
QList<std::int64_t> videoPacketEnds(const QString& path)
{
    QList<std::int64_t> ends;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.toUtf8().constData(), nullptr, nullptr) < 0)
        return ends;
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        if (input->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            ends.append(packet->pos + packet->size);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return ends;
}

void resize(const QString& path, qint64 size)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite) && file.resize(size));
}

} // namespace

class tst_RecordingRepair : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        qRegisterMetaType<MSG_TYPE>("MSG_TYPE");
        using namespace settings;
        SettingsStore& store = SettingsStore::instance();
        store.setValue(kVideoGroup, kVideoFormat, QString::fromLatin1(kFormatMp4));
        store.setValue(kAudioGroup, kAudioFormat, QStringLiteral("AAC"));
        store.setValue(kVideoGroup, kVideoBitrate, 6000);
        store.setValue(kVideoGroup, kFps, kRate);
        store.setValue(kVideoGroup, kUseHardwareEncoder, false);
    }

    // The state a kill leaves after six seconds (the journal, then the file, as
    // they are on the disk at that moment), torn again at random offsets: every
    // packet the journal names that is inside the file comes back, in a file that
    // plays, picture and sound together.
    void tornRecordingsAreRebuilt()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid() && QDir(dir.path()).mkdir("crash") && QDir(dir.path()).mkdir("torn"));
        const QString path = dir.filePath("clean.mp4");
        const QString crash = dir.filePath("crash/crash.mp4");
        FrameQueue queue(4096);
        mux_thread_win mux(&queue);
        mux.outputWidth = 320;
        mux.outputHeight = 240;
        mux.init(path, true);
        mux.start();
        feed(queue, 0, 6 * kRate);
        const QString journal = RecordingJournal::pathFor(path);
        QTRY_VERIFY(queue.size() == 0 && QFileInfo(journal).size() > 5000);
        QVERIFY(QFile::copy(journal, RecordingJournal::pathFor(crash)) && QFile::copy(path, crash));
        feed(queue, 6 * kRate, 8 * kRate);
        queue.close();
        QVERIFY(mux.wait(60000));
        // A clean stop: an ordinary MP4, its journal gone.
        QVERIFY(!QFile::exists(journal));
        QCOMPARE(RecordingRepair::repairFile(path), RecordingRepair::Outcome::NotNeeded);
        const QList<std::int64_t> ends = videoPacketEnds(path);
        QCOMPARE(ends.size(), 8 * kRate);

        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        const qint64 crashSize = QFileInfo(crash).size();
        qsizetype whole = 0;
        for (int row = 0; row < 8; ++row) {
            const QString torn = dir.filePath(QStringLiteral("torn/%1.mp4").arg(row));
            const qint64 size = row == 0 ? crashSize : random.bounded(crashSize / 4, crashSize);
            QVERIFY(QFile::copy(crash, torn) &&
                    QFile::copy(RecordingJournal::pathFor(crash), RecordingJournal::pathFor(torn)));
            resize(torn, size);
            // Odd rows also tear the journal's last record.
            const qint64 journalSize = QFileInfo(RecordingJournal::pathFor(torn)).size();
            if (row % 2)
                resize(RecordingJournal::pathFor(torn), journalSize - random.bounded(1, 56));
            const auto why = QStringLiteral("row %1, seed %2, %3 of %4 bytes")
                                 .arg(row)
                                 .arg(seed)
                                 .arg(size)
                                 .arg(crashSize);
            if (row == 0)
                QCOMPARE(RecordingRepair::repairAll(dir.filePath("torn")), QStringList{torn});
            else
                QCOMPARE(RecordingRepair::repairFile(torn), RecordingRepair::Outcome::Repaired);
            QVERIFY(!QFile::exists(RecordingJournal::pathFor(torn)));

            MediaProbe probe;
            QVERIFY2(probe.open(torn), qPrintable(why + probe.errorString()));
            const auto frames = probe.decodeVideo();
            // Nothing but the last two seconds before the kill is lost.
            if (row == 0)
                QVERIFY2((whole = frames.size()) >= 4 * kRate, qPrintable(why));
            const auto inside = std::count_if(ends.begin(), ends.end(),
                                              [size](std::int64_t end) { return end <= size; });
            const auto expected = std::min<qsizetype>(whole, inside);
            QVERIFY2(
                frames.size() == expected || (row % 2 && frames.size() == expected - 1),
                qPrintable(
                    why +
                    QStringLiteral(": %1 frames, %2 expected").arg(frames.size()).arg(expected)));
            for (qsizetype i = 1; i < frames.size(); ++i)
                QVERIFY2(frames[i].seconds - frames[i - 1].seconds < 1.5 / kRate, qPrintable(why));
            const double sound = double(probe.decodeAudio().totalSamples) / 48000;
            QVERIFY2(std::abs(sound - double(frames.size()) / kRate) < 0.3,
                     qPrintable(why + QStringLiteral(": %1 s of sound").arg(sound)));
        }
    }

    // A disk that fills up: one message naming the cause ends the recording; once there is room
    // again, the repair makes what was written play.
    void fullDiskReportsOnceAndIsRepaired()
    {
        QTemporaryDir dir;
        const auto mount = [&dir](const QString& options) {
            return QProcess::execute("mount", {"-t", "tmpfs", "-o", options, "tmpfs", dir.path()});
        };
        if (mount("size=2m") != 0)
            QSKIP("a small file system to fill needs root");
        const QString path = dir.filePath("full.mp4");
        FrameQueue queue(4096);
        mux_thread_win mux(&queue);
        QStringList errors;
        connect(
            &mux, &mux_thread_win::msgSignal, this,
            [&](MSG_TYPE type, const QString& text) {
                errors.append(type == MSG_ERROR ? text : QString());
            },
            Qt::DirectConnection);
        mux.outputWidth = 320;
        mux.outputHeight = 240;
        mux.init(path, true);
        mux.start();
        feed(queue, 0, 6 * kRate); // the loop leaves without waiting for the end of the queue
        QVERIFY(mux.wait(60000));
        errors.removeAll(QString());
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].contains("No space left on device") && errors[0].contains(path),
                 qPrintable(errors[0]));
        QCOMPARE(mount("remount,size=20m"), 0);
        QCOMPARE(RecordingRepair::repairFile(path), RecordingRepair::Outcome::Repaired);
        MediaProbe probe;
        QVERIFY2(probe.open(path) && probe.decodeVideo().size() >= kRate, qPrintable(path));
        QProcess::execute("umount", {dir.path()});
    }
};

QTEST_MAIN(tst_RecordingRepair)
#include "tst_RecordingRepair.moc"
