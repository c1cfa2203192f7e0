// Recordings whose writer died mid-way, rebuilt from their journal with the file torn at random
// byte offsets; planted links, other formats and hostile journals are refused.
#include "support/MediaProbe.h"
#include "support/TestSupport.h"

#include "encode/RecordingJournal.h"
#include "encode/RecordingRepair.h"
#include "encode/mux_thread_win.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "platform/posix/DiskSpace.h"

#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

extern "C" {
#include <libavformat/avformat.h>
}

#include <unistd.h>

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

constexpr int kPacket = 4096;

// One MJPEG stream killed before its trailer: head, then four packets, each named by the
// journal, and repeats more records naming the last one's bytes again. The writer still holds
// the journal.
std::unique_ptr<RecordingJournal> killedRecording(const QString& media, const QByteArray& head,
                                                  int width, int repeats)
{
    QFile file(media);
    if (!file.open(QIODevice::WriteOnly) || !file.write(head + QByteArray(4 * kPacket, 'x')))
        return nullptr;
    AVFormatContext* format = avformat_alloc_context();
    AVStream* stream = avformat_new_stream(format, nullptr);
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    stream->codecpar->width = width;
    stream->codecpar->height = 240;
    stream->time_base = {1, kRate};
    auto journal = std::make_unique<RecordingJournal>();
    AVPacket* packet = av_packet_alloc();
    packet->flags = AV_PKT_FLAG_KEY;
    const bool created = journal->create(media, *format);
    for (int n = 0; n < 4 + repeats; ++n) {
        packet->pts = packet->dts = n;
        journal->add(*packet, head.size() + std::min(n, 3) * kPacket, kPacket);
    }
    av_packet_free(&packet);
    avformat_free_context(format);
    return created && journal->commit() ? std::move(journal) : nullptr;
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
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("torn"));
        const QString path = dir.filePath("clean.mp4");
        const QString crash = dir.filePath("crash.mp4");
        const auto journalOf = &RecordingJournal::pathFor;
        FrameQueue queue(4096);
        mux_thread_win mux(&queue);
        mux.outputWidth = 320;
        mux.outputHeight = 240;
        mux.init(testsupport::recordingSettings({{"VideoSett/fps", kRate}}).mux, path, false);
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

    // What another program or user may leave in the folder: nothing is written through a link,
    // read through one or read as another format; the new file stays within the damaged one's
    // bytes and an index; a journal still written, another user's file or one that would not fit
    // is left alone, a failed one is tried once.
    void hostileFilesAreRefused_data()
    {
        using O = RecordingRepair::Outcome;
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("repeats");
        QTest::addColumn<O>("outcome");
        QTest::newRow("output is a link") << 320 << 0 << O::Repaired;
        QTest::newRow("journal is a link") << 320 << 0 << O::Skipped;
        QTest::newRow("file is a link") << 320 << 0 << O::Skipped;
        QTest::newRow("file is a WAV") << 320 << 0 << O::Repaired;
        QTest::newRow("records repeat") << 320 << 3000 << O::Repaired;
        QTest::newRow("journal locked") << 320 << 0 << O::Skipped;
        QTest::newRow("journal is another user's") << 320 << 0 << O::Skipped;
        QTest::newRow("file is another user's") << 320 << 0 << O::Skipped;
        QTest::newRow("no room") << 320 << 0 << O::Skipped;
        QTest::newRow("repair fails") << 0 << 0 << O::Failed;
    }

    void hostileFilesAreRefused()
    {
        QFETCH(int, width);
        QFETCH(int, repeats);
        QFETCH(RecordingRepair::Outcome, outcome);
        const QByteArray row = QTest::currentDataTag();
        QTemporaryDir dir;
        const QString media = dir.filePath("x.mp4");
        const QString journalPath = RecordingJournal::pathFor(media);
        const QString elsewhere = dir.filePath("elsewhere");
        const QByteArray wav(
            "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\1\0\1\0\x40\x1f\0\0\x80\x3e\0\0\2\0\x10\0data"
            "\0\0\0\0",
            44);
        auto journal = killedRecording(media, row == "file is a WAV" ? wav : QByteArray(64, 0),
                                       width, repeats);
        QVERIFY(journal);
        if (row != "journal locked")
            journal.reset();
        const qint64 damagedSize = QFileInfo(media).size();
        const QString linked = row.startsWith("journal is") ? journalPath : media;
        if (row.endsWith("user's") && ::geteuid() != 0)
            QSKIP("Only root can give a file to another user.");
        QVERIFY(!row.endsWith("user's") || ::chown(QFile::encodeName(linked), 65534, 65534) == 0);
        platform::setFreeSpaceQuery([&](auto&) { return row == "no room" ? 4096 : 1LL << 40; });
        const auto restore = qScopeGuard([] { platform::setFreeSpaceQuery({}); });
        if (row.endsWith("is a link") && row != "output is a link")
            QVERIFY(QFile::rename(linked, elsewhere) && QFile::link(elsewhere, linked));
        if (row == "output is a link")
            QVERIFY(testsupport::writeFile(elsewhere, "keep") &&
                    QFile::link(elsewhere, media + ".repairing"));
        QCOMPARE(RecordingRepair::repairFile(media), outcome);
        QVERIFY(QFileInfo(media).size() <= damagedSize + 64 * 1024);
        QVERIFY(row != "output is a link" || testsupport::readFile(elsewhere) == "keep");
        QCOMPARE(QFileInfo(linked).isSymLink(),
                 row.endsWith("is a link") && row != "output is a link");
        QCOMPARE(QFile::exists(journalPath), outcome == RecordingRepair::Outcome::Skipped);
        journal.reset();
        if (outcome == RecordingRepair::Outcome::Failed) {
            QCOMPARE(RecordingRepair::repairFile(media), RecordingRepair::Outcome::NotNeeded);
            QVERIFY(QFile::exists(RecordingRepair::failedPathFor(journalPath)));
        }
    }
};

QTEST_MAIN(tst_RecordingRepair)
#include "tst_RecordingRepair.moc"
