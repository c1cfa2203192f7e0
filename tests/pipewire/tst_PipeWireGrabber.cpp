// The PipeWire consumer against a private PipeWire daemon and session manager, GStreamer sources.
#include "platform/pipewire/PipeWireGrabber.h"
#include "support/TestSupport.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <algorithm>

namespace {

// A producer of its own, as a desktop's window stream is: each 320x240 picture is red on the
// left and blue on the right, and its crop metadata names the right half as the part shown.
class CroppedSource
{
public:
    ~CroppedSource()
    {
        if (loop_)
            pw_thread_loop_stop(loop_);
        if (stream_)
            pw_stream_destroy(stream_);
        if (loop_)
            pw_thread_loop_destroy(loop_);
    }

    // The node of the stream once it is ready for a reader; 0 when it did not come up.
    std::uint32_t start()
    {
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.process = &CroppedSource::onProcess;
            return e;
        }();
        pw_init(nullptr, nullptr);
        loop_ = pw_thread_loop_new("torvane-test-source", nullptr);
        pw_thread_loop_lock(loop_);
        stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "torvane-test-cropped",
                                       pw_properties_new(PW_KEY_MEDIA_TYPE, "Video",
                                                         PW_KEY_MEDIA_CATEGORY, "Source",
                                                         PW_KEY_MEDIA_ROLE, "Screen", nullptr),
                                       &events, this);
        std::uint8_t pod[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(pod, sizeof(pod));
        const spa_rectangle size = SPA_RECTANGLE(320, 240);
        const spa_fraction rate = SPA_FRACTION(2, 1);
        const spa_pod* params[] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
                SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
                SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size,
                SPA_POD_Int(sizeof(spa_meta_region)))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
                SPA_POD_Int(4), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
                SPA_POD_Int(320 * 240 * 4), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(320 * 4),
                SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)))};
        pw_stream_connect(
            stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
            params, 3);
        pw_thread_loop_start(loop_);
        pw_thread_loop_unlock(loop_);
        for (int i = 0; i < 100; ++i, QTest::qWait(50)) {
            pw_thread_loop_lock(loop_);
            const std::uint32_t node = pw_stream_get_node_id(stream_);
            pw_thread_loop_unlock(loop_);
            if (node != SPA_ID_INVALID)
                return node;
        }
        return 0;
    }

    // Asks for the next picture.
    void push()
    {
        pw_thread_loop_lock(loop_);
        pw_stream_trigger_process(stream_);
        pw_thread_loop_unlock(loop_);
    }

private:
    static void onProcess(void* data)
    {
        auto* self = static_cast<CroppedSource*>(data);
        pw_buffer* b = pw_stream_dequeue_buffer(self->stream_);
        if (!b)
            return;
        spa_data& d = b->buffer->datas[0];
        if (d.data && d.maxsize >= 320 * 240 * 4) {
            auto* pixels = static_cast<std::uint32_t*>(d.data);
            for (int y = 0; y < 240; ++y)
                for (int x = 0; x < 320; ++x)
                    pixels[y * 320 + x] = x < 160 ? 0xffff0000u : 0xff0000ffu;
            d.chunk->offset = 0;
            d.chunk->stride = 320 * 4;
            d.chunk->size = 320 * 240 * 4;
            if (auto* crop = static_cast<spa_meta_region*>(spa_buffer_find_meta_data(
                    b->buffer, SPA_META_VideoCrop, sizeof(spa_meta_region))))
                crop->region = SPA_REGION(160, 0, 160, 240);
        }
        pw_stream_queue_buffer(self->stream_, b);
    }

    pw_thread_loop* loop_ = nullptr;
    pw_stream* stream_ = nullptr;
};

} // namespace

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

    // A window stream's buffer is larger than the window: only the part its crop metadata names
    // is the picture.
    void windowCrop()
    {
        CroppedSource source;
        const std::uint32_t node = source.start();
        QVERIFY(node != 0);
        QString error;
        auto grabber = PipeWireGrabber::create(-1, node, &error);
        QVERIFY2(grabber, qPrintable(error));
        QVERIFY(grabber->setWindow(0));
        VideoFramePool pool;
        SharedFrame frame;
        // A desktop sends a picture when it has a new one; here the test asks for each.
        for (int i = 0; i < 100 && !frame; ++i, QTest::qWait(50)) {
            source.push();
            if (grabber->grab(pool, &frame) != ScreenGrabber::Result::Frame)
                frame.reset();
        }
        QVERIFY(frame);
        QCOMPARE(QSize(frame->width, frame->height), QSize(160, 240));
        for (int x : {0, 159}) {
            const auto* p = frame->data[0] + 120 * frame->linesize[0] + x * 4;
            QCOMPARE(QColor(p[2], p[1], p[0]), QColor(Qt::blue));
        }
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
