#include "ui/CpuUsageMeter.h"

#include <QTest>

namespace {
constexpr qint64 kTicksPerSecond = 10000000; // 100 ns units
}

class tst_CpuUsageMeter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void percentageBetweenReadings_data()
    {
        // Second reading after a first one at (process 0, counter 0).
        QTest::addColumn<qint64>("processDelta"); // 100 ns units
        QTest::addColumn<qint64>("counterDelta");
        QTest::addColumn<qint64>("frequency");
        QTest::addColumn<int>("threads");
        QTest::addColumn<double>("expected");

        QTest::newRow("half a second of one core")
            << kTicksPerSecond / 2 << kTicksPerSecond << kTicksPerSecond << 1 << 50.0;
        QTest::newRow("spread over two cores")
            << kTicksPerSecond / 2 << kTicksPerSecond << kTicksPerSecond << 2 << 25.0;
        QTest::newRow("counter at another frequency")
            << kTicksPerSecond / 10 << qint64(2'000'000) << qint64(1'000'000) << 1 << 5.0;
        QTest::newRow("no thread count counts as one")
            << kTicksPerSecond / 4 << kTicksPerSecond << kTicksPerSecond << 0 << 25.0;
        QTest::newRow("more than the machine is clamped")
            << 3 * kTicksPerSecond << kTicksPerSecond << kTicksPerSecond << 1 << 100.0;
        QTest::newRow("no time passed")
            << kTicksPerSecond << qint64(0) << kTicksPerSecond << 1 << 0.0;
        QTest::newRow("process time going back is clamped")
            << -kTicksPerSecond << kTicksPerSecond << kTicksPerSecond << 1 << 0.0;
    }

    void percentageBetweenReadings()
    {
        QFETCH(qint64, processDelta);
        QFETCH(qint64, counterDelta);
        QFETCH(qint64, frequency);
        QFETCH(int, threads);
        QFETCH(double, expected);

        CpuUsageMeter meter;
        const std::int64_t processBase = 5 * kTicksPerSecond;
        const std::int64_t counterBase = 1000 * frequency;
        QCOMPARE(meter.sample(processBase, counterBase, frequency, threads), 0.0);
        QCOMPARE(meter.sample(processBase + processDelta, counterBase + counterDelta, frequency,
                              threads),
                 expected);
    }

    void failedQueryStartsAfresh()
    {
        CpuUsageMeter meter;
        meter.sample(0, 0, kTicksPerSecond, 1);
        QCOMPARE(meter.sampleFailed(), 0.0);
        // The next good reading is a first reading again.
        QCOMPARE(meter.sample(kTicksPerSecond, kTicksPerSecond, kTicksPerSecond, 1), 0.0);
        QCOMPARE(meter.sample(kTicksPerSecond * 3 / 2, 2 * kTicksPerSecond, kTicksPerSecond, 1),
                 50.0);
    }
};

QTEST_GUILESS_MAIN(tst_CpuUsageMeter)
#include "tst_CpuUsageMeter.moc"
