#include "ui/CpuUsageMeter.h"

#include <QTest>

constexpr qint64 kSecond = 10000000; // process times come in 100 ns units

class tst_CpuUsageMeter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void percentageBetweenReadings_data()
    {
        QTest::addColumn<qint64>("processDelta");
        QTest::addColumn<qint64>("counterDelta");
        QTest::addColumn<qint64>("frequency");
        QTest::addColumn<int>("threads");
        QTest::addColumn<double>("expected");
        QTest::newRow("half a second of one core")
            << kSecond / 2 << kSecond << kSecond << 1 << 50.0;
        QTest::newRow("spread over two cores") << kSecond / 2 << kSecond << kSecond << 2 << 25.0;
        QTest::newRow("counter at another frequency")
            << kSecond / 10 << qint64(2'000'000) << qint64(1'000'000) << 1 << 5.0;
        QTest::newRow("no thread count counts as one")
            << kSecond / 4 << kSecond << kSecond << 0 << 25.0;
        QTest::newRow("more than the machine is clamped")
            << 3 * kSecond << kSecond << kSecond << 1 << 100.0;
        QTest::newRow("no time passed") << kSecond << qint64(0) << kSecond << 1 << 0.0;
        QTest::newRow("process time going back") << -kSecond << kSecond << kSecond << 1 << 0.0;
    }
    void percentageBetweenReadings()
    {
        QFETCH(qint64, processDelta);
        QFETCH(qint64, counterDelta);
        QFETCH(qint64, frequency);
        QFETCH(int, threads);
        CpuUsageMeter meter;
        QCOMPARE(meter.sample(5 * kSecond, 1000 * frequency, frequency, threads), 0.0);
        QTEST(meter.sample(5 * kSecond + processDelta, 1000 * frequency + counterDelta, frequency,
                           threads),
              "expected");
        // After a failed query the next good reading is a first reading again.
        QCOMPARE(meter.sampleFailed(), 0.0);
        QCOMPARE(meter.sample(9 * kSecond, 2000 * frequency, frequency, threads), 0.0);
    }
};

QTEST_GUILESS_MAIN(tst_CpuUsageMeter)
#include "tst_CpuUsageMeter.moc"
