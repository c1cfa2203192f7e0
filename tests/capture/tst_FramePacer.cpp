#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "media/CaptureClockQpc.h"
#include "media/FrameDuration.h"
#include "capture/FramePacer.h"
#include "media/FrameQueue.h"
#include "media/VideoFramePool.h"
#include "support/TestSupport.h"

#include <QSettings>
#include <QSignalSpy>
#include <QtTest>

#include <set>

namespace {

// Collects warnings while alive, so tests can read the log lines they cause.
class WarningLog
{
public:
    WarningLog()
    {
        current_ = &lines;
        previous_ = qInstallMessageHandler(&WarningLog::handle);
    }
    ~WarningLog()
    {
        qInstallMessageHandler(previous_);
        current_ = nullptr;
    }
    QStringList lines;

private:
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (type == QtWarningMsg && current_)
            current_->append(text);
    }
    static inline QStringList* current_ = nullptr;
    QtMessageHandler previous_ = nullptr;
};

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
        QTest::newRow("29.97 is truncated") << QVariant("29.97") << 29 << 34 << 34482;
        QTest::newRow("60") << QVariant("60") << 60 << 16 << 16666;
        QTest::newRow("30 as a number") << QVariant(30) << 30 << 33 << 33333;
        QTest::newRow("absent") << QVariant() << 15 << 66 << 66666;
        QTest::newRow("0 would divide by zero") << QVariant("0") << 15 << 66 << 66666;
        QTest::newRow("not a number") << QVariant("fast") << 15 << 66 << 66666;
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
        WarningLog log;
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

    void slotsFollowTheCaptureClock_data()
    {
        QTest::addColumn<int>("fps");
        QTest::addColumn<bool>("withClock");
        QTest::addColumn<QList<qint64>>("arrivalsUs");
        QTest::addColumn<QList<int>>("slotCounts");
        // Slots filled with a repeated image, and how many of those came before the first image.
        QTest::addColumn<int>("repeated");
        QTest::addColumn<int>("leadIn");
        QTest::newRow("on time") << 15 << true << QList<qint64>{0, 66666, 133332, 199998}
                                 << QList<int>{1, 1, 1, 1} << 0 << 0;
        QTest::newRow("running ahead takes consecutive slots")
            << 15 << true << QList<qint64>{0, 1000, 2000, 3000} << QList<int>{1, 1, 1, 1} << 0 << 0;
        QTest::newRow("stall of 1 s at 15 fps")
            << 15 << true << QList<qint64>{0, 16 * 66666} << QList<int>{1, 15} << 14 << 0;
        QTest::newRow("stall of 0.5 s at 60 fps")
            << 60 << true << QList<qint64>{0, 500000} << QList<int>{1, 29} << 28 << 0;
        QTest::newRow("ahead, then the clock catches up at 29.97 fps")
            << 29 << true << QList<qint64>{0, 0, 0, 5 * 34482} << QList<int>{1, 1, 1, 2} << 1 << 0;
        QTest::newRow("first image late")
            << 15 << true << QList<qint64>{200000} << QList<int>{3} << 2 << 2;
        QTest::newRow("late first image and a stall")
            << 15 << true << QList<qint64>{140000, 400000} << QList<int>{2, 4} << 4 << 1;
        QTest::newRow("without a clock every image takes one slot")
            << 15 << false << QList<qint64>{0, 1000000, 5000000} << QList<int>{1, 1, 1} << 0 << 0;
    }
    void slotsFollowTheCaptureClock()
    {
        QFETCH(int, fps);
        QFETCH(bool, withClock);
        QFETCH(QList<qint64>, arrivalsUs);
        QFETCH(QList<int>, slotCounts);
        QFETCH(int, repeated);
        QFETCH(int, leadIn);
        Rig rig(FramePacer::kSleepLogPrefix, withClock);
        rig.pacer->begin(fps);
        QList<int> pushed;
        for (qint64 at : arrivalsUs) {
            rig.setTime(at);
            pushed.append(rig.pacer->submit(rig.image()));
        }
        QCOMPARE(pushed, slotCounts);

        int total = 0;
        for (int n : slotCounts)
            total += n;
        const QList<SharedFrame> frames = rig.drain();
        QCOMPARE(frames.size(), total);
        const int intervalUs = 1000000 / fps;
        for (int i = 0; i < total; ++i) {
            QCOMPARE(qint64(frames[i]->pts), qint64(i) * intervalUs);
            QCOMPARE(qint64(frameDuration(frames[i].get())), qint64(intervalUs));
        }
        QCOMPARE(qint64(rig.pacer->nextFrameIndex()), qint64(total));
        QCOMPARE(qint64(rig.pacer->framesPushed()), qint64(total));
        QCOMPARE(qint64(rig.pacer->repeatedSlots()), qint64(repeated));
        QCOMPARE(qint64(rig.pacer->leadInSlots()), qint64(leadIn));
    }

    void repeatedSlotsShareTheImageBuffer()
    {
        Rig rig;
        rig.pacer->begin(15);
        QCOMPARE(rig.pacer->submit(rig.image(0x11)), 1);
        rig.drain();

        // The capture stalls for a second; the next image fills every slot it missed.
        rig.setTime(16 * 66666);
        SharedFrame image = rig.image(0x22);
        const AVFrame* submitted = image.get();
        const AVBufferRef* imageBuffer = image->buf[0];
        const std::uint8_t* pixels = image->data[0];
        const void* sharedBuffer = imageBuffer->buffer;
        QCOMPARE(rig.pacer->submit(std::move(image)), 15);

        const QList<SharedFrame> frames = rig.drain();
        QCOMPARE(frames.size(), 15);
        std::set<const AVFrame*> distinct;
        for (int i = 0; i < frames.size(); ++i) {
            const AVFrame* f = frames[i].get();
            distinct.insert(f);
            QCOMPARE(f->data[0], pixels);
            QVERIFY(f->buf[0]);
            QCOMPARE(static_cast<const void*>(f->buf[0]->buffer), sharedBuffer);
            QCOMPARE(f->data[0][0], std::uint8_t(0x22));
            QCOMPARE(f->width, 8);
            QCOMPARE(f->height, 4);
            QCOMPARE(f->format, int(AV_PIX_FMT_BGRA));
            QCOMPARE(qint64(f->pts), qint64(i + 1) * 66666);
            QCOMPARE(qint64(frameDuration(f)), qint64(66666));
        }
        QCOMPARE(distinct.size(), size_t(15));
        // The last slot is the captured frame itself, the earlier ones its clones.
        QCOMPARE(frames.last().get(), submitted);
    }

    void failedDuplicateCostsOnlyItsSlot()
    {
        int clones = 0;
        Rig rig(FramePacer::kSleepLogPrefix, true, [&clones](const AVFrame* f) -> AVFrame* {
            return ++clones == 2 ? nullptr : av_frame_clone(f);
        });
        WarningLog log;
        rig.pacer->begin(15);
        rig.pacer->submit(rig.image());
        rig.setTime(16 * 66666);
        QCOMPARE(rig.pacer->submit(rig.image()), 14);
        QCOMPARE(log.lines, QStringList{"Failed to allocate duplicate AVFrame."});
        QCOMPARE(qint64(rig.pacer->nextFrameIndex()), qint64(15));

        // Nothing advanced for the lost slot, so the stream has no gap and the next image makes
        // up for it.
        QCOMPARE(rig.pacer->submit(rig.image()), 1);
        const QList<SharedFrame> frames = rig.drain();
        QCOMPARE(frames.size(), 16);
        for (int i = 0; i < frames.size(); ++i)
            QCOMPARE(qint64(frames[i]->pts), qint64(i) * 66666);
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
        WarningLog log;
        QList<int> lagAtLogLine;
        connect(rig.pacer.get(), &FramePacer::encoderLagDetected, this,
                [&] { lagAtLogLine.append(log.lines.size()); });

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
        QCOMPARE(log.lines, expected);
        QCOMPARE(lagAtLogLine, QList<int>{100});

        // A second long wait keeps counting but does not report again.
        rig.sleeps.clear();
        waitsUntilConsumed = 120;
        rig.setTime(66666);
        QCOMPARE(rig.pacer->submit(rig.image()), 1);
        QCOMPARE(rig.sleeps, QList<int>(120, 5));
        QCOMPARE(log.lines.size(), 270);
        QCOMPARE(log.lines.last(), prefix + "270");
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
        WarningLog log;
        rig.pacer->begin(15);
        rig.setTime(16 * 66666);
        QCOMPARE(rig.pacer->submit(rig.image()), 0);
        QCOMPARE(rig.sleeps.size(), 10);
        QCOMPARE(rig.queue.size(), 301);
    }

    // With the recording's clock the loop wakes 200 us into the next slot; without one, a frame
    // interval after the iteration began.
    void endOfIterationSleepHoldsTheRate_data()
    {
        QTest::addColumn<bool>("withClock");
        QTest::addColumn<int>("fps");
        QTest::addColumn<qint64>("iterationUs");
        QTest::addColumn<QList<qint64>>("sleeps");
        QTest::newRow("clock, slot start, 15 fps")
            << true << 15 << qint64(0) << QList<qint64>{66866};
        QTest::newRow("clock, 10.9 ms in") << true << 15 << qint64(10900) << QList<qint64>{55966};
        QTest::newRow("clock, end of the slot")
            << true << 15 << qint64(66665) << QList<qint64>{201};
        QTest::newRow("clock, next slot begun")
            << true << 15 << qint64(66666) << QList<qint64>{66866};
        QTest::newRow("clock, 29.97 fps") << true << 29 << qint64(0) << QList<qint64>{34682};
        QTest::newRow("clock, 16.9 ms at 60 fps")
            << true << 60 << qint64(16999) << QList<qint64>{16533};
        QTest::newRow("instant at 15 fps") << false << 15 << qint64(0) << QList<qint64>{66666};
        QTest::newRow("10.9 ms at 15 fps") << false << 15 << qint64(10900) << QList<qint64>{55766};
        QTest::newRow("just under the interval")
            << false << 15 << qint64(66665) << QList<qint64>{1};
        QTest::newRow("exactly the interval") << false << 15 << qint64(66666) << QList<qint64>{};
        QTest::newRow("slower than the rate") << false << 15 << qint64(150000) << QList<qint64>{};
        QTest::newRow("5 ms at 60 fps") << false << 60 << qint64(5000) << QList<qint64>{11666};
        QTest::newRow("16.9 ms at 60 fps") << false << 60 << qint64(16999) << QList<qint64>{};
    }
    void endOfIterationSleepHoldsTheRate()
    {
        QFETCH(bool, withClock);
        QFETCH(int, fps);
        QFETCH(qint64, iterationUs);
        QFETCH(QList<qint64>, sleeps);
        Rig rig(FramePacer::kSleepLogPrefix, withClock);
        rig.pacer->begin(fps);
        QVERIFY(rig.pacer->startIteration());
        rig.setTime(rig.steadyUs + iterationUs);
        rig.pacer->finishIteration();
        QCOMPARE(rig.rateSleepsUs, sleeps);
        QVERIFY(rig.sleeps.isEmpty());
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
        QTest::newRow("60 fps, 0.4 ms over")
            << true << 60 << qint64(400) << qint64(5000) << qint64(0);
        QTest::newRow("60 fps, 1 ms over, 12 ms grabs")
            << true << 60 << qint64(1000) << qint64(12000) << qint64(0);
        QTest::newRow("60 fps, grabs of 3 to 13 ms")
            << true << 60 << qint64(300) << qint64(3000) << qint64(10000);
        QTest::newRow("60 fps, every tenth grab takes 25 ms")
            << true << 60 << qint64(300) << qint64(-25000) << qint64(0);
        QTest::newRow("30 fps, 1.5 ms over, 20 ms grabs")
            << true << 30 << qint64(1500) << qint64(20000) << qint64(0);
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

    void rateDisplayCountsEverySlot_data()
    {
        QTest::addColumn<int>("slotCount");
        QTest::addColumn<int>("elapsedMs");
        QTest::addColumn<QString>("text");
        QTest::newRow("15 in 1 s") << 15 << 1000 << "15";
        QTest::newRow("31 in 1033 ms") << 31 << 1033 << "30";
        QTest::newRow("29 in 1001 ms is truncated") << 29 << 1001 << "28";
        QTest::newRow("nothing in 2 s") << 0 << 2000 << "0";
        QTest::newRow("999 ms is too early") << 15 << 999 << "";
    }
    void rateDisplayCountsEverySlot()
    {
        QFETCH(int, slotCount);
        QFETCH(int, elapsedMs);
        QFETCH(QString, text);
        Rig rig;
        rig.rateSleepsTakeTime = false;
        QSignalSpy rate(rig.pacer.get(), &FramePacer::fpsSignal);
        rig.pacer->begin(15);
        // One image that fills slotCount slots, in an iteration longer than the frame interval.
        rig.setTime(std::int64_t(elapsedMs - 100) * 1000);
        QVERIFY(rig.pacer->startIteration());
        if (slotCount > 0) {
            rig.clockUs = std::int64_t(slotCount) * 66666;
            QCOMPARE(rig.pacer->submit(rig.image()), slotCount);
        }
        rig.steadyUs = std::int64_t(elapsedMs) * 1000;
        rig.pacer->finishIteration();
        if (text.isEmpty()) {
            QCOMPARE(rate.size(), 0);
            return;
        }
        QCOMPARE(rate.size(), 1);
        QCOMPARE(rate.first().first().toString(), text);

        // The timer and the count start over.
        rig.steadyUs += 900000;
        QVERIFY(rig.pacer->startIteration());
        rig.steadyUs += 99000;
        rig.pacer->finishIteration();
        QCOMPARE(rate.size(), 1);
        QVERIFY(rig.pacer->startIteration());
        rig.steadyUs += 100000;
        rig.pacer->finishIteration();
        QVERIFY(rig.sleeps.isEmpty());
        QCOMPARE(rate.size(), 2);
        QCOMPARE(rate.last().first().toString(), QString("0"));
    }

    void pauseWaitsAndProducesNothing_data()
    {
        QTest::addColumn<bool>("stopDuringPause");
        QTest::newRow("resumed") << false;
        QTest::newRow("stopped") << true;
    }
    void pauseWaitsAndProducesNothing()
    {
        QFETCH(bool, stopDuringPause);
        Rig rig;
        rig.pacer->begin(15);
        QVERIFY(rig.pacer->startIteration());
        QCOMPARE(rig.pacer->submit(rig.image()), 1);
        rig.drain();

        // Ten seconds of pause.
        rig.paused = true;
        rig.onSleep = [&](int) {
            if (rig.sleeps.size() == 200) {
                if (stopDuringPause)
                    rig.stop = true;
                else
                    rig.paused = false;
            }
        };
        QCOMPARE(rig.pacer->startIteration(), !stopDuringPause);
        QCOMPARE(rig.sleeps, QList<int>(200, 50));
        QCOMPARE(rig.queue.size(), 0);
        if (stopDuringPause)
            return;

        // The first image after the pause fills every slot of it.
        QCOMPARE(rig.pacer->submit(rig.image()), 149);
        const QList<SharedFrame> frames = rig.drain();
        QCOMPARE(frames.size(), 149);
        QCOMPARE(qint64(frames.first()->pts), qint64(66666));
        QCOMPARE(qint64(frames.last()->pts), qint64(149) * 66666);
    }

    // A still screen brings no new images: at the stop, the slots since the last one are filled
    // with it, so the file lasts until the stop.
    void stopFillsTheSlotsOfAStillScreen_data()
    {
        QTest::addColumn<bool>("withClock");
        QTest::addColumn<qint64>("stopUs");
        QTest::addColumn<int>("filled");
        QTest::newRow("ten slots passed") << true << qint64(10 * 66666 + 5) << 9;
        QTest::newRow("stop within the next slot") << true << qint64(66666 + 10) << 0;
        QTest::newRow("no clock") << false << qint64(10 * 66666) << 0;
    }
    void stopFillsTheSlotsOfAStillScreen()
    {
        QFETCH(bool, withClock);
        QFETCH(qint64, stopUs);
        QFETCH(int, filled);
        Rig rig(FramePacer::kSleepLogPrefix, withClock);
        rig.pacer->begin(15);
        QVERIFY(rig.pacer->startIteration());
        QCOMPARE(rig.pacer->submit(rig.image(0x33)), 1);
        rig.setTime(stopUs);
        QCOMPARE(rig.pacer->fillToClock(), filled);
        const QList<SharedFrame> frames = rig.drain();
        QCOMPARE(frames.size(), 1 + filled);
        for (int i = 0; i < frames.size(); ++i) {
            QCOMPARE(qint64(frames[i]->pts), qint64(i) * 66666);
            QCOMPARE(frames[i]->data[0][0], std::uint8_t(0x33));
        }
        QCOMPARE(rig.pacer->repeatedSlots(), qint64(filled));
    }

    void stopEndsTheLoop()
    {
        Rig rig;
        rig.pacer->begin(15);
        QVERIFY(rig.pacer->startIteration());
        rig.stop = true;
        QVERIFY(!rig.pacer->startIteration());
        QVERIFY(rig.sleeps.isEmpty());
    }

    void threadFlagsMayBeIntegers()
    {
        FrameQueue queue;
        std::atomic<int> stop{0};
        std::atomic<int> paused{0};
        FramePacer pacer(&queue, nullptr, FramePacer::kSleepLogPrefix, stop, paused);
        pacer.begin(15);
        QVERIFY(pacer.startIteration());
        stop = 1;
        QVERIFY(pacer.stopRequested());
        QVERIFY(!pacer.startIteration());
    }
};

QTEST_GUILESS_MAIN(tst_FramePacer)
#include "tst_FramePacer.moc"
