#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "ui/BG_Mode_Window.h"

#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace {

// The first screen's height leaves room for a 40-pixel panel at the bottom.
const QRect firstScreen(0, 0, 1920, 1040);
const QRect secondScreen(1920, 0, 1280, 1024);

void sendMouse(QWidget* widget, QEvent::Type type, const QPoint& global, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent event(type, widget->mapFromGlobal(QPointF(global)), QPointF(global), button,
                      buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// Opacity is stored in 1/255 steps.
bool opacityIs(const QWidget& widget, qreal expected)
{
    return qAbs(widget.windowOpacity() - expected) <= 1.0 / 255;
}

} // namespace

class tst_BG_Mode_Window : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QCOMPARE(QGuiApplication::screens().size(), 2); }

    void placedAtTopCentre_data()
    {
        // Where the bar was before it is shown: it goes to the top of that screen.
        QTest::addColumn<QPoint>("before");
        QTest::addColumn<int>("barWidth");
        QTest::addColumn<QPoint>("position");

        QTest::newRow("300 wide on 1920") << QPoint(0, 0) << 300 << QPoint(810, 0);
        QTest::newRow("odd width rounds down") << QPoint(40, 700) << 301 << QPoint(809, 0);
        QTest::newRow("second screen") << QPoint(2500, 600) << 300 << QPoint(2410, 0);
    }

    void placedAtTopCentre()
    {
        QFETCH(QPoint, before);
        QFETCH(int, barWidth);
        QFETCH(QPoint, position);

        BG_Mode_Window bar;
        bar.setFixedWidth(barWidth);
        bar.move(before);
        bar.show();
        QCOMPARE(bar.pos(), position);
        QVERIFY(bar.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(bar.windowFlags().testFlag(Qt::FramelessWindowHint));
        QVERIFY(bar.testAttribute(Qt::WA_ShowWithoutActivating));
    }

    void dragMovesAndShowingAgainResets()
    {
        BG_Mode_Window bar;
        bar.setFixedWidth(300);
        bar.show();
        QCOMPARE(bar.pos(), QPoint(810, 0));

        sendMouse(&bar, QEvent::MouseButtonPress, QPoint(900, 20), Qt::LeftButton, Qt::LeftButton);
        sendMouse(&bar, QEvent::MouseMove, QPoint(1000, 500), Qt::NoButton, Qt::LeftButton);
        QTRY_COMPARE(bar.pos(), QPoint(910, 480));
        sendMouse(&bar, QEvent::MouseMove, QPoint(100, 700), Qt::NoButton, Qt::LeftButton);
        QTRY_COMPARE(bar.pos(), QPoint(10, 680));
        sendMouse(&bar, QEvent::MouseButtonRelease, QPoint(100, 700), Qt::LeftButton, Qt::NoButton);

        // After the release, moving the mouse no longer moves the bar.
        sendMouse(&bar, QEvent::MouseMove, QPoint(600, 600), Qt::NoButton, Qt::NoButton);
        QCoreApplication::processEvents();
        QCOMPARE(bar.pos(), QPoint(10, 680));

        bar.hide();
        bar.show();
        QCOMPARE(bar.pos(), QPoint(810, 0));
    }

    void buttonsEmitTheirCode_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("recording");
        QTest::addColumn<int>("code");

        QTest::newRow("restore") << "toolButtonRestore" << false << 0;
        QTest::newRow("folder") << "toolButtonShowFolder" << false << 1;
        QTest::newRow("record while idle starts") << "toolButtonRecord" << false << 2;
        QTest::newRow("record while recording stops") << "toolButtonRecord" << true << 3;
    }

    void buttonsEmitTheirCode()
    {
        QFETCH(QString, button);
        QFETCH(bool, recording);
        QFETCH(int, code);

        BG_Mode_Window bar;
        bar.setRecordingState(recording);
        bar.show();
        QSignalSpy spy(&bar, &BG_Mode_Window::bg_mode_win_signal);
        auto* toolButton = bar.findChild<QToolButton*>(button);
        QVERIFY(toolButton);
        QTest::mouseClick(toolButton, Qt::LeftButton);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), code);
    }

    void recordButtonFollowsReportedState()
    {
        BG_Mode_Window bar;
        QSignalSpy spy(&bar, &BG_Mode_Window::bg_mode_win_signal);
        auto* record = bar.findChild<QToolButton*>("toolButtonRecord");
        QVERIFY(record);
        bar.setRecordingState(true);
        record->click();
        // The bar does not flip on its own: until the main window reports the stop it still
        // asks to stop.
        record->click();
        bar.setRecordingState(false);
        record->click();
        QCOMPARE(spy.count(), 3);
        QCOMPARE(spy.at(0).at(0).toInt(), 3);
        QCOMPARE(spy.at(1).at(0).toInt(), 3);
        QCOMPARE(spy.at(2).at(0).toInt(), 2);
    }

    void elapsedTextSurvivesLanguageChange()
    {
        BG_Mode_Window bar;
        auto* label = bar.findChild<QLabel*>("labelTimer");
        QVERIFY(label);
        QCOMPARE(label->text(), QStringLiteral("00:00:00"));
        bar.setElapsedText("01:02:03");
        QCOMPARE(label->text(), QStringLiteral("01:02:03"));
        QEvent change(QEvent::LanguageChange);
        QApplication::sendEvent(&bar, &change);
        QCOMPARE(label->text(), QStringLiteral("01:02:03"));
    }

    void fadesOutAfterLeavingAndBackOnEnter()
    {
        BG_Mode_Window bar;
        bar.show();
        auto* hideTimer = bar.findChild<QTimer*>("hideTimer");
        auto* fade = bar.findChild<QPropertyAnimation*>("fade");
        QVERIFY(hideTimer && fade);
        QVERIFY(opacityIs(bar, 1.0));
        // Showing arms the fade-out, so a bar nobody touches fades too.
        QVERIFY(hideTimer->isActive());
        QCOMPARE(hideTimer->interval(), 1000);
        QVERIFY(hideTimer->isSingleShot());

        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(815, 5));
        QApplication::sendEvent(&bar, &enter);
        QVERIFY(!hideTimer->isActive());

        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&bar, &leave);
        QVERIFY(hideTimer->isActive());
        QCOMPARE(hideTimer->interval(), 1000);

        // Let the timer's second pass without waiting for it.
        hideTimer->stop();
        QMetaObject::invokeMethod(hideTimer, "timeout");
        QCOMPARE(fade->state(), QAbstractAnimation::Running);
        QCOMPARE(fade->duration(), 500);
        QCOMPARE(fade->easingCurve().type(), QEasingCurve::OutCubic);
        fade->setCurrentTime(fade->duration());
        QVERIFY2(opacityIs(bar, 0.01), qPrintable(QString::number(bar.windowOpacity())));
        // Nearly invisible but still on screen to be found again.
        QVERIFY(bar.isVisible());

        QApplication::sendEvent(&bar, &enter);
        QCOMPARE(fade->state(), QAbstractAnimation::Running);
        fade->setCurrentTime(fade->duration() / 2);
        QVERIFY(bar.windowOpacity() > 0.5 && bar.windowOpacity() < 1.0);
        fade->setCurrentTime(fade->duration());
        QVERIFY(opacityIs(bar, 1.0));

        // Showing again starts fully visible.
        QApplication::sendEvent(&bar, &leave);
        QMetaObject::invokeMethod(hideTimer, "timeout");
        fade->setCurrentTime(fade->duration());
        bar.hide();
        bar.show();
        QVERIFY(opacityIs(bar, 1.0));
        QCOMPARE(fade->state(), QAbstractAnimation::Stopped);
    }

    void paintsTheDarkBackground()
    {
        BG_Mode_Window bar;
        bar.show();
        const QImage image = bar.grab().toImage();
        QCOMPARE(image.pixelColor(1, 1), QColor("#181D3D"));
        QCOMPARE(image.pixelColor(image.width() - 2, image.height() - 2), QColor("#181D3D"));
    }
};

OFFSCREEN_TEST_MAIN(tst_BG_Mode_Window, firstScreen, secondScreen)

#include "tst_BG_Mode_Window.moc"
