#include "tabcapture/SoundPlacement.h"

#include <QtTest>

#include <algorithm>

using tabcapture::SoundPlacement;

class tst_SoundPlacement : public QObject
{
    Q_OBJECT

    static constexpr int kRate = 48000;
    static constexpr int kBlock = kRate / 100; // the browser's 10 ms blocks

private slots:
    // Three seconds of 10 ms blocks, the first stamped firstMs after the first picture, each
    // later one jitterMs off to alternate sides; from the hundredth block on the stamps move by
    // shiftMs, and dropCount blocks from the hundredth are missing. The track is built as the
    // recording builds it; what it gets is counted in ms.
    void placesBlocksOnATrack_data()
    {
        QTest::addColumn<int>("firstMs");
        QTest::addColumn<int>("jitterMs");
        QTest::addColumn<int>("shiftMs");
        QTest::addColumn<int>("dropCount");
        QTest::addColumn<int>("silenceMs");
        QTest::addColumn<int>("skippedMs");
        QTest::addColumn<int>("seamsAfterFirst");
        QTest::newRow("first block just after the first picture")
            << 15 << 0 << 0 << 0 << 15 << 0 << 0;
        QTest::newRow("first block before it") << -15 << 0 << 0 << 0 << 0 << 15 << 0;
        QTest::newRow("jittering stamps") << 0 << 3 << 0 << 0 << 0 << 0 << 0;
        QTest::newRow("stamps settle later") << 0 << 2 << 8 << 0 << 8 << 0 << 1;
        QTest::newRow("stamps settle earlier") << 0 << 2 << -8 << 0 << 0 << 8 << 1;
        QTest::newRow("blocks dropped") << 0 << 0 << 0 << 20 << 200 << 0 << 1;
        QTest::newRow("blocks sent twice") << 0 << 0 << -30 << 0 << 0 << 30 << 1;
        QTest::newRow("a gap past belief") << 0 << 0 << 6000 << 0 << 0 << 0 << 0;
        QTest::newRow("a stamp from long before") << 0 << 0 << -6000 << 0 << 0 << 0 << 0;
    }
    void placesBlocksOnATrack()
    {
        QFETCH(int, firstMs);
        QFETCH(int, jitterMs);
        QFETCH(int, shiftMs);
        QFETCH(int, dropCount);
        QFETCH(int, silenceMs);
        QFETCH(int, skippedMs);
        QFETCH(int, seamsAfterFirst);
        SoundPlacement placement(kRate);
        std::int64_t written = 0, silence = 0, skipped = 0;
        int seams = 0;
        for (int i = 0; i < 300; ++i) {
            if (i >= 100 && i < 100 + dropCount)
                continue;
            const int jitter = i == 0 ? 0 : (i % 2 ? jitterMs : -jitterMs);
            const std::int64_t dueMs = firstMs + i * 10 + jitter + (i >= 100 ? shiftMs : 0);
            const SoundPlacement::Step step = placement.place(dueMs * 1000, written, kBlock);
            // A skip that goes on into the next blocks is one seam in the sound.
            seams += i > 0 && step.movedUs != 0;
            silence += step.silence;
            skipped += step.skip;
            written += step.silence + kBlock - step.skip;
        }
        QCOMPARE(silence * 1000 / kRate, silenceMs);
        QCOMPARE(skipped * 1000 / kRate, skippedMs);
        QCOMPARE(seams, seamsAfterFirst);
    }
};

QTEST_MAIN(tst_SoundPlacement)
#include "tst_SoundPlacement.moc"
