// Window queries and the three grabbers against the real X display of the test script.
#include "platform/ScreenGrabber.h"
#include "platform/WindowSystem.h"

#include <QApplication>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QWidget>
#include <QtTest>

namespace {

// A top-level window painted in one colour.
class ColourWindow : public QWidget
{
public:
    explicit ColourWindow(QColor colour, QRect geometry) : colour_(colour)
    {
        setWindowFlag(Qt::Window);
        setGeometry(geometry);
    }
    void setColour(QColor colour)
    {
        colour_ = colour;
        update();
    }
    NativeWindow id() { return static_cast<NativeWindow>(winId()); }
    // Client area in desktop coordinates.
    QRect globalRect() const { return QRect(mapToGlobal(QPoint(0, 0)), size()); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.fillRect(rect(), colour_);
    }

private:
    QColor colour_;
};

QColor pixel(const SharedFrame& frame, int x, int y)
{
    const uint8_t* p = frame->data[0] + y * frame->linesize[0] + x * 4;
    return QColor(p[2], p[1], p[0], p[3]);
}

QColor centre(const SharedFrame& frame)
{
    return frame ? pixel(frame, frame->width / 2, frame->height / 2) : QColor();
}

// One grab; the colour at the image centre, or an invalid colour when no frame came.
QColor grabCentre(ScreenGrabber& grabber, VideoFramePool& pool, SharedFrame* kept = nullptr)
{
    SharedFrame frame;
    if (grabber.grab(pool, &frame) != ScreenGrabber::Result::Frame)
        return QColor();
    if (kept)
        *kept = frame;
    return centre(frame);
}

bool xdotool(const QStringList& arguments)
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        return false;
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

} // namespace

// QTRY_VERIFY evaluates its condition once more after it held; a grab that returned a new frame
// reports NoChange on the next call, so the first success is kept.
#define QTRY_SEEN(condition)                                                                       \
    do {                                                                                           \
        bool seen = false;                                                                         \
        QTRY_VERIFY(seen || (seen = bool(condition)));                                             \
    } while (false)

class tst_X11Grabbers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void windowQueries();
    void monitors();
    void grabTargets_data();
    void grabTargets();
    void coveredWindowStillRecorded();
    void sharedMemoryReportsChangesOnly();
    void sharedMemoryFramesKeepTheirImages();
    void cursorDrawnWhenWanted_data();
    void cursorDrawnWhenWanted();

private:
    std::unique_ptr<WindowSystem> ws_;
};

void tst_X11Grabbers::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("No X display; run through tests/run_tests.sh.");
    QString error;
    ws_ = WindowSystem::create(&error);
    QVERIFY2(ws_, qPrintable(error));
    // The test script starts the window manager alongside the first suite.
    QTRY_VERIFY_WITH_TIMEOUT(ws_->windowManagerRunning(), 15000);
}

void tst_X11Grabbers::windowQueries()
{
    auto owned = std::make_unique<ColourWindow>(Qt::red, QRect(80, 90, 240, 160));
    ColourWindow& window = *owned;
    window.show();
    const NativeWindow id = window.id();
    QTRY_VERIFY(ws_->isVisible(id));
    QVERIFY(ws_->isWindow(id));
    QVERIFY(!ws_->isWindow(0));
    QVERIFY(!ws_->isMinimised(id));

    // The outer rectangle holds the client area and the window manager's frame.
    QTRY_VERIFY(ws_->outerRect(id).contains(window.globalRect()));
    QVERIFY(ws_->outerRect(id).height() > window.height());

    if (!xdotool({QStringLiteral("windowminimize"), QString::number(id)}))
        QSKIP("xdotool is not available to minimise a window.");
    QTRY_VERIFY(ws_->isMinimised(id));
    QTRY_VERIFY(!ws_->isVisible(id));
    QVERIFY(ws_->isWindow(id));

    ws_->restore(id);
    QTRY_VERIFY(!ws_->isMinimised(id) && ws_->isVisible(id));

    owned.reset();
    QTRY_VERIFY(!ws_->isWindow(id));
}

void tst_X11Grabbers::monitors()
{
    const auto list = ws_->monitors();
    QVERIFY(!list.isEmpty());
    int primaries = 0;
    for (const auto& m : list)
        primaries += m.primary ? 1 : 0;
    QCOMPARE(primaries, 1);

    MonitorInfo found;
    QVERIFY(ws_->monitorFromPoint(QPoint(1, 1), false, &found));
    QVERIFY(found.geometry.contains(QPoint(1, 1)));
    // Off every screen: the primary monitor, or the nearest one.
    QVERIFY(ws_->monitorFromPoint(QPoint(-5000, -5000), false, &found));
    QVERIFY(found.primary);
    QVERIFY(ws_->monitorFromPoint(QPoint(-5000, 5), true, &found));
    QVERIFY(found.geometry.contains(QPoint(0, 5)));
    QVERIFY(ws_->monitorFromRect(QRect(-100, -100, 150, 150), &found));
    QVERIFY(found.geometry.contains(QPoint(0, 0)));

    ws_->setDevicePixelRatio(1.5);
    QCOMPARE(ws_->effectiveDpi(), 144.0);
    ws_->setDevicePixelRatio(1.0);
    QCOMPARE(ws_->effectiveDpi(), 96.0);
}

void tst_X11Grabbers::grabTargets_data()
{
    QTest::addColumn<ScreenGrabber::Kind>("kind");
    QTest::addColumn<bool>("windowTarget");
    QTest::newRow("compatible window") << ScreenGrabber::Kind::Compatible << true;
    QTest::newRow("compatible screen") << ScreenGrabber::Kind::Compatible << false;
    QTest::newRow("shared memory window") << ScreenGrabber::Kind::SharedMemory << true;
    QTest::newRow("shared memory screen") << ScreenGrabber::Kind::SharedMemory << false;
    QTest::newRow("composite window") << ScreenGrabber::Kind::Composite << true;
    QTest::newRow("composite screen") << ScreenGrabber::Kind::Composite << false;
}

void tst_X11Grabbers::grabTargets()
{
    QFETCH(ScreenGrabber::Kind, kind);
    QFETCH(bool, windowTarget);

    ColourWindow window(QColor(200, 40, 20), QRect(300, 200, 320, 180));
    window.show();
    QTRY_VERIFY(ws_->isVisible(window.id()));

    QString error;
    auto grabber = ScreenGrabber::create(kind, &error);
    QVERIFY2(grabber, qPrintable(error));
    grabber->setCursorCapture(false);
    VideoFramePool pool;
    SharedFrame frame;
    if (windowTarget) {
        QVERIFY2(grabber->setWindow(window.id(), &error), qPrintable(error));
        QTRY_SEEN(grabCentre(*grabber, pool, &frame) == QColor(200, 40, 20));
        if (kind == ScreenGrabber::Kind::SharedMemory) {
            // The outer rectangle, frame included, with even sides.
            const QRect outer = ws_->outerRect(window.id());
            QCOMPARE(frame->width, outer.width() & ~1);
            QCOMPARE(frame->height, outer.height() & ~1);
        } else {
            QCOMPARE(frame->width, window.width());
            QCOMPARE(frame->height, window.height());
            QCOMPARE(pixel(frame, 0, 0), QColor(200, 40, 20));
            QCOMPARE(pixel(frame, frame->width - 1, frame->height - 1), QColor(200, 40, 20));
        }
    } else {
        // Wait for the window to be placed, then read an area inside it.
        QTRY_VERIFY(ws_->outerRect(window.id()).contains(window.globalRect()));
        QTRY_VERIFY([&] {
            const QRect area = window.globalRect().adjusted(10, 10, -10, -10);
            return grabber->setScreenRect(area) &&
                   grabCentre(*grabber, pool, &frame) == QColor(200, 40, 20) &&
                   frame->width == area.width() && frame->height == area.height();
        }());
        QCOMPARE(pixel(frame, 0, 0), QColor(200, 40, 20));
    }
    QCOMPARE(frame->format, int(AV_PIX_FMT_BGRA));
    QCOMPARE(frame->linesize[0], frame->width * 4);
    QCOMPARE(grabber->lastSize(), QSize(frame->width, frame->height));
}

void tst_X11Grabbers::coveredWindowStillRecorded()
{
    ColourWindow below(QColor(10, 180, 30), QRect(500, 300, 300, 200));
    below.show();
    QTRY_VERIFY(ws_->isVisible(below.id()));

    QString error;
    auto composite = ScreenGrabber::create(ScreenGrabber::Kind::Composite, &error);
    QVERIFY2(composite, qPrintable(error));
    QVERIFY2(composite->setWindow(below.id(), &error), qPrintable(error));
    VideoFramePool pool;
    QTRY_SEEN(grabCentre(*composite, pool) == QColor(10, 180, 30));

    ColourWindow above(QColor(20, 30, 220), QRect(450, 250, 420, 320));
    above.show();
    QTRY_VERIFY(ws_->isVisible(above.id()));
    above.raise();
    above.activateWindow();

    // The screen shows the covering window now...
    auto screen = ScreenGrabber::create(ScreenGrabber::Kind::Compatible, &error);
    QVERIFY2(screen, qPrintable(error));
    VideoFramePool screenPool;
    QTRY_SEEN(screen->setScreenRect(QRect(below.globalRect().center(), QSize(4, 4))) &&
              grabCentre(*screen, screenPool) == QColor(20, 30, 220));
    // ...while the composite grabber still reads the covered window's own image.
    QCOMPARE(grabCentre(*composite, pool), QColor(10, 180, 30));
}

void tst_X11Grabbers::sharedMemoryReportsChangesOnly()
{
    ColourWindow window(QColor(240, 200, 0), QRect(200, 500, 260, 200));
    window.show();
    QTRY_VERIFY(ws_->isVisible(window.id()));
    QTRY_VERIFY(ws_->outerRect(window.id()).contains(window.globalRect()));

    QString error;
    auto grabber = ScreenGrabber::create(ScreenGrabber::Kind::SharedMemory, &error);
    QVERIFY2(grabber, qPrintable(error));
    VideoFramePool pool;
    QTRY_SEEN(grabber->setScreenRect(window.globalRect().adjusted(20, 20, -20, -20)) &&
              grabCentre(*grabber, pool) == QColor(240, 200, 0));

    // A still screen gives no frames (the first poll may still see the last paint).
    SharedFrame frame;
    QTRY_COMPARE(grabber->grab(pool, &frame), ScreenGrabber::Result::NoChange);
    QCOMPARE(grabber->grab(pool, &frame), ScreenGrabber::Result::NoChange);

    // A change elsewhere on the screen is not a change of this area.
    ColourWindow elsewhere(Qt::white, QRect(1500, 50, 120, 80));
    elsewhere.show();
    QTRY_VERIFY(ws_->isVisible(elsewhere.id()));
    QTRY_VERIFY(grabber->grab(pool, &frame) == ScreenGrabber::Result::NoChange);

    window.setColour(QColor(0, 90, 250));
    QTRY_SEEN(grabCentre(*grabber, pool) == QColor(0, 90, 250));
    QTRY_COMPARE(grabber->grab(pool, &frame), ScreenGrabber::Result::NoChange);
}

// The server writes straight into the memory of the frames handed out: a frame still queued for
// the encoder must keep its image while later ones are read, also once more frames are held than
// the grabber has segments, and after the grabber is gone.
void tst_X11Grabbers::sharedMemoryFramesKeepTheirImages()
{
    ColourWindow window(Qt::black, QRect(300, 300, 200, 160));
    window.show();
    QTRY_VERIFY(ws_->isVisible(window.id()));
    QString error;
    auto grabber = ScreenGrabber::create(ScreenGrabber::Kind::SharedMemory, &error);
    QVERIFY2(grabber, qPrintable(error));
    QTRY_VERIFY(grabber->setScreenRect(window.globalRect().adjusted(10, 10, -10, -10)));
    VideoFramePool pool;

    QList<QColor> colours;
    QList<SharedFrame> held;
    for (int i = 0; i < 16; ++i) {
        const QColor colour(QColor::fromHsv(i * 22, 255, 200).rgb());
        window.setColour(colour);
        SharedFrame frame;
        QTRY_SEEN(grabCentre(*grabber, pool, &frame) == colour);
        colours.append(colour);
        held.append(frame);
    }
    for (int i = 0; i < held.size(); ++i)
        QCOMPARE(centre(held[i]), colours[i]);
    grabber.reset();
    for (int i = 0; i < held.size(); ++i)
        QCOMPARE(centre(held[i]), colours[i]);
}

void tst_X11Grabbers::cursorDrawnWhenWanted_data()
{
    QTest::addColumn<bool>("cursor");
    QTest::newRow("cursor on") << true;
    QTest::newRow("cursor off") << false;
}

void tst_X11Grabbers::cursorDrawnWhenWanted()
{
    QFETCH(bool, cursor);
    ColourWindow window(QColor(0, 0, 0), QRect(700, 150, 200, 200));
    window.show();
    QTRY_VERIFY(ws_->isVisible(window.id()));
    QTRY_VERIFY(ws_->outerRect(window.id()).contains(window.globalRect()));
    const QPoint inside = window.globalRect().center();
    if (!xdotool({QStringLiteral("mousemove"), QString::number(inside.x()),
                  QString::number(inside.y())}))
        QSKIP("xdotool is not available to move the pointer.");

    QString error;
    auto grabber = ScreenGrabber::create(ScreenGrabber::Kind::Composite, &error);
    QVERIFY2(grabber, qPrintable(error));
    grabber->setCursorCapture(cursor);
    QVERIFY(grabber->setWindow(window.id()));
    VideoFramePool pool;
    // Count pixels that are not the window's black: only a drawn pointer makes any.
    const auto countLit = [&] {
        SharedFrame frame;
        if (grabber->grab(pool, &frame) != ScreenGrabber::Result::Frame)
            return -1;
        int lit = 0;
        for (int y = 0; y < frame->height; ++y)
            for (int x = 0; x < frame->width; ++x)
                lit += pixel(frame, x, y) != QColor(0, 0, 0) ? 1 : 0;
        return lit;
    };
    if (cursor)
        QTRY_VERIFY(countLit() > 0);
    else
        QTRY_COMPARE(countLit(), 0);
}

int main(int argc, char** argv)
{
    // Without a display the suite skips instead of failing to start.
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tst_X11Grabbers test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_X11Grabbers.moc"
