// Recordings whose writer died mid-way, rebuilt from their journal with the file torn at random
// byte offsets.
#include "support/MediaProbe.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "encode/RecordingJournal.h"
#include "encode/RecordingRepair.h"
#include "encode/mux_thread_win.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

constexpr int kRate = 15;

// Frames [from, to) of noise, which the encoder cannot shrink: the file fills as a screen's would.
void feed(FrameQueue& queue, int from, int to)
{
    for (int n = from; n < to; ++n) {
        AVFrame* picture = av_frame_alloc();
        picture->format = AV_PIX_FMT_BGRA;
        picture->width = 320;
        picture->height = 240;
        QVERIFY(av_frame_get_buffer(picture, 0) >= 0);
        QRandomGenerator(n).fillRange(reinterpret_cast<quint32*>(picture->data[0]), 320 * 240);
        picture->pts = n * 1000000LL / kRate;
        setFrameDuration(picture, 1000000LL / kRate);
        queue.push({makeSharedFrame(picture), false, 0});
    }
}

// Where each video packet of a complete file ends, as its demuxer places them.
QList<std::int64_t> packetEnds(const QString& path)
{
    QList<std::int64_t> ends;
    AVFormatContext* input = nullptr;
    AVPacket* packet = av_packet_alloc();
    for (int ok = avformat_open_input(&input, path.toUtf8(), nullptr, nullptr);
         ok >= 0 && av_read_frame(input, packet) >= 0; av_packet_unref(packet))
        ends.append(packet->pos + packet->size);
    av_packet_free(&packet);
    avformat_close_input(&input);
    return ends;
}

} // namespace

class tst_RecordingRepair : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What a kill leaves after six seconds (the journal, then the file, as they are at that
    // moment), torn again at random offsets, odd rows with a torn last journal record too: every
    // packet the journal names inside the file comes back, in a file that plays.
    void tornRecordingsAreRebuilt()
    {
        testsupport::isolateUserFolders();
        SettingsStore::instance().setValue(settings::kVideoGroup, settings::kVideoBitrate, 6000);
        SettingsStore::instance().setValue(settings::kVideoGroup, settings::kFps, kRate);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("torn"));
        const QString path = dir.filePath("clean.mp4");
        const QString crash = dir.filePath("crash.mp4");
        const auto journalOf = &RecordingJournal::pathFor;
        FrameQueue queue(4096);
        mux_thread_win mux(&queue);
        mux.outputWidth = 320;
        mux.outputHeight = 240;
        mux.init(path, false);
        mux.start();
        feed(queue, 0, 6 * kRate);
        QTRY_VERIFY(queue.size() == 0 && QFileInfo(journalOf(path)).size() > 3000);
        QVERIFY(QFile::copy(journalOf(path), journalOf(crash)) && QFile::copy(path, crash));
        feed(queue, 6 * kRate, 8 * kRate);
        queue.close();
        QVERIFY(mux.wait(60000));
        // A clean stop leaves an ordinary MP4 and no journal.
        QVERIFY(!QFile::exists(journalOf(path)));
        QCOMPARE(RecordingRepair::repairFile(path), RecordingRepair::Outcome::NotNeeded);
        const QList<std::int64_t> ends = packetEnds(path);
        QCOMPARE(ends.size(), 8 * kRate);
        const quint32 seed = QRandomGenerator::global()->generate();
        QRandomGenerator random(seed);
        const qint64 crashSize = QFileInfo(crash).size();
        qsizetype whole = 0;
        for (int row = 0; row < 8; ++row) {
            const QString torn = dir.filePath(QStringLiteral("torn/%1.mp4").arg(row));
            const qint64 size = row == 0 ? crashSize : random.bounded(crashSize / 4, crashSize);
            QVERIFY(QFile::copy(crash, torn) && QFile::copy(journalOf(crash), journalOf(torn)));
            QVERIFY(QFile::resize(torn, size));
            if (row % 2)
                QVERIFY(QFile::resize(journalOf(torn),
                                      QFileInfo(journalOf(torn)).size() - random.bounded(1, 56)));
            const QString why = QString::asprintf("row %d, seed %u, %lld of %lld bytes: ", row,
                                                  seed, size, crashSize);
            if (row == 0)
                QCOMPARE(RecordingRepair::repairAll(dir.filePath("torn")), QStringList{torn});
            else
                QCOMPARE(RecordingRepair::repairFile(torn), RecordingRepair::Outcome::Repaired);
            QVERIFY(!QFile::exists(journalOf(torn)));
            testsupport::MediaProbe probe;
            QVERIFY2(probe.open(torn), qPrintable(why + probe.errorString()));
            const auto frames = probe.decodeVideo();
            if (row == 0)
                QVERIFY2((whole = frames.size()) >= 4 * kRate, qPrintable(why + "over 2 s lost"));
            const qsizetype inside =
                std::ranges::count_if(ends, [&](auto end) { return end <= size; });
            const qsizetype expected = std::min(whole, inside);
            QVERIFY2(frames.size() == expected || (row % 2 && frames.size() == expected - 1),
                     qPrintable(why + QString::number(frames.size())));
        }
    }
};

QTEST_MAIN(tst_RecordingRepair)
#include "tst_RecordingRepair.moc"
