#include "capture/CaptureGeometry.h"

#include <QTest>

using namespace capturegeometry;

class tst_CaptureGeometry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void windowCrop_data()
    {
        QTest::addColumn<QRect>("window");
        QTest::addColumn<QRect>("monitor");
        QTest::addColumn<QRect>("expected");
        const QRect fullHd(0, 0, 1920, 1080);
        QTest::newRow("half off the left edge: visible part, even sides")
            << QRect(-100, 50, 301, 201) << fullHd << QRect(0, 50, 200, 200);
        QTest::newRow("past the bottom right corner")
            << QRect(1800, 1000, 400, 400) << fullHd << QRect(1800, 1000, 120, 80);
        QTest::newRow("entirely off: no crop") << QRect(3000, 0, 100, 100) << fullHd << QRect();
        QTest::newRow("relative to a second monitor")
            << QRect(2000, 100, 640, 480) << QRect(1920, 0, 1920, 1080) << QRect(80, 100, 640, 480);
    }

    void windowCrop()
    {
        QFETCH(QRect, window);
        QFETCH(QRect, monitor);
        QFETCH(QRect, expected);
        QCOMPARE(windowCropOnMonitor(window, monitor), expected);
    }

    void areaScaling_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<double>("dpi");
        QTest::addColumn<QRect>("expected"); // null: refused
        QTest::addColumn<QString>("warning");
        QTest::newRow("144 dpi, second monitor")
            << QRect(10, 20, 400, 300) << 144.0 << QRect(1381, 30, 600, 450) << QString();
        QTest::newRow("1 px past the right edge")
            << QRect(967, 0, 400, 100) << 96.0 << QRect()
            << QStringLiteral("Invalid capture area parameters: startX=967, startY=0, width=400, "
                              "height=100");
        QTest::newRow("scaled to nothing")
            << QRect(0, 0, 0, 10) << 144.0 << QRect()
            << QStringLiteral("Invalid capture area parameters: startX=0, startY=0, width=0, "
                              "height=15");
    }

    void areaScaling()
    {
        QFETCH(QRect, area);
        QFETCH(double, dpi);
        QFETCH(QRect, expected);
        QFETCH(QString, warning);
        QString text;
        const auto rect = scaleCaptureArea(area, dpi, QRect(1366, 0, 1366, 768), &text);
        QCOMPARE(rect.value_or(QRect()), expected);
        QCOMPARE(text, warning);
    }
};

QTEST_GUILESS_MAIN(tst_CaptureGeometry)
#include "tst_CaptureGeometry.moc"
