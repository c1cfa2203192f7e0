#include "media/CaptureClockQpc.h"
#include "media/FrameQueue.h"

#include <QtTest>
#include <QThread>

#include <numeric>

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
    // Video and audio threads end one after the other; what was queued, and what the later one
    // pushes while ending, still reaches the consumer in order before its reads end.
    void closesWhenTheLastProducerFinishes_data()
    {
        QTest::addColumn<int>("producers");
        QTest::addColumn<int>("queued"); // before the first finish
        QTest::newRow("none set: first finish closes, nothing queued") << 0 << 0;
        QTest::newRow("one, twenty queued") << 1 << 20;
        QTest::newRow("two") << 2 << 1;
    }
    void closesWhenTheLastProducerFinishes()
    {
        QFETCH(int, producers);
        QFETCH(int, queued);
        FrameQueue queue;
        queue.setProducers(producers);
        for (int i = 0; i < queued; ++i)
            queue.push(videoItem(i));
        queue.producerFinished();
        QCOMPARE(queue.isClosed(), producers < 2);
        queue.push(videoItem(queued)); // dropped once closed
        queue.producerFinished();
        QVERIFY(queue.isClosed());
        QList<int64_t> popped;
        for (FrameQueueItem item; queue.pop(item);)
            popped.append(item.frame->pts);
        QList<int64_t> expected(producers < 2 ? queued : queued + 1);
        std::iota(expected.begin(), expected.end(), 0);
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
