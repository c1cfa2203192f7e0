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
        QTest::addColumn<QSize>("image");
        QTest::addColumn<QRect>("expected");
        const QRect fullHd(0, 0, 1920, 1080);
        QTest::newRow("half off the left edge: visible part, even sides")
            << QRect(-100, 50, 301, 201) << fullHd << QSize() << QRect(0, 50, 200, 200);
        QTest::newRow("past the bottom right corner")
            << QRect(1800, 1000, 400, 400) << fullHd << QSize() << QRect(1800, 1000, 120, 80);
        QTest::newRow("entirely off: no crop")
            << QRect(3000, 0, 100, 100) << fullHd << QSize() << QRect();
        QTest::newRow("relative to a second monitor")
            << QRect(2000, 100, 640, 480) << QRect(1920, 0, 1920, 1080) << QSize()
            << QRect(80, 100, 640, 480);
        QTest::newRow("image twice the monitor size")
            << QRect(100, 50, 320, 240) << fullHd << QSize(3840, 2160) << QRect(200, 100, 640, 480);
        QTest::newRow("one pixel visible becomes 2")
            << QRect(1919, 500, 50, 51) << fullHd << QSize() << QRect(1919, 500, 2, 50);
    }

    void windowCrop()
    {
        QFETCH(QRect, window);
        QFETCH(QRect, monitor);
        QFETCH(QSize, image);
        QFETCH(QRect, expected);
        QCOMPARE(windowCropOnMonitor(window, monitor, image), expected);
    }

    void frameRectChoice_data()
    {
        QTest::addColumn<QRect>("crop");
        QTest::addColumn<bool>("areaMode");
        QTest::addColumn<QRect>("area");
        QTest::addColumn<double>("dpi");
        QTest::addColumn<QRect>("expected"); // null: refused
        QTest::addColumn<QString>("warning");
        const QRect none;
        QTest::newRow("no crop, no area: whole image")
            << none << false << QRect(10, 10, 50, 50) << 96.0 << QRect(0, 0, 1366, 768)
            << QString();
        QTest::newRow("crop wins over the area")
            << QRect(100, 40, 200, 100) << true << QRect(1, 1, 10, 10) << 96.0
            << QRect(100, 40, 200, 100) << QString();
        QTest::newRow("crop past the right edge")
            << QRect(1300, 0, 68, 10) << false << none << 96.0 << QRect()
            << QStringLiteral("Invalid crop parameters: cropX=1300, cropY=0, cropW=68, cropH=10, "
                              "texture size=1366x768");
        QTest::newRow("area at 144 dpi") << none << true << QRect(10, 20, 400, 300) << 144.0
                                         << QRect(15, 30, 600, 450) << QString();
        QTest::newRow("area 1 px past the right edge")
            << none << true << QRect(967, 0, 400, 100) << 96.0 << QRect()
            << QStringLiteral("Invalid capture area parameters: startX=967, startY=0, width=400, "
                              "height=100");
        QTest::newRow("area scaled to nothing")
            << none << true << QRect(0, 0, 0, 10) << 144.0 << QRect()
            << QStringLiteral("Invalid capture area parameters: startX=0, startY=0, width=0, "
                              "height=15");
    }

    void frameRectChoice()
    {
        QFETCH(QRect, crop);
        QFETCH(bool, areaMode);
        QFETCH(QRect, area);
        QFETCH(double, dpi);
        QFETCH(QRect, expected);
        QFETCH(QString, warning);
        QString text;
        const auto rect = frameRect(QSize(1366, 768), crop, areaMode, area, dpi, &text);
        QCOMPARE(rect.has_value(), !expected.isNull());
        if (rect)
            QCOMPARE(*rect, expected);
        QCOMPARE(text, warning);
    }
};

QTEST_GUILESS_MAIN(tst_CaptureGeometry)
#include "tst_CaptureGeometry.moc"
