// Choosing a recording area on a faked two-screen desktop: the drag overlay and the frame that
// marks the chosen area.
#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "ui/AreaDisplay.h"
#include "ui/AreaSelector.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

namespace {

// Side by side with different heights, so that clamping at the bottom edge depends on the screen
// the drag started on.
const QRect firstScreen(0, 0, 1920, 1080);
const QRect secondScreen(1920, 0, 1280, 1024);

void sendMouse(QWidget* widget, QEvent::Type type, const QPoint& global, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent event(type, widget->mapFromGlobal(QPointF(global)), QPointF(global), button,
                      buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

void drag(QWidget* widget, const QPoint& from, const QPoint& to,
          Qt::MouseButton button = Qt::LeftButton)
{
    sendMouse(widget, QEvent::MouseButtonPress, from, button, button);
    sendMouse(widget, QEvent::MouseMove, (from + to) / 2, Qt::NoButton, button);
    sendMouse(widget, QEvent::MouseMove, to, Qt::NoButton, button);
}

void release(QWidget* widget, const QPoint& at, Qt::MouseButton button = Qt::LeftButton)
{
    sendMouse(widget, QEvent::MouseButtonRelease, at, button, Qt::NoButton);
}

bool isRed(QRgb p)
{
    return qAlpha(p) == 255 && qRed(p) == 255 && qGreen(p) == 0 && qBlue(p) == 0;
}

int whitePixels(const QImage& image, const QRect& region)
{
    int count = 0;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x)
            count += qGray(image.pixel(x, y)) > 200 && qAlpha(image.pixel(x, y)) > 200;
    return count;
}

} // namespace

class tst_AreaSelector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void dragGivesArea_data()
    {
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QRect>("area"); // null: rejected, the overlay stays for another try

        QTest::newRow("6 x 100 accepted") << QPoint(100, 100) << QPoint(106, 200)
                                          << QRect(100, 100, 6, 100);
        QTest::newRow("5 x 100 rejected") << QPoint(100, 100) << QPoint(105, 200) << QRect();
        QTest::newRow("dragged up and left")
            << QPoint(700, 600) << QPoint(300, 400) << QRect(300, 400, 400, 200);
        QTest::newRow("stops at the first screen's last column")
            << QPoint(1800, 500) << QPoint(2500, 600) << QRect(1800, 500, 119, 100);
        QTest::newRow("stops at the desktop's top-left")
            << QPoint(300, 200) << QPoint(-50, -80) << QRect(0, 0, 300, 200);
        QTest::newRow("stops at the second screen's first column")
            << QPoint(2000, 100) << QPoint(100, 200) << QRect(1920, 100, 80, 100);
        QTest::newRow("stops at the second screen's last row")
            << QPoint(2000, 900) << QPoint(2100, 1070) << QRect(2000, 900, 100, 123);
    }

    void dragGivesArea()
    {
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        QFETCH(QRect, area);
        QPointer<AreaSelector> selector = new AreaSelector;
        selector->show();
        QCOMPARE(selector->geometry(), firstScreen.united(secondScreen));
        QVERIFY(selector->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QSignalSpy selected(selector.data(), &AreaSelector::areaSelected);
        QSignalSpy canceled(selector.data(), &AreaSelector::areaSelectionCanceled);
        drag(selector, from, to);
        release(selector, to);
        if (area.isNull()) {
            QCOMPARE(selected.count(), 0);
            QVERIFY(selector->isVisible());
            area = QRect(10, 10, 50, 60);
            drag(selector, area.topLeft(), area.bottomRight() + QPoint(1, 1));
            release(selector, area.bottomRight() + QPoint(1, 1));
        }
        QCOMPARE(canceled.count(), 0);
        QCOMPARE(selected.count(), 1);
        QCOMPARE(selected.at(0).at(0).toRect(), area);
        QTRY_VERIFY(selector.isNull()); // it closes and deletes itself
    }

    // Other buttons and keys do nothing; Escape cancels and closes.
    void onlyEscapeCancels()
    {
        QPointer<AreaSelector> selector = new AreaSelector;
        selector->show();
        QSignalSpy selected(selector.data(), &AreaSelector::areaSelected);
        QSignalSpy canceled(selector.data(), &AreaSelector::areaSelectionCanceled);
        drag(selector, QPoint(100, 100), QPoint(300, 300), Qt::RightButton);
        release(selector, QPoint(300, 300), Qt::RightButton);
        QTest::keyClick(selector, Qt::Key_Return);
        QTest::keyClick(selector, Qt::Key_Space);
        QCOMPARE(selected.count() + canceled.count(), 0);
        QVERIFY(selector->isVisible());
        drag(selector, QPoint(100, 100), QPoint(400, 400));
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
    }

    void overlayShowsSelection()
    {
        QFETCH(QPoint, to);
        QFETCH(bool, label);
        const QPoint from(300, 200);
        const QRect selection(from, to - QPoint(1, 1));
        QPointer<AreaSelector> selector = new AreaSelector;
        selector->show();
        drag(selector, from, to);
        const QImage image = selector->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        // Everything outside the selection is dimmed by translucent black.
        for (const QPoint& outside : {QPoint(10, 10), QPoint(2500, 900), QPoint(295, 220)})
            QCOMPARE(image.pixel(outside), qRgba(0, 0, 0, 100));
        // A red border on the selection's edges and a clear hole inside.
        QVERIFY(isRed(image.pixel(selection.left(), selection.center().y())));
        QVERIFY(isRed(image.pixel(selection.right() - 1, selection.center().y())));
        QVERIFY(isRed(image.pixel(selection.center().x(), selection.top())));
        QVERIFY(isRed(image.pixel(selection.center().x(), selection.bottom() - 1)));
        QCOMPARE(qAlpha(image.pixel(selection.right() - 5, selection.bottom() - 5)), 0);
        // The size text starts at the top-left of the inset area.
        const QRect textArea = selection.adjusted(5, 5, -5, -5);
        QCOMPARE(whitePixels(image, textArea) > 20, label);
        QCOMPARE(whitePixels(image, QRect(textArea.topLeft(), QSize(8, 20))) > 0, label);
        delete selector;
    }

    void displayFramesArea_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QRect>("captureArea");
        QTest::newRow("first screen") << QRect(500, 200, 400, 300) << QRect(500, 200, 400, 300);
        QTest::newRow("second screen") << QRect(2000, 100, 400, 300) << QRect(80, 100, 400, 300);
        // The frame around these starts on the first screen.
        QTest::newRow("second screen's left edge")
            << QRect(1920, 100, 640, 480) << QRect(0, 100, 640, 480);
        QTest::newRow("second screen's top-left corner")
            << QRect(1920, 0, 64, 48) << QRect(0, 0, 64, 48);
    }

    void displayFramesArea()
    {
        QFETCH(QRect, area);
        QFETCH(QRect, captureArea);
        QWidget owner;
        QPointer<AreaDisplay> display = new AreaDisplay(area, &owner);
        QVERIFY(display->isVisible() && display->isWindow());
        QCOMPARE(display->geometry(), area.adjusted(-2, -2, 2, 2));
        // The screen the area is recorded from holds all of it, and with the capture area names
        // exactly the framed desktop pixels.
        const QRect screen = display->areaScreen()->geometry();
        QVERIFY(screen.contains(area));
        QCOMPARE(display->captureArea(), captureArea);
        QCOMPARE(display->captureArea().translated(screen.topLeft()), area);

        // A two-pixel red frame entirely outside the area; the area itself stays clear.
        const QImage image = display->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        const int midY = image.height() / 2;
        const int midX = image.width() / 2;
        for (int i : {0, 1}) {
            QVERIFY(isRed(image.pixel(i, midY)) && isRed(image.pixel(image.width() - 1 - i, midY)));
            QVERIFY(isRed(image.pixel(midX, i)) && isRed(image.pixel(midX, image.height() - 1 - i)));
        }
        for (const QPoint& inside : {QPoint(2, midY), QPoint(image.width() - 3, midY), QPoint(midX, midY)})
            QCOMPARE(qAlpha(image.pixel(inside)), 0);
        // Closing deletes it, so the owner never holds a stale frame.
        display->close();
        QTRY_VERIFY(display.isNull());
    }
};

OFFSCREEN_TEST_MAIN(tst_AreaSelector, firstScreen, secondScreen)

#include "tst_AreaSelector.moc"
