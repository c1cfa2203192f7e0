#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "ui/AreaDisplay.h"
#include "ui/AreaSelector.h"

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// Two screens side by side with different heights, so that clamping at the bottom edge depends on
// the screen the drag started on.
const QRect firstScreen(0, 0, 1920, 1080);
const QRect secondScreen(1920, 0, 1280, 1024);

void sendMouse(QWidget* widget, QEvent::Type type, const QPoint& global, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent event(type, widget->mapFromGlobal(QPointF(global)), QPointF(global), button,
                      buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// Presses the left button at from, drags to each point in turn and releases at the last one.
void drag(QWidget* widget, const QPoint& from, const QList<QPoint>& path)
{
    sendMouse(widget, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    for (const QPoint& p : path)
        sendMouse(widget, QEvent::MouseMove, p, Qt::NoButton, Qt::LeftButton);
}

void release(QWidget* widget, const QPoint& at)
{
    sendMouse(widget, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
}

bool isRed(QRgb pixel)
{
    return qAlpha(pixel) == 255 && qRed(pixel) == 255 && qGreen(pixel) == 0 && qBlue(pixel) == 0;
}

int whitePixels(const QImage& image, const QRect& region)
{
    int count = 0;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAlpha(p) > 200 && qRed(p) > 200 && qGreen(p) > 200 && qBlue(p) > 200)
                ++count;
        }
    return count;
}

} // namespace

class tst_AreaSelector : public QObject
{
    Q_OBJECT

private:
    // A selector shown over the desktop, as the main window shows it.
    static QPointer<AreaSelector> showSelector()
    {
        QPointer<AreaSelector> selector = new AreaSelector;
        selector->show();
        return selector;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::screens().size(), 2);
        QCOMPARE(QGuiApplication::screens().at(1)->geometry(), secondScreen);
    }

    void coversTheWholeDesktop()
    {
        QPointer<AreaSelector> selector = showSelector();
        QCOMPARE(selector->geometry(), firstScreen.united(secondScreen));
        QVERIFY(selector->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(selector->windowFlags().testFlag(Qt::FramelessWindowHint));
        delete selector;
    }

    void dragGivesArea_data()
    {
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QRect>("area");

        QTest::newRow("6 x 100 accepted")
            << QPoint(100, 100) << QPoint(106, 200) << true << QRect(100, 100, 6, 100);
        QTest::newRow("5 x 100 rejected")
            << QPoint(100, 100) << QPoint(105, 200) << false << QRect();
        QTest::newRow("100 x 5 rejected")
            << QPoint(100, 100) << QPoint(200, 105) << false << QRect();
        QTest::newRow("dragged up and left")
            << QPoint(700, 600) << QPoint(300, 400) << true << QRect(300, 400, 400, 200);
        QTest::newRow("stops at the first screen's last column")
            << QPoint(1800, 500) << QPoint(2500, 600) << true << QRect(1800, 500, 119, 100);
        QTest::newRow("stops at the first screen's last row")
            << QPoint(100, 1000) << QPoint(200, 1500) << true << QRect(100, 1000, 100, 79);
        QTest::newRow("stops at the desktop's top-left")
            << QPoint(300, 200) << QPoint(-50, -80) << true << QRect(0, 0, 300, 200);
        QTest::newRow("on the second screen")
            << QPoint(2000, 100) << QPoint(2400, 400) << true << QRect(2000, 100, 400, 300);
        QTest::newRow("stops at the second screen's first column")
            << QPoint(2000, 100) << QPoint(100, 200) << true << QRect(1920, 100, 80, 100);
        QTest::newRow("stops at the second screen's last row")
            << QPoint(2000, 900) << QPoint(2100, 1070) << true << QRect(2000, 900, 100, 123);
    }

    void dragGivesArea()
    {
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        QFETCH(bool, accepted);
        QFETCH(QRect, area);

        QPointer<AreaSelector> selector = showSelector();
        QSignalSpy selected(selector.data(), &AreaSelector::areaSelected);
        QSignalSpy canceled(selector.data(), &AreaSelector::areaSelectionCanceled);
        drag(selector, from, {(from + to) / 2, to});
        release(selector, to);

        QCOMPARE(canceled.count(), 0);
        if (accepted) {
            QCOMPARE(selected.count(), 1);
            QCOMPARE(selected.at(0).at(0).toRect(), area);
            // The selector closes and deletes itself.
            QTRY_VERIFY(selector.isNull());
        } else {
            QCOMPARE(selected.count(), 0);
            QVERIFY(!selector.isNull());
            QVERIFY(selector->isVisible());
            // The overlay stays for another try, and that one counts.
            drag(selector, QPoint(10, 10), {QPoint(60, 70)});
            release(selector, QPoint(60, 70));
            QCOMPARE(selected.count(), 1);
            QCOMPARE(selected.at(0).at(0).toRect(), QRect(10, 10, 50, 60));
        }
        delete selector;
    }

    void otherButtonsAndKeysDoNothing()
    {
        QPointer<AreaSelector> selector = showSelector();
        QSignalSpy selected(selector.data(), &AreaSelector::areaSelected);
        QSignalSpy canceled(selector.data(), &AreaSelector::areaSelectionCanceled);
        sendMouse(selector, QEvent::MouseButtonPress, QPoint(100, 100), Qt::RightButton,
                  Qt::RightButton);
        sendMouse(selector, QEvent::MouseMove, QPoint(300, 300), Qt::NoButton, Qt::RightButton);
        sendMouse(selector, QEvent::MouseButtonRelease, QPoint(300, 300), Qt::RightButton,
                  Qt::NoButton);
        QTest::keyClick(selector, Qt::Key_Return);
        QTest::keyClick(selector, Qt::Key_Space);
        QCOMPARE(selected.count(), 0);
        QCOMPARE(canceled.count(), 0);
        QVERIFY(selector->isVisible());
        delete selector;
    }

    void escapeCancels()
    {
        QPointer<AreaSelector> selector = showSelector();
        QSignalSpy selected(selector.data(), &AreaSelector::areaSelected);
        QSignalSpy canceled(selector.data(), &AreaSelector::areaSelectionCanceled);
        drag(selector, QPoint(100, 100), {QPoint(400, 400)});
        QTest::keyClick(selector, Qt::Key_Escape);
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(selected.count(), 0);
        QTRY_VERIFY(selector.isNull());
    }

    void overlayShowsSelection_data()
    {
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<bool>("label");

        QTest::newRow("51 x 51 has the size text") << QPoint(351, 251) << true;
        QTest::newRow("50 x 300 has none") << QPoint(350, 500) << false;
        QTest::newRow("300 x 50 has none") << QPoint(600, 250) << false;
    }

    void overlayShowsSelection()
    {
        QFETCH(QPoint, to);
        QFETCH(bool, label);
        const QPoint from(300, 200);
        const QRect selection(from, to - QPoint(1, 1));

        QPointer<AreaSelector> selector = showSelector();
        drag(selector, from, {to});
        const QImage image = selector->grab().toImage().convertToFormat(QImage::Format_ARGB32);

        // Everything outside the selection is dimmed by the translucent black overlay.
        for (const QPoint& outside : {QPoint(10, 10), QPoint(2500, 900), QPoint(295, 220)}) {
            const QRgb p = image.pixel(outside);
            QCOMPARE(qAlpha(p), 100);
            QCOMPARE(qRed(p) + qGreen(p) + qBlue(p), 0);
        }
        // A red border on the selection's edges.
        QVERIFY(isRed(image.pixel(selection.left(), selection.center().y())));
        QVERIFY(isRed(image.pixel(selection.right() - 1, selection.center().y())));
        QVERIFY(isRed(image.pixel(selection.center().x(), selection.top())));
        QVERIFY(isRed(image.pixel(selection.center().x(), selection.bottom() - 1)));
        // A clear hole inside, away from the border and the text.
        QCOMPARE(qAlpha(image.pixel(selection.right() - 5, selection.bottom() - 5)), 0);

        const QRect textArea = selection.adjusted(5, 5, -5, -5);
        const int white = whitePixels(image, textArea);
        if (label) {
            QVERIFY2(white > 20, qPrintable(QString::number(white)));
            // Left and top aligned: the text starts in the first few columns of the inset area.
            QVERIFY(whitePixels(image, QRect(textArea.topLeft(), QSize(8, 20))) > 0);
        } else {
            QCOMPARE(white, 0);
        }
        delete selector;
    }

    void displayFramesArea_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QRect>("captureArea");

        QTest::newRow("first screen") << QRect(500, 200, 400, 300) << QRect(500, 200, 400, 300);
        QTest::newRow("second screen") << QRect(2000, 100, 400, 300) << QRect(80, 100, 400, 300);
        QTest::newRow("second screen's left edge")
            << QRect(1920, 0, 640, 480) << QRect(0, 0, 640, 480);
        QTest::newRow("first screen's top-left") << QRect(0, 0, 64, 48) << QRect(0, 0, 64, 48);
    }

    void displayFramesArea()
    {
        QFETCH(QRect, area);
        QFETCH(QRect, captureArea);

        QWidget owner;
        QPointer<AreaDisplay> display = new AreaDisplay(area, &owner);
        QVERIFY(display->isVisible());
        QVERIFY(display->isWindow());
        QCOMPARE(display->geometry(), area.adjusted(-2, -2, 2, 2));
        QCOMPARE(display->captureArea(), captureArea);

        // A two-pixel red frame entirely outside the area; the area itself stays clear.
        const QImage image = display->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        const int midY = image.height() / 2;
        const int midX = image.width() / 2;
        for (int i : {0, 1}) {
            QVERIFY(isRed(image.pixel(i, midY)));
            QVERIFY(isRed(image.pixel(image.width() - 1 - i, midY)));
            QVERIFY(isRed(image.pixel(midX, i)));
            QVERIFY(isRed(image.pixel(midX, image.height() - 1 - i)));
        }
        QCOMPARE(qAlpha(image.pixel(2, midY)), 0);
        QCOMPARE(qAlpha(image.pixel(image.width() - 3, midY)), 0);
        QCOMPARE(qAlpha(image.pixel(midX, midY)), 0);

        // Closing deletes it, so the owner never holds a stale frame.
        display->close();
        QTRY_VERIFY(display.isNull());
    }

    void selectionToCaptureArea()
    {
        QPointer<AreaSelector> selector = showSelector();
        std::unique_ptr<QWidget> owner = std::make_unique<QWidget>();
        QPointer<AreaDisplay> display;
        connect(selector, &AreaSelector::areaSelected, owner.get(),
                [&](const QRect& area) { display = new AreaDisplay(area, owner.get()); });
        drag(selector, QPoint(2000, 100), {QPoint(2400, 400)});
        release(selector, QPoint(2400, 400));
        QVERIFY(!display.isNull());
        QCOMPARE(display->captureArea(), QRect(80, 100, 400, 300));
        QTRY_VERIFY(selector.isNull());
    }
};

OFFSCREEN_TEST_MAIN(tst_AreaSelector, firstScreen, secondScreen)

#include "tst_AreaSelector.moc"
