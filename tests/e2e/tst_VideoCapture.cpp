// The video capture thread recording for real on the test script's X display: each back-end
// ("VideoCaptureAPI") drives its grabber, paces frames onto the capture clock and puts them into
// the frame queue, where the test pops and inspects them.
#include "support/LogCapture.h"
#include "support/PrivateXServer.h"
#include "support/TestSupport.h"
#include "support/TestWindow.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "media/CaptureClockQpc.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "capture/video_capture_thread_win.h"
#include "platform/WindowSystem.h"

#include <QApplication>
#include <QMutex>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QtTest>

using testsupport::TestWindow;

namespace {

constexpr int kFps = 20;
constexpr std::int64_t kIntervalUs = 1000000 / kFps;

struct FrameInfo
{
    std::int64_t pts = 0;
    std::int64_t duration = 0;
    QSize size;
    QColor probe; // the colour at the probe point, invalid when it lies outside the frame
};

QColor pixel(const AVFrame* frame, QPoint p)
{
    if (p.x() < 0 || p.y() < 0 || p.x() >= frame->width || p.y() >= frame->height)
        return QColor();
    const uint8_t* d = frame->data[0] + p.y() * frame->linesize[0] + p.x() * 4;
    return QColor(d[2], d[1], d[0]);
}

// One capture thread on its own queue and clock, as a recording session would set it up.
class CaptureRun
{
public:
    explicit CaptureRun(const QString& api)
    {
        auto& settings = SettingsStore::instance();
        settings.setValue(settings::kVideoGroup, settings::kVideoCaptureApi, api);
        settings.setValue(settings::kVideoGroup, settings::kFps, kFps);
        clock_->restart();
        thread_.setClock(clock_);
        QObject::connect(
            &thread_, &video_capture_thread_win::msgSignal, &thread_,
            [this](MSG_TYPE type, const QString& text) {
                QMutexLocker lock(&mutex_);
                messages_.append({type, text});
            },
            Qt::DirectConnection);
    }
    ~CaptureRun() { stop(); }

    void startScreen(QRect screen, bool areaMode = false, QRect area = {})
    {
        if (areaMode)
            thread_.setCaptureArea(area.x(), area.y(), area.width(), area.height());
        thread_.init(TargetScreen, QString(), screen, areaMode);
        thread_.start();
    }
    void startWindow(NativeWindow window)
    {
        thread_.setTargetWindow(window);
        thread_.init(TargetWindow, QStringLiteral("test window"), QRect(), false);
        thread_.start();
    }
    // Frame coordinates whose colour each frame records.
    void setProbe(QPoint point) { probe_ = point; }

    // Pops whatever is queued, without blocking.
    void drain()
    {
        FrameQueueItem item;
        while (queue_.size() > 0 && queue_.pop(item)) {
            const AVFrame* f = item.frame.get();
            frames_.append(
                {f->pts, frameDuration(f), QSize(f->width, f->height), pixel(f, probe_)});
            last_ = std::move(item.frame);
        }
    }
    // Drains until a frame with the probe colour arrives after the first `after` frames.
    bool waitForProbe(QColor colour, int after = 0, int timeoutMs = 8000)
    {
        QDeadlineTimer deadline(timeoutMs);
        do {
            drain();
            for (qsizetype i = after; i < frames_.size(); ++i)
                if (frames_[i].probe == colour)
                    return true;
            QTest::qWait(20);
        } while (!deadline.hasExpired());
        return false;
    }
    bool waitForFrames(int count, int timeoutMs = 8000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (drain(), frames_.size() < count && !deadline.hasExpired())
            QTest::qWait(20);
        return frames_.size() >= count;
    }
    void stop()
    {
        thread_.requestStop();
        thread_.wait();
        drain();
    }

    video_capture_thread_win& thread() { return thread_; }
    FrameQueue& queue() { return queue_; }
    const QList<FrameInfo>& frames() const { return frames_; }
    const SharedFrame& lastFrame() const { return last_; }
    bool hasMessage(MSG_TYPE type, const QString& text)
    {
        QMutexLocker lock(&mutex_);
        return messages_.contains(qMakePair(type, text));
    }
    bool hasMessageOfType(MSG_TYPE type)
    {
        QMutexLocker lock(&mutex_);
        for (const auto& m : std::as_const(messages_))
            if (m.first == type)
                return true;
        return false;
    }

private:
    FrameQueue queue_;
    std::shared_ptr<CaptureClockQpc> clock_ = std::make_shared<CaptureClockQpc>();
    video_capture_thread_win thread_{&queue_};
    QPoint probe_;
    QList<FrameInfo> frames_;
    SharedFrame last_;
    QMutex mutex_;
    QList<QPair<MSG_TYPE, QString>> messages_;
};

// Every frame takes the next slot of the clock: pts 0, 1, 2... frame intervals.
bool consecutiveSlots(const QList<FrameInfo>& frames, QString* why)
{
    for (qsizetype i = 0; i < frames.size(); ++i) {
        if (frames[i].pts != i * kIntervalUs || frames[i].duration != kIntervalUs) {
            *why = QStringLiteral("frame %1 has pts %2 and duration %3")
                       .arg(i)
                       .arg(frames[i].pts)
                       .arg(frames[i].duration);
            return false;
        }
    }
    return true;
}

void addApiColumns()
{
    QTest::addColumn<QString>("api");
    QTest::newRow("WGC/Composite") << QStringLiteral("WGC");
    QTest::newRow("DXGI/SHM") << QStringLiteral("DXGI");
    QTest::newRow("GDI/plain") << QStringLiteral("GDI");
}

// A scope that sets an environment variable and puts the old value back.
class EnvOverride
{
public:
    EnvOverride(const char* name, const QByteArray& value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~EnvOverride() { restore(); }
    void restore()
    {
        if (done_)
            return;
        done_ = true;
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
    bool done_ = false;
};

} // namespace

class tst_VideoCapture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void screenTargetFollowsContent_data() { addApiColumns(); }
    void screenTargetFollowsContent();
    void windowTargetHasOuterSize_data() { addApiColumns(); }
    void windowTargetHasOuterSize();
    void coveredWindowStillRecordedByComposite();
    void areaScaledToPhysicalPixels_data() { addApiColumns(); }
    void areaScaledToPhysicalPixels();
    void closedWindowEndsCapture_data();
    void closedWindowEndsCapture();
    void pauseProducesNoFrames_data();
    void pauseProducesNoFrames();
    void missingCompositeFallsBackToPlainReads();

private:
    std::unique_ptr<WindowSystem> ws_;
    QRect screen_;
};

void tst_VideoCapture::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        QSKIP("No X display; run through tests/run_tests.sh.");
    testsupport::isolateUserFolders();
    QString error;
    ws_ = WindowSystem::create(&error);
    QVERIFY2(ws_, qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(ws_->windowManagerRunning(), 15000);
    screen_ = QGuiApplication::primaryScreen()->geometry();
    // The composite grabber draws the pointer: keep it in a corner, away from the test windows.
    if (!QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QProcess::execute(QStringLiteral("xdotool"),
                          {QStringLiteral("mousemove"), QString::number(screen_.right() - 2),
                           QString::number(screen_.bottom() - 2)});
}

void tst_VideoCapture::screenTargetFollowsContent()
{
    QFETCH(QString, api);
    TestWindow window(QColor(220, 30, 40), QRect(200, 150, 300, 200));
    QVERIFY(window.showAndWait());

    CaptureRun run(api);
    run.setProbe(window.globalRect().center() - screen_.topLeft());
    run.startScreen(screen_);
    QVERIFY(run.waitForProbe(QColor(220, 30, 40)));
    const qsizetype before = run.frames().size();
    window.setColour(QColor(30, 60, 230));
    QVERIFY(window.waitPainted());
    QVERIFY(run.waitForProbe(QColor(30, 60, 230), int(before)));
    run.stop();

    QVERIFY(run.queue().isClosed());
    QString why;
    QVERIFY2(consecutiveSlots(run.frames(), &why), qPrintable(why));
    const QSize even(screen_.width() & ~1, screen_.height() & ~1);
    for (const FrameInfo& f : run.frames())
        QCOMPARE(f.size, even);
    QCOMPARE(run.lastFrame()->format, int(AV_PIX_FMT_BGRA));
    QVERIFY(!run.hasMessageOfType(MSG_ERROR));
}

void tst_VideoCapture::windowTargetHasOuterSize()
{
    QFETCH(QString, api);
    TestWindow window(QColor(20, 200, 60), QRect(420, 260, 321, 241), TestWindow::Frame::Framed);
    QVERIFY(window.showAndWait());
    const NativeWindow id = window.nativeId();
    // The window manager's frame is around the client area.
    QTRY_VERIFY(ws_->outerRect(id).contains(window.globalRect()) &&
                ws_->outerRect(id) != window.globalRect());
    const QRect outer = ws_->outerRect(id);

    CaptureRun run(api);
    run.setProbe(window.globalRect().center() - outer.topLeft());
    run.startWindow(id);
    QVERIFY(run.waitForProbe(QColor(20, 200, 60)));
    run.stop();

    const QSize even(outer.width() & ~1, outer.height() & ~1);
    QCOMPARE(run.frames().last().size, even);
    QString why;
    QVERIFY2(consecutiveSlots(run.frames(), &why), qPrintable(why));
    // The client area in the frame is the window's colour from edge to edge.
    const QPoint client = window.globalRect().topLeft() - outer.topLeft();
    QCOMPARE(pixel(run.lastFrame().get(), client + QPoint(1, 1)), QColor(20, 200, 60));
    QCOMPARE(pixel(run.lastFrame().get(), client + QPoint(window.width() - 3, window.height() - 3)),
             QColor(20, 200, 60));
    QVERIFY(!run.hasMessageOfType(MSG_ERROR));
}

void tst_VideoCapture::coveredWindowStillRecordedByComposite()
{
    TestWindow below(QColor(240, 200, 10), QRect(600, 400, 280, 200));
    QVERIFY(below.showAndWait());
    CaptureRun run(QStringLiteral("WGC"));
    run.setProbe(QPoint(140, 100));
    run.startWindow(below.nativeId());
    QVERIFY(run.waitForProbe(QColor(240, 200, 10)));

    TestWindow cover(QColor(120, 0, 160), QRect(550, 350, 400, 320));
    QVERIFY(cover.showAndWait());
    // The screen shows the cover over the recorded window now.
    const QImage onScreen =
        QGuiApplication::primaryScreen()
            ->grabWindow(0, below.globalRect().center().x(), below.globalRect().center().y(), 1, 1)
            .toImage();
    QCOMPARE(QColor(onScreen.pixel(0, 0)), QColor(120, 0, 160));

    run.drain();
    const int covered = int(run.frames().size());
    QVERIFY(run.waitForFrames(covered + 5));
    run.stop();
    for (qsizetype i = covered; i < run.frames().size(); ++i)
        QCOMPARE(run.frames()[i].probe, QColor(240, 200, 10));
}

void tst_VideoCapture::areaScaledToPhysicalPixels()
{
    QFETCH(QString, api);
    // At a device pixel ratio of 1.5 the logical area 100, 100, 200 x 120 is the physical
    // rectangle 150, 150, 300 x 180, where this window lies exactly.
    TestWindow window(QColor(250, 0, 250), QRect(150, 150, 300, 180));
    QVERIFY(window.showAndWait());

    EnvOverride scale("QT_SCALE_FACTOR", "1.5");
    CaptureRun run(api);
    run.setProbe(QPoint(150, 90));
    run.startScreen(screen_, true, QRect(100, 100, 200, 120));
    const bool arrived = run.waitForFrames(1);
    scale.restore();
    QVERIFY(arrived);
    QVERIFY(run.waitForProbe(QColor(250, 0, 250)));
    run.stop();

    QCOMPARE(run.frames().last().size, QSize(300, 180));
    const AVFrame* frame = run.lastFrame().get();
    for (const QPoint p : {QPoint(0, 0), QPoint(299, 0), QPoint(0, 179), QPoint(299, 179)})
        QCOMPARE(pixel(frame, p), QColor(250, 0, 250));
    QVERIFY(!run.hasMessageOfType(MSG_ERROR));
}

void tst_VideoCapture::closedWindowEndsCapture_data()
{
    QTest::addColumn<QString>("api");
    QTest::addColumn<QString>("error");
    QTest::newRow("WGC/Composite")
        << QStringLiteral("WGC") << QStringLiteral("Target window is closed or invalid.");
    QTest::newRow("DXGI/SHM") << QStringLiteral("DXGI")
                              << QStringLiteral("Target window was closed during recording.");
    QTest::newRow("GDI/plain") << QStringLiteral("GDI")
                               << QStringLiteral("Target window was closed during GDI recording.");
}

void tst_VideoCapture::closedWindowEndsCapture()
{
    QFETCH(QString, api);
    QFETCH(QString, error);
    auto window = std::make_unique<TestWindow>(QColor(0, 160, 160), QRect(300, 600, 200, 160));
    QVERIFY(window->showAndWait());
    CaptureRun run(api);
    run.startWindow(window->nativeId());
    QVERIFY(run.waitForFrames(1));

    window.reset();
    // The thread ends by itself and closes the queue, so a mux would finish the file.
    QTRY_VERIFY_WITH_TIMEOUT(run.thread().isFinished(), 8000);
    QVERIFY(run.queue().isClosed());
    QVERIFY(run.hasMessage(MSG_ERROR, error));
}

void tst_VideoCapture::pauseProducesNoFrames_data()
{
    QTest::addColumn<QString>("api");
    // Shared-memory reads give frames only when the screen changes, so a still screen says
    // nothing about pausing there.
    QTest::newRow("WGC/Composite") << QStringLiteral("WGC");
    QTest::newRow("GDI/plain") << QStringLiteral("GDI");
}

void tst_VideoCapture::pauseProducesNoFrames()
{
    QFETCH(QString, api);
    TestWindow window(QColor(90, 90, 20), QRect(900, 120, 160, 120));
    QVERIFY(window.showAndWait());
    CaptureRun run(api);
    run.startWindow(window.nativeId());
    QVERIFY(run.waitForFrames(3));

    run.thread().pause();
    // A frame being handed over when the flag was set may still arrive.
    QTest::qWait(300);
    run.drain();
    const qsizetype paused = run.frames().size();
    QTest::qWait(800);
    run.drain();
    QCOMPARE(run.frames().size(), paused);

    run.thread().resume();
    QVERIFY(run.waitForFrames(int(paused) + 1));
    run.stop();
    // The first image after the pause fills the slots of the pause: the pts stay consecutive.
    QString why;
    QVERIFY2(consecutiveSlots(run.frames(), &why), qPrintable(why));
    QVERIFY(run.frames().last().pts >= (paused + 1) * kIntervalUs);
}

void tst_VideoCapture::missingCompositeFallsBackToPlainReads()
{
    if (!testsupport::PrivateXServer::available())
        QSKIP("Xvfb is not installed.");
    testsupport::PrivateXServer server(QSize(320, 240),
                                       {QStringLiteral("-extension"), QStringLiteral("Composite")});
    QVERIFY(server.start());

    testsupport::LogCapture log;
    {
        // The thread opens its display connections when it starts; this suite's own windows
        // stay on the main display.
        EnvOverride display("DISPLAY", server.display());
        CaptureRun run(QStringLiteral("WGC"));
        run.startScreen(QRect(0, 0, 320, 240));
        const bool arrived = run.waitForFrames(3);
        display.restore();
        QVERIFY(arrived);
        run.stop();
        QCOMPARE(run.frames().last().size, QSize(320, 240));
        QVERIFY(!run.hasMessageOfType(MSG_ERROR));
    }
    const QStringList lines = log.take();
    QVERIFY(lines.contains(QStringLiteral("GraphicsCaptureItem is not supported on this system.")));
    QVERIFY(lines.contains(QStringLiteral("Starting GDI/PrintWindow capture fallback...")));
}

int main(int argc, char** argv)
{
    // Without a display the suite skips instead of failing to start.
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    tst_VideoCapture test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_VideoCapture.moc"
