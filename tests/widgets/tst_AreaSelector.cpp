// Choosing a recording area on a faked two-screen desktop: the drag overlay and the frame that
// marks the chosen area.
#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "support/TestWindow.h"
#include "ui/AreaDisplay.h"
#include "widgets/AreaSelector.h"

#include <QApplication>
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
using Backdrop = AreaSelector::Backdrop;

void mouse(QWidget* widget, QEvent::Type type, QPoint at, Qt::MouseButton button = Qt::LeftButton)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
    QMouseEvent event(type, widget->mapFromGlobal(QPointF(at)), QPointF(at),
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

void drag(QWidget* widget, QPoint from, QPoint to, Qt::MouseButton button = Qt::LeftButton)
{
    mouse(widget, QEvent::MouseButtonPress, from, button);
    mouse(widget, QEvent::MouseMove, (from + to) / 2, button);
    mouse(widget, QEvent::MouseMove, to, button);
}

bool isRed(QRgb p)
{
    return p == qRgba(255, 0, 0, 255);
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
        QTest::addColumn<QRect>("area"); // null: too small, the overlay stays until Escape

        QTest::newRow("6 x 100") << QPoint(100, 100) << QPoint(106, 200) << QRect(100, 100, 6, 100);
        QTest::newRow("5 x 100 rejected") << QPoint(100, 100) << QPoint(105, 200) << QRect();
        QTest::newRow("up and left")
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
        QSignalSpy selected(selector.data(), &AreaSelector::areaSelected);
        QSignalSpy canceled(selector.data(), &AreaSelector::areaSelectionCanceled);
        // Other buttons and keys do nothing.
        drag(selector, QPoint(100, 100), QPoint(300, 300), Qt::RightButton);
        mouse(selector, QEvent::MouseButtonRelease, QPoint(300, 300), Qt::RightButton);
        QTest::keyClick(selector, Qt::Key_Return);
        drag(selector, from, to);
        mouse(selector, QEvent::MouseButtonRelease, to);
        if (area.isNull()) {
            QVERIFY(selector->isVisible());
            drag(selector, QPoint(100, 100), QPoint(400, 400));
            QTest::keyClick(selector, Qt::Key_Escape);
        }
        QCOMPARE(canceled.count(), area.isNull() ? 1 : 0);
        QCOMPARE(selected.count(), area.isNull() ? 0 : 1);
        if (!area.isNull())
            QCOMPARE(selected.at(0).at(0).toRect(), area);
        QTRY_VERIFY(selector.isNull()); // it closes and deletes itself
    }

    void overlayShowsSelection_data()
    {
        QTest::addColumn<Backdrop>("backdrop");
        QTest::addColumn<QRgb>("dimmed");
        QTest::addColumn<QRgb>("clear");
        QTest::newRow("live") << Backdrop::Live << qRgba(0, 0, 0, 100) << qRgba(0, 0, 0, 0);
        QTest::newRow("still") << Backdrop::Still << qRgb(24, 122, 73) << qRgb(40, 200, 120);
    }

    // Outside the selection the desktop is dimmed; the selection has a red border, a clear
    // inside and, when it is large enough, its size written at its top-left.
    void overlayShowsSelection()
    {
        QFETCH(Backdrop, backdrop);
        QFETCH(QRgb, dimmed);
        QFETCH(QRgb, clear);
        testsupport::TestWindow desktop(QColor(40, 200, 120), firstScreen);
        QVERIFY(desktop.showAndWait());
        QPointer<AreaSelector> selector = new AreaSelector(backdrop);
        selector->show();
        drag(selector, QPoint(300, 200), QPoint(351, 251));
        const QRect selection(300, 200, 51, 51);
        const QImage image = selector->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        for (const QPoint& outside : {QPoint(10, 10), QPoint(295, 220)})
            QCOMPARE(image.pixel(outside), dimmed);
        const QPoint m = selection.center();
        for (const QPoint& edge :
             {QPoint(selection.left(), m.y()), QPoint(m.x(), selection.top()),
              QPoint(selection.right() - 1, m.y()), QPoint(m.x(), selection.bottom() - 1)})
            QVERIFY(isRed(image.pixel(edge)));
        QCOMPARE(image.pixel(selection.right() - 5, selection.bottom() - 5), clear);
        int white = 0;
        for (int y = 205; y < 225; ++y)
            for (int x = 305; x < 313; ++x)
                white += qGray(image.pixel(x, y)) > 200 && qAlpha(image.pixel(x, y)) > 200;
        QVERIFY(white > 0);
        delete selector;
    }

    void displayFramesArea_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QRect>("captureArea");
        QTest::newRow("first screen") << QRect(500, 200, 400, 300) << QRect(500, 200, 400, 300);
        QTest::newRow("second screen") << QRect(2000, 100, 400, 300) << QRect(80, 100, 400, 300);
        // The frame around this starts on the first screen.
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

        // A two-pixel red frame entirely outside the area; the area is not even part of the window.
        const QImage image = display->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        const int x = image.width() / 2;
        const int y = image.height() / 2;
        const int r = image.width() - 1;
        const int b = image.height() - 1;
        for (const QPoint& edge : {QPoint(0, y), QPoint(1, y), QPoint(r, y), QPoint(r - 1, y),
                                   QPoint(x, 0), QPoint(x, 1), QPoint(x, b), QPoint(x, b - 1)})
            QVERIFY(isRed(image.pixel(edge)) && display->mask().contains(edge));
        for (const QPoint& inside : {QPoint(2, y), QPoint(r - 2, y), QPoint(x, y)})
            QVERIFY(qAlpha(image.pixel(inside)) == 0 && !display->mask().contains(inside));
        display->close(); // closing deletes it, so the owner never holds a stale frame
        QTRY_VERIFY(display.isNull());
    }
};

OFFSCREEN_TEST_MAIN(tst_AreaSelector, firstScreen, secondScreen)

#include "tst_AreaSelector.moc"
