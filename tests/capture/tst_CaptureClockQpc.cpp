#include "media/CaptureClockQpc.h"

#include <QtTest>

class tst_CaptureClockQpc : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void elapsedMicrosecondsFollowsTheTicks_data()
    {
        QTest::addColumn<qint64>("frequency");
        QTest::addColumn<qint64>("ticksLater");
        QTest::addColumn<qint64>("expectedUs");
        // 100 ns ticks, as the monotonic counter gives them.
        QTest::newRow("one second of 100 ns ticks")
            << qint64(10000000) << qint64(10000000) << qint64(1000000);
        QTest::newRow("part of a microsecond is dropped")
            << qint64(10000000) << qint64(25) << qint64(2);
        // Multiplying before dividing keeps the precision of a coarse counter.
        QTest::newRow("3 ticks of a 3 Hz counter") << qint64(3) << qint64(1) << qint64(333333);
        QTest::newRow("an hour of 100 ns ticks")
            << qint64(10000000) << qint64(36000000000) << qint64(3600000000);
        QTest::newRow("frequency 0 counts as 1") << qint64(0) << qint64(2) << qint64(2000000);
        QTest::newRow("negative frequency counts as 1")
            << qint64(-5) << qint64(3) << qint64(3000000);
    }
    void elapsedMicrosecondsFollowsTheTicks()
    {
        QFETCH(qint64, frequency);
        QFETCH(qint64, ticksLater);
        QFETCH(qint64, expectedUs);
        std::int64_t now = 123456789;
        CaptureClockQpc clock([&now] { return now; }, frequency);
        QVERIFY(clock.frequency >= 1);
        QCOMPARE(qint64(clock.elapsedMicroseconds()), qint64(0));
        now += ticksLater;
        QCOMPARE(qint64(clock.elapsedMicroseconds()), qint64(expectedUs));
    }

    void restartMakesNowTimeZero()
    {
        std::int64_t now = 0;
        CaptureClockQpc clock([&now] { return now; }, 1000);
        now = 5000;
        QCOMPARE(qint64(clock.elapsedMicroseconds()), qint64(5000000));
        clock.restart();
        QCOMPARE(qint64(clock.elapsedMicroseconds()), qint64(0));
        now = 5250;
        QCOMPARE(qint64(clock.elapsedMicroseconds()), qint64(250000));
    }

    void realCounterNeverRunsBackwards()
    {
        CaptureClockQpc clock;
        QVERIFY(clock.frequency >= 1);
        std::int64_t previous = clock.elapsedMicroseconds();
        QVERIFY(previous >= 0);
        for (int i = 0; i < 1000; ++i) {
            const std::int64_t now = clock.elapsedMicroseconds();
            QVERIFY(now >= previous);
            previous = now;
        }
    }
};

QTEST_GUILESS_MAIN(tst_CaptureClockQpc)
#include "tst_CaptureClockQpc.moc"
