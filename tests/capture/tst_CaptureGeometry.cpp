#include "capture/CaptureGeometry.h"

#include <QTest>

using namespace capturegeometry;

class tst_CaptureGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scaleCaptureArea_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<double>("dpi");
        QTest::addColumn<QRect>("monitor");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QRect>("expected");
        const QRect fullHd(0, 0, 1920, 1080);
        QTest::newRow("144 dpi") << QRect(10, 20, 400, 300) << 144.0 << fullHd << true
                                 << QRect(15, 30, 600, 450);
        QTest::newRow("150% on second monitor")
            << QRect(100, 100, 640, 360) << 144.0 << QRect(1920, 0, 1920, 1080) << true
            << QRect(2070, 150, 960, 540);
        QTest::newRow("1 px past right edge")
            << QRect(1521, 0, 400, 100) << 96.0 << fullHd << false << QRect();
        QTest::newRow("exactly to the edge")
            << QRect(1520, 0, 400, 100) << 96.0 << fullHd << true << QRect(1520, 0, 400, 100);
    }

    void scaleCaptureArea()
    {
        QFETCH(QRect, area);
        QFETCH(double, dpi);
        QFETCH(QRect, monitor);
        QFETCH(bool, valid);
        QFETCH(QRect, expected);
        QString warning;
        const auto result = capturegeometry::scaleCaptureArea(area, dpi, monitor, &warning);
        QCOMPARE(result.has_value(), valid);
        if (valid) {
            QCOMPARE(*result, expected);
        } else {
            QVERIFY(warning.startsWith(QStringLiteral("Invalid capture area parameters: startX=")));
        }
    }

    void evenSizes_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("expected");
        QTest::newRow("zero") << 0 << 2;
        QTest::newRow("one") << 1 << 2;
        QTest::newRow("odd monitor") << 1365 << 1364;
        QTest::newRow("even") << 768 << 768;
    }

    void evenSizes()
    {
        QFETCH(int, size);
        QFETCH(int, expected);
        QCOMPARE(evenSize(size), expected);
    }

    void windowCrop()
    {
        const QRect monitor(0, 0, 1920, 1080);
        QCOMPARE(windowCropOnMonitor(QRect(-100, 50, 301, 201), monitor), QRect(0, 50, 200, 200));
        QCOMPARE(windowCropOnMonitor(QRect(1800, 1000, 400, 400), monitor),
                 QRect(1800, 1000, 120, 80));
        QVERIFY(windowCropOnMonitor(QRect(3000, 0, 100, 100), monitor).isNull());
    }
};

QTEST_GUILESS_MAIN(tst_CaptureGeometry)
#include "tst_CaptureGeometry.moc"
