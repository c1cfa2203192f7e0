#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "media/CaptureClockQpc.h"
#include "media/FrameDuration.h"
#include "capture/FramePacer.h"
#include "media/FrameQueue.h"
#include "media/VideoFramePool.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <set>

namespace {

// A pacer on a fake timeline: the capture clock and the steady clock read the same fake time, and
// every sleep moves that time on instead of waiting.
struct Rig
{
    explicit Rig(QString prefix = FramePacer::kSleepLogPrefix, bool withClock = true,
                 std::function<AVFrame*(const AVFrame*)> clone = {})
    {
        if (withClock)
            clock = std::make_shared<CaptureClockQpc>([this] { return clockUs; }, 1000000);
        FramePacer::Seams seams;
        seams.steadyNs = [this] { return steadyUs * 1000; };
        seams.sleepMs = [this](int ms) {
            sleeps.append(ms);
            clockUs += std::int64_t(ms) * 1000;
            steadyUs += std::int64_t(ms) * 1000;
            if (onSleep)
                onSleep(ms);
        };
        seams.sleepNs = [this](std::int64_t ns) {
            rateSleepsUs.append(ns / 1000);
            if (!rateSleepsTakeTime)
                return;
            clockUs += ns / 1000 + oversleepUs;
            steadyUs += ns / 1000 + oversleepUs;
        };
        seams.cloneFrame = std::move(clone);
        pacer = std::make_unique<FramePacer>(&queue, clock, prefix, stop, paused, seams);
    }

    void setTime(std::int64_t us)
    {
        clockUs = us;
        steadyUs = us;
    }

    // A small BGRA image with a recognisable first pixel.
    SharedFrame image(std::uint8_t mark = 0x5a)
    {
        SharedFrame frame = pool.acquire(8, 4);
        frame->data[0][0] = mark;
        return frame;
    }

    QList<SharedFrame> drain()
    {
        QList<SharedFrame> frames;
        FrameQueueItem item;
        while (queue.size() > 0 && queue.pop(item)) {
            if (item.isAudio)
                return {};
            frames.append(item.frame);
        }
        return frames;
    }

    std::int64_t clockUs = 0;
    std::int64_t steadyUs = 0;
    QList<int> sleeps;
    QList<qint64> rateSleepsUs;
    // How much longer than asked each rate sleep takes, as a real sleep does.
    std::int64_t oversleepUs = 0;
    bool rateSleepsTakeTime = true;
    std::function<void(int)> onSleep;
    FrameQueue queue;
    std::atomic<bool> stop{false};
    std::atomic<bool> paused{false};
    std::shared_ptr<CaptureClockQpc> clock;
    VideoFramePool pool;
    std::unique_ptr<FramePacer> pacer;
};

FrameQueueItem fillerItem()
{
    return FrameQueueItem{makeSharedFrame(av_frame_alloc()), false, 0};
}

} // namespace

class tst_FramePacer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }

    void frameRateSettingGivesIntervals_data()
    {
        QTest::addColumn<QVariant>("setting");
        QTest::addColumn<int>("fps");
        QTest::addColumn<int>("intervalMs");
        QTest::addColumn<int>("intervalUs");
        QTest::newRow("15") << QVariant("15") << 15 << 66 << 66666;
        QTest::newRow("60") << QVariant("60") << 60 << 16 << 16666;
        QTest::newRow("absent") << QVariant() << 15 << 66 << 66666;
        QTest::newRow("0 would divide by zero") << QVariant("0") << 15 << 66 << 66666;
        QTest::newRow("beyond 1 ms frames") << QVariant("5000") << 1000 << 1 << 1000;
    }
    void frameRateSettingGivesIntervals()
    {
        QFETCH(QVariant, setting);
        QFETCH(int, fps);
        QFETCH(int, intervalMs);
        QFETCH(int, intervalUs);
        SettingsStore& store = SettingsStore::instance();
        if (setting.isValid()) {
            store.setValue(settings::kVideoGroup, settings::kFps, setting);
        } else {
            // QSettings objects on one file share their state, so this removes it for the store.
            QSettings(store.fileName(), QSettings::IniFormat)
                .remove(QString(settings::kVideoGroup) + "/" + settings::kFps);
            QVERIFY(!store.value(settings::kVideoGroup, settings::kFps).isValid());
        }
        Rig rig;
        rig.pacer->begin();
        QCOMPARE(rig.pacer->fps(), fps);
        QCOMPARE(rig.pacer->frameIntervalMs(), intervalMs);
        QCOMPARE(rig.pacer->frameIntervalUs(), intervalUs);

        // The pts of a stream at that rate are multiples of the interval.
        for (int i = 0; i < 3; ++i) {
            rig.setTime(std::int64_t(i) * intervalUs);
            QCOMPARE(rig.pacer->submit(rig.image()), 1);
        }
        const QList<SharedFrame> frames = rig.drain();
        QCOMPARE(frames.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(qint64(frames[i]->pts), qint64(i) * intervalUs);
    }

    void encoderLagSlowsCaptureAndIsReportedOnce_data()
    {
        QTest::addColumn<QString>("prefix");
        QTest::newRow("texture capture") << QString(FramePacer::kSleepLogPrefix);
        QTest::newRow("GDI capture") << QString(FramePacer::kGdiSleepLogPrefix);
    }
    void encoderLagSlowsCaptureAndIsReportedOnce()
    {
        QFETCH(QString, prefix);
        Rig rig(prefix);
        for (int i = 0; i < 301; ++i)
            rig.queue.push(fillerItem());
        testsupport::LogCapture log;
        QStringList waits; // the wait lines so far
        const auto readLog = [&] { waits += log.take().filter(prefix); };
        QList<int> lagAtLogLine;
        connect(rig.pacer.get(), &FramePacer::encoderLagDetected, this, [&] {
            readLog();
            lagAtLogLine.append(waits.size());
        });

        // The encoder takes one item after a number of waits.
        int waitsUntilConsumed = 0;
        rig.onSleep = [&](int) {
            if (--waitsUntilConsumed == 0) {
                FrameQueueItem item;
                rig.queue.pop(item);
            }
            // A pacer that never stops waiting fails the test instead of hanging it.
            if (waitsUntilConsumed < -1000)
                rig.stop = true;
        };
        rig.pacer->begin(15);

        waitsUntilConsumed = 150;
        QCOMPARE(rig.pacer->submit(rig.image()), 1);
        QCOMPARE(rig.queue.size(), 301);
        QCOMPARE(rig.sleeps, QList<int>(150, 5));
        QStringList expected;
        for (int n = 1; n <= 150; ++n)
            expected << prefix + QString::number(n);
        readLog();
        QCOMPARE(waits, expected);
        QCOMPARE(lagAtLogLine, QList<int>{100});

        // A second long wait keeps counting but does not report again.
        rig.sleeps.clear();
        waitsUntilConsumed = 120;
        rig.setTime(66666);
        QCOMPARE(rig.pacer->submit(rig.image()), 1);
        QCOMPARE(rig.sleeps, QList<int>(120, 5));
        readLog();
        QCOMPARE(waits.size(), 270);
        QCOMPARE(waits.last(), prefix + "270");
        QCOMPARE(lagAtLogLine, QList<int>{100});
        QCOMPARE(rig.pacer->sleepCount(), 270);

        // Starting pacing again (a back-end restart) does not report the lag a second time.
        rig.pacer->begin(15);
        rig.setTime(0);
        rig.sleeps.clear();
        waitsUntilConsumed = 120;
        QCOMPARE(rig.pacer->submit(rig.image()), 1);
        QCOMPARE(lagAtLogLine, QList<int>{100});
    }

    void lagWaitEndsWhenRecordingEnds_data()
    {
        QTest::addColumn<bool>("closeQueue");
        QTest::newRow("stop requested") << false;
        QTest::newRow("queue closed") << true;
    }
    void lagWaitEndsWhenRecordingEnds()
    {
        QFETCH(bool, closeQueue);
        Rig rig;
        for (int i = 0; i < 301; ++i)
            rig.queue.push(fillerItem());
        rig.onSleep = [&](int) {
            if (rig.sleeps.size() == 10) {
                if (closeQueue)
                    rig.queue.close();
                else
                    rig.stop = true;
            }
        };
        rig.pacer->begin(15);
        rig.setTime(16 * 66666);
        QCOMPARE(rig.pacer->submit(rig.image()), 0);
        QCOMPARE(rig.sleeps.size(), 10);
        QCOMPARE(rig.queue.size(), 301);
    }

    // Every real sleep runs a little long; the loop must still keep up with the slots over a
    // long recording instead of falling behind by the sum of those extra bits.
    // Every real sleep runs a little long and grabs take varying time; the loop must still give
    // every slot its own image over a long recording.
    void everySlotGetsItsOwnImage_data()
    {
        QTest::addColumn<bool>("withClock");
        QTest::addColumn<int>("fps");
        QTest::addColumn<qint64>("oversleepUs");
        QTest::addColumn<qint64>("grabUs");
        QTest::addColumn<qint64>("jitterUs");
        QTest::newRow("60 fps, every tenth grab takes 25 ms")
            << true << 60 << qint64(300) << qint64(-25000) << qint64(0);
        QTest::newRow("no clock, 60 fps, 1 ms over")
            << false << 60 << qint64(1000) << qint64(12000) << qint64(0);
    }
    void everySlotGetsItsOwnImage()
    {
        QFETCH(bool, withClock);
        QFETCH(int, fps);
        QFETCH(qint64, oversleepUs);
        QFETCH(qint64, grabUs);
        QFETCH(qint64, jitterUs);
        Rig rig(FramePacer::kSleepLogPrefix, withClock);
        rig.oversleepUs = oversleepUs;
        rig.pacer->begin(fps);
        const int iterations = fps * 60;
        std::uint32_t random = 12345;
        for (int i = 0; i < iterations; ++i) {
            QVERIFY(rig.pacer->startIteration());
            random = random * 1103515245u + 12345u;
            // A negative grab time: 5 ms, and every tenth grab that long.
            qint64 grab = grabUs >= 0 ? grabUs : (i % 10 == 9 ? -grabUs : 5000);
            grab += jitterUs > 0 ? qint64(random >> 8) % jitterUs : 0;
            rig.clockUs += grab;
            rig.steadyUs += grab;
            rig.pacer->submit(rig.image());
            rig.pacer->finishIteration();
            rig.drain();
        }
        QCOMPARE(rig.pacer->repeatedSlots(), qint64(0));
        QCOMPARE(rig.pacer->framesPushed(), qint64(iterations));
    }

    void steadyLoopReportsItsRate()
    {
        Rig rig;
        QSignalSpy rate(rig.pacer.get(), &FramePacer::fpsSignal);
        rig.pacer->begin(15);
        int iterations = 0;
        while (rate.isEmpty() && iterations < 100) {
            QVERIFY(rig.pacer->startIteration());
            rig.pacer->submit(rig.image());
            rig.pacer->finishIteration();
            ++iterations;
        }
        // The first sleep reaches 200 us into slot 1, the others a slot each: 15 iterations
        // reach the second, 15 frames in 1.000 s.
        QCOMPARE(iterations, 15);
        QCOMPARE(rate.size(), 1);
        QCOMPARE(rate.first().first().toString(), QString("15"));
        QCOMPARE(rig.rateSleepsUs, QList<qint64>{66866} + QList<qint64>(14, 66666));
        const QList<SharedFrame> frames = rig.drain();
        QCOMPARE(frames.size(), 15);
        for (int i = 0; i < frames.size(); ++i)
            QCOMPARE(qint64(frames[i]->pts), qint64(i) * 66666);
    }

};

QTEST_GUILESS_MAIN(tst_FramePacer)
#include "tst_FramePacer.moc"
