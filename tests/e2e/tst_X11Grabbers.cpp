// Window queries and the three grabbers against the real X display of the test script.
#include "platform/ScreenGrabber.h"
#include "platform/WindowSystem.h"
#include "capture/VideoCaptureFrames.h"
#include "support/TestWindow.h"
#include "ui/WindowPreview.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

namespace {

// The BGRA pixel at a point of a frame, by default its centre.
QColor centre(const SharedFrame& frame, QPoint at = {-1, -1})
{
    if (at.x() < 0)
        at = QPoint(frame->width / 2, frame->height / 2);
    const uint8_t* p = frame->data[0] + at.y() * frame->linesize[0] + at.x() * 4;
    return QColor(p[2], p[1], p[0], p[3]);
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

// The three planes of a 4:2:0 picture, rows without their padding.
QByteArray planes(const AVFrame& picture)
{
    QByteArray bytes;
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        for (int y = 0; y < picture.height >> shift; ++y)
            bytes.append(reinterpret_cast<const char*>(picture.data[plane]) +
                             std::ptrdiff_t(y) * picture.linesize[plane],
                         picture.width >> shift);
    }
    return bytes;
}

bool xdotool(const QStringList& arguments)
{
    if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        return false;
    return QProcess::execute(QStringLiteral("xdotool"), arguments) == 0;
}

} // namespace

using testsupport::TestWindow;

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

    std::unique_ptr<WindowSystem> ws_;

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("No X display; run through tests/run_tests.sh.");
        QString error;
        ws_ = WindowSystem::create(&error);
        QVERIFY2(ws_, qPrintable(error));
        // The test script starts the window manager alongside the first suite.
        QTRY_VERIFY_WITH_TIMEOUT(ws_->windowManagerRunning(), 15000);
    }

    void windowQueries()
    {
        auto owned = std::make_unique<TestWindow>(Qt::red, QRect(80, 90, 240, 160),
                                                  TestWindow::Frame::Framed);
        TestWindow& window = *owned;
        QVERIFY(window.showAndWait());
        const NativeWindow id = window.nativeId();
        QTRY_VERIFY(ws_->isVisible(id));
        QVERIFY(!ws_->isWindow(0));
        const WindowState state = ws_->windowState(id);
        QVERIFY(state.exists && state.visible && !state.minimised);
        QCOMPARE(state.outer, ws_->outerRect(id));

        // The outer rectangle holds the client area and the window manager's frame.
        QTRY_VERIFY(ws_->outerRect(id).contains(window.globalRect()));
        QVERIFY(ws_->outerRect(id).height() > window.height());

        if (!xdotool({QStringLiteral("windowminimize"), QString::number(id)}))
            QSKIP("xdotool is not available to minimise a window.");
        QTRY_VERIFY(ws_->isMinimised(id) && !ws_->isVisible(id));
        QVERIFY(ws_->windowState(id).exists && ws_->windowState(id).minimised);

        ws_->restore(id);
        QTRY_VERIFY(!ws_->isMinimised(id) && ws_->isVisible(id));

        owned.reset();
        QTRY_VERIFY(!ws_->isWindow(id));
        QVERIFY(!ws_->windowState(id).exists);
    }

    void realPixels_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("window");
        QTest::newRow("composite window, covered") << int(ScreenGrabber::Kind::Composite) << true;
        QTest::newRow("shared memory screen rect")
            << int(ScreenGrabber::Kind::SharedMemory) << false;
        QTest::newRow("plain window with frame") << int(ScreenGrabber::Kind::Compatible) << true;
        QTest::newRow("plain screen rect") << int(ScreenGrabber::Kind::Compatible) << false;
    }

    // Each grabber reads the pixels on the display: a window (its outer image, frame included, and
    // for the composite kind even while another window covers it) or a rectangle of the screen.
    void realPixels()
    {
        QFETCH(int, kind);
        QFETCH(bool, window);
        TestWindow target(QColor(200, 30, 60), QRect(420, 260, 300, 200),
                          TestWindow::Frame::Framed);
        QVERIFY(target.showAndWait());
        const NativeWindow id = target.nativeId();
        QTRY_VERIFY(ws_->outerRect(id).contains(target.globalRect()));
        const QRect inner = target.globalRect().adjusted(10, 10, -10, -10);
        std::unique_ptr<TestWindow> cover;
        if (kind == int(ScreenGrabber::Kind::Composite)) {
            cover = std::make_unique<TestWindow>(Qt::green, QRect(400, 240, 400, 300));
            QVERIFY(cover->showAndWait());
        }

        QString error;
        auto grabber = ScreenGrabber::create(ScreenGrabber::Kind(kind), &error);
        QVERIFY2(grabber, qPrintable(error));
        grabber->setCursorCapture(false);
        if (window)
            QVERIFY(grabber->setWindow(ws_->frameWindow(id)));
        else
            QVERIFY(grabber->setScreenRect(inner));
        VideoFramePool pool;
        QTRY_SEEN(grabCentre(*grabber, pool) == QColor(200, 30, 60));
        QCOMPARE(grabber->lastSize(), window ? ws_->outerRect(id).size() : inner.size());
    }

    // The server writes straight into the memory of the frames handed out: a frame still queued
    // for the encoder must keep its image while later ones are read, also once more frames are
    // held than the grabber has segments, and after the grabber is gone.
    void sharedMemoryFramesKeepTheirImages()
    {
        TestWindow window(Qt::black, QRect(300, 300, 200, 160));
        QVERIFY(window.showAndWait());
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

    // Screen pictures made from the damaged rows alone are, byte for byte, the conversion of a
    // whole read with the pointer drawn in, after windows changed colour and the pointer moved,
    // also when a picture is reused some changes behind or was made ahead of the recording;
    // pictures still held keep their image.
    void damagedRowsMatchWholeReads()
    {
        TestWindow background(Qt::black, QRect(300, 300, 320, 240));
        QVERIFY(background.showAndWait());
        const QRect rect = background.globalRect();
        // Spots on rows of their own, far enough apart to be read apart.
        std::vector<std::unique_ptr<TestWindow>> spots;
        for (int i = 0; i < 4; ++i) {
            spots.push_back(std::make_unique<TestWindow>(
                Qt::red, QRect(rect.x() + 20 + i * 60, rect.y() + 10 + i * 60, 40, 20)));
            QVERIFY(spots.back()->showAndWait());
        }
        // The whole reads are the composite kind's own BGRA images, the pointer drawn in.
        auto damaged = ScreenGrabber::create(ScreenGrabber::Kind::Composite);
        auto whole = ScreenGrabber::create(ScreenGrabber::Kind::Composite);
        QVERIFY(damaged && whole);
        damaged->setI420Frames(true);
        QVERIFY(damaged->setScreenRect(rect) && whole->setScreenRect(rect));
        damaged->prepare(6 * std::size_t(rect.width() * rect.height()) * 3 / 2);
        VideoFramePool pool;
        QList<std::pair<SharedFrame, QByteArray>> held;
        for (int i = 0; i < 12; ++i) {
            TestWindow& spot = *spots[std::size_t(i % 4)];
            spot.setColour(QColor(QColor::fromHsv(i * 30, 255, 220).rgb()));
            QVERIFY(spot.waitPainted());
            // The pointer moves along the bottom, off the spots.
            if (!xdotool({QStringLiteral("mousemove"), QString::number(rect.x() + 10 + i * 25),
                          QString::number(rect.bottom() - 12)}))
                QSKIP("xdotool is not available to move the pointer.");
            // Once a whole read shows the change, the damage for it has been reported: one
            // picture must match at once.
            SharedFrame image;
            QTRY_VERIFY(whole->grab(pool, &image) == ScreenGrabber::Result::Frame &&
                        centre(image, spot.globalRect().center() - rect.topLeft()) ==
                            spot.colour());
            SharedFrame picture;
            QCOMPARE(damaged->grab(pool, &picture), ScreenGrabber::Result::Frame);
            QCOMPARE(picture->format, int(AV_PIX_FMT_YUV420P));
            const QByteArray expected = planes(*videoframes::toI420(pool, image));
            QVERIFY(planes(*picture) == expected);
            held.append({picture, expected});
            // Every third step keeps its picture; the others' are reused, changes behind.
            if (i % 3)
                held.removeAt(held.size() - 2);
        }
        for (const auto& [picture, expected] : held)
            QVERIFY(planes(*picture) == expected);
    }

    // The idle preview reads a window as the recording does: its own pixels where another
    // window covers it, and black outside a shaped window's bounding shape (xeyes), where its
    // off-screen image keeps stale pixels (here the window below); the picker's thumbnail too.
    void idlePreviewAndThumbnail()
    {
        TestWindow below(Qt::green, QRect(400, 240, 400, 300));
        QVERIFY(below.showAndWait());
        TestWindow shaped(Qt::red, QRect(420, 260, 300, 200));
        shaped.setMask(QRegion(0, 0, 150, 200));
        QVERIFY(shaped.showAndWait());
        TestWindow cover(Qt::blue, QRect(480, 300, 40, 40));
        QVERIFY(cover.showAndWait());
        const NativeWindow id = shaped.nativeId();
        const QPoint origin = shaped.globalRect().topLeft() - ws_->outerRect(id).topLeft();
        const QPoint covered = origin + QPoint(75, 60);
        const QPoint outside = origin + QPoint(225, 100);
        WindowPreview preview;
        QImage picture;
        QTRY_VERIFY((picture = preview.picture(*ws_, id)).pixelColor(covered) == QColor(Qt::red));
        QCOMPARE(picture.pixelColor(outside), QColor(Qt::black));
        QCOMPARE(ws_->windowImage(id).pixelColor(outside), QColor(Qt::black));
    }

    // The screen preview is shrunk to fit its box as an average of the pixels each one stands
    // for: a white column in every four comes out a quarter grey, where sampling would miss it.
    void screenPreviewAverages()
    {
        const QRect area(800, 100, 400, 200);
        TestWindow black(Qt::black, area);
        QVERIFY(black.showAndWait());
        TestWindow white(Qt::white, area.adjusted(0, 0, -200, 0));
        QRegion columns;
        for (int x = 0; x < 200; x += 4)
            columns += QRect(x, 0, 1, 200);
        white.setMask(columns);
        QVERIFY(white.showAndWait());
        TestWindow red(Qt::red, area.adjusted(200, 0, 0, 0));
        QVERIFY(red.showAndWait());

        QImage picture;
        QTRY_VERIFY(!(picture = ws_->screenImage(area, QSize(100, 100))).isNull() &&
                    picture.pixelColor(75, 25) == QColor(Qt::red));
        QCOMPARE(picture.size(), QSize(100, 50));
        for (int y = 2; y < 48; ++y) {
            for (int x = 2; x < 48; ++x) {
                const QColor grey = picture.pixelColor(x, y);
                QVERIFY2(qAbs(grey.red() - 64) <= 8 && grey.red() == grey.blue(),
                         qPrintable(QStringLiteral("%1,%2: %3").arg(x).arg(y).arg(grey.name())));
            }
            QCOMPARE(picture.pixelColor(60, y), QColor(Qt::red));
        }
        // A box larger than the area gives the area as it is.
        QCOMPARE(ws_->screenImage(area, QSize(1000, 1000)).pixelColor(4, 10), QColor(Qt::white));
    }
};

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
