#include "media/CaptureClockQpc.h"
#include "media/FrameQueue.h"

#include <QtTest>
#include <QThread>

class tst_FrameQueue : public QObject
{
    Q_OBJECT

private:
    static FrameQueueItem videoItem(int64_t pts)
    {
        AVFrame* f = av_frame_alloc();
        f->pts = pts;
        return FrameQueueItem{makeSharedFrame(f), false, 0};
    }

private Q_SLOTS:
    void closeDeliversQueuedItemsThenEnds_data()
    {
        QTest::addColumn<int>("queued");
        QTest::newRow("empty") << 0;
        QTest::newRow("one") << 1;
        QTest::newRow("twenty") << 20;
    }
    void closeDeliversQueuedItemsThenEnds()
    {
        QFETCH(int, queued);
        FrameQueue queue;
        for (int i = 0; i < queued; ++i)
            queue.push(videoItem(i));
        queue.close();
        FrameQueueItem item;
        for (int i = 0; i < queued; ++i) {
            QVERIFY(queue.pop(item));
            QCOMPARE(item.frame->pts, int64_t(i));
        }
        QVERIFY(!queue.pop(item));
    }

    // Video and audio threads end one after the other; what the later one pushes while ending
    // still reaches the consumer.
    void closesWhenTheLastProducerFinishes_data()
    {
        QTest::addColumn<int>("producers");
        QTest::addColumn<bool>("openAfterFirst");
        QTest::newRow("none set: first finish closes") << 0 << false;
        QTest::newRow("one") << 1 << false;
        QTest::newRow("two") << 2 << true;
    }
    void closesWhenTheLastProducerFinishes()
    {
        QFETCH(int, producers);
        QFETCH(bool, openAfterFirst);
        FrameQueue queue;
        queue.setProducers(producers);
        queue.push(videoItem(1));
        queue.producerFinished();
        QCOMPARE(queue.isClosed(), !openAfterFirst);
        queue.push(videoItem(2));
        queue.producerFinished();
        QVERIFY(queue.isClosed());
        FrameQueueItem item;
        QList<int64_t> popped;
        while (queue.pop(item))
            popped.append(item.frame->pts);
        const QList<int64_t> expected = openAfterFirst ? QList<int64_t>{1, 2} : QList<int64_t>{1};
        QCOMPARE(popped, expected);
    }

    void fullQueueBlocksProducerUntilPop()
    {
        FrameQueue queue(2);
        queue.push(videoItem(0));
        queue.push(videoItem(1));
        std::atomic<bool> pushed{false};
        QThread* producer = QThread::create([&] {
            queue.push(videoItem(2));
            pushed = true;
        });
        producer->start();
        QVERIFY(!producer->wait(100));
        QVERIFY(!pushed);
        FrameQueueItem item;
        QVERIFY(queue.pop(item));
        QVERIFY(producer->wait(5000));
        QVERIFY(pushed);
        QCOMPARE(queue.size(), 2);
        delete producer;
    }


    // A paused stretch is left out of the recording's time, for readers of either form.
    void clockLeavesOutPauses()
    {
        std::int64_t ticks = 100;
        CaptureClockQpc clock([&ticks] { return ticks; }, 1000);
        clock.restart();
        ticks += 1000;
        clock.pause();
        ticks += 5000;
        QCOMPARE(clock.elapsedMicroseconds(), 1000000);
        clock.resume();
        ticks += 500;
        QCOMPARE(clock.elapsedMicroseconds(), 1500000);
        QCOMPARE(clock.currentTicks() - clock.startTicks, 1500);
    }
};

QTEST_GUILESS_MAIN(tst_FrameQueue)
#include "tst_FrameQueue.moc"
