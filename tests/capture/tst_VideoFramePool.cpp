#include "media/VideoFramePool.h"

#include <QtTest>

#include <cstring>

class tst_VideoFramePool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sizeChangeKeepsQueuedFramesValid()
    {
        SharedFrame old;
        SharedFrame resized;
        {
            VideoFramePool pool;
            old = pool.acquire(16, 16);
            QVERIFY(old);
            std::memset(old->data[0], 0x11, 16 * 16 * 4);
            resized = pool.acquire(32, 8);
            QVERIFY(resized);
            QCOMPARE(resized->width, 32);
            QCOMPARE(pool.width(), 32);
            QCOMPARE(pool.height(), 8);
        }
        // Frames still in the queue outlive the pool that made them.
        QCOMPARE(old->data[0][16 * 16 * 4 - 1], std::uint8_t(0x11));
        std::memset(resized->data[0], 0x22, 32 * 8 * 4);
        AVFrame* clone = av_frame_clone(resized.get());
        QVERIFY(clone);
        resized.reset();
        QCOMPARE(clone->data[0][0], std::uint8_t(0x22));
        av_frame_free(&clone);
    }

    void unusableSizeGivesNoFrame_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::newRow("zero width") << 0 << 10;
        QTest::newRow("negative height") << 10 << -1;
    }
    void unusableSizeGivesNoFrame()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        VideoFramePool pool;
        QTest::ignoreMessage(QtWarningMsg, "Failed to allocate AVFrame buffer.");
        QVERIFY(!pool.acquire(width, height));
        // The pool recovers with a usable size.
        QVERIFY(pool.acquire(4, 4));
    }
};

QTEST_GUILESS_MAIN(tst_VideoFramePool)
#include "tst_VideoFramePool.moc"
