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
};

QTEST_GUILESS_MAIN(tst_CaptureGeometry)
#include "tst_CaptureGeometry.moc"
