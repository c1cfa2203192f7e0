// The PipeWire consumer against a private PipeWire daemon and session manager, GStreamer sources.
#include "platform/pipewire/PipeWireGrabber.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>

class tst_PipeWireGrabber : public QObject
{
    Q_OBJECT

    QProcess bus_;
    QProcess pipewire_;
    QProcess wireplumber_;
    QProcess producer_;
    int producers_ = 0;
    std::uint32_t node_ = 0;

    static bool start(QProcess& process, const QString& program, const QStringList& arguments)
    {
        process.close();
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, arguments);
        return process.waitForStarted();
    }

    // A grabber, past its first size, of a new 320x240 source ("<pattern> <format>", 2 fps).
    std::unique_ptr<PipeWireGrabber> connect(const QString& source)
    {
        const QString name = QStringLiteral("torvane-test-%1").arg(++producers_);
        start(producer_, "gst-launch-1.0",
              QProcess::splitCommand(
                  "-q videotestsrc is-live=true pattern=" + source.section(' ', 0, 0) +
                  " ! video/x-raw,width=320,height=240,framerate=2/1,format=" +
                  source.section(' ', 1) +
                  " ! pipewiresink mode=provide stream-properties=props,node.name=" + name));
        node_ = 0;
        for (int i = 0; node_ == 0 && i < 100; ++i, QTest::qWait(100)) {
            QProcess dump;
            dump.start("pw-dump", {name});
            dump.waitForFinished();
            node_ = QRegularExpression("\"id\": (\\d+)").match(dump.readAll()).captured(1).toUInt();
        }
        QString error;
        auto grabber = PipeWireGrabber::create(-1, node_, &error);
        if (!grabber || grabber->waitForSize(10000) != QSize(320, 240))
            qWarning() << "No stream of node" << node_ << error;
        return grabber;
    }

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QVERIFY(start(bus_, "dbus-daemon", {"--session", "--nofork", "--print-address=1"}) &&
                bus_.waitForReadyRead(5000));
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus_.readLine().trimmed());
        if (!start(pipewire_, "pipewire", {}))
            QSKIP("pipewire cannot start here.");
        QTRY_VERIFY(QFile::exists(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/pipewire-0"));
        QVERIFY(start(wireplumber_, "wireplumber", {}));
    }
    void cleanupTestCase()
    {
        for (QProcess* p : {&producer_, &wireplumber_, &pipewire_, &bus_})
            p->close();
    }

    // The newest buffer as a BGRA (or 4:2:0) frame, cropped and even-sized.
    void readsFrames_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QRect>("crop");
        QTest::addColumn<bool>("i420");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<Qt::GlobalColor>("colour");
        const QSize all(320, 240);
        QTest::newRow("BGRx") << "red BGRx" << QRect() << false << all << Qt::red;
        QTest::newRow("RGBx to BGRA") << "blue RGBx" << QRect() << false << all << Qt::blue;
        QTest::newRow("RGBx to 4:2:0") << "blue RGBx" << QRect() << true << all << Qt::blue;
        QTest::newRow("whole rect") << "green BGRA" << QRect({}, all) << false << all << Qt::green;
        // SMPTE bars, seven across the top two thirds: white first, green fourth.
        QTest::newRow("crop") << "smpte BGRx" << QRect(0, 10, 40, 30) << false << QSize(40, 30)
                              << Qt::white;
        QTest::newRow("odd") << "smpte BGRx" << QRect(140, 9, 35, 27) << false << QSize(34, 26)
                             << Qt::green;
        QTest::newRow("odd to 4:2:0")
            << "smpte BGRx" << QRect(140, 9, 35, 27) << true << QSize(34, 26) << Qt::green;
    }
    void readsFrames()
    {
        QFETCH(QString, source);
        QFETCH(QRect, crop);
        QFETCH(bool, i420);
        QFETCH(QSize, size);
        QFETCH(Qt::GlobalColor, colour);
        auto grabber = connect(source);
        QVERIFY(grabber && grabber->setScreenRect(crop));
        grabber->setI420Frames(i420);
        VideoFramePool pool;
        SharedFrame frame;
        QTRY_VERIFY(frame || grabber->grab(pool, &frame) == ScreenGrabber::Result::Frame);
        QCOMPARE(QSize(frame->width, frame->height), size);
        QCOMPARE(grabber->lastSize(), size);
        QCOMPARE(frame->format, i420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_BGRA);
        const int x = size.width() / 2, y = size.height() / 2;
        if (!i420) {
            const auto* p = frame->data[0] + y * frame->linesize[0] + x * 4;
            QCOMPARE(QColor(p[2], p[1], p[0]), QColor(colour));
            return;
        }
        // Limited-range BT.601, as the encoder takes it.
        const double l = 1.164 * (frame->data[0][y * frame->linesize[0] + x] - 16);
        const int u = frame->data[1][y / 2 * frame->linesize[1] + x / 2] - 128;
        const int v = frame->data[2][y / 2 * frame->linesize[2] + x / 2] - 128;
        const QColor got(std::clamp(int(l + 1.596 * v), 0, 255),
                         std::clamp(int(l - 0.813 * v - 0.391 * u), 0, 255),
                         std::clamp(int(l + 2.018 * u), 0, 255));
        const QColor want(colour);
        QVERIFY2(std::abs(got.red() - want.red()) + std::abs(got.green() - want.green()) +
                         std::abs(got.blue() - want.blue()) <
                     30,
                 qPrintable(got.name()));
    }

    // Nothing new between buffers; the producer's end ends the stream; a node that is gone, or
    // a rectangle past the stream, is refused.
    void stillThenLost()
    {
        auto grabber = connect("red BGRx");
        QVERIFY(grabber && !grabber->setScreenRect(QRect(300, 0, 40, 40)));
        VideoFramePool pool;
        SharedFrame frame;
        QTRY_VERIFY(frame || grabber->grab(pool, &frame) == ScreenGrabber::Result::Frame);
        QCOMPARE(grabber->grab(pool, &frame), ScreenGrabber::Result::NoChange);
        producer_.kill();
        QTRY_COMPARE(grabber->grab(pool, &frame), ScreenGrabber::Result::Lost);
        QVERIFY(!PipeWireGrabber::create(-1, node_, nullptr));
    }
};

QTEST_GUILESS_MAIN(tst_PipeWireGrabber)
#include "tst_PipeWireGrabber.moc"
