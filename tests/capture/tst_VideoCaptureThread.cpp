
#include "capture/FramePacer.h"
#include "capture/video_capture_thread_win.h"
#include "media/CaptureClockQpc.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "support/FakeCapture.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <QtTest>

using testsupport::FakeCaptureWorld;
using Kind = ScreenGrabber::Kind;
using Result = ScreenGrabber::Result;

namespace {

constexpr int kFps = 10;
constexpr std::int64_t kSlotUs = 1000000 / kFps;
constexpr NativeWindow kWindow = 0x400001;

// A report of the thread as the test records it.
QString report(MSG_TYPE type, const QString& text)
{
    return QStringLiteral("%1 %2").arg(int(type)).arg(text);
}

struct Frame
{
    std::int64_t pts = 0;
    std::int64_t duration = 0;
    QSize size;
    int grab = 0; // which grab of its grabber the image came from
    const void* buffer = nullptr;
};

// One recording of the capture thread on the fake timeline, stopped at stopUs.
struct Run
{
    explicit Run(const QString& api)
    {
        const QVariantHash stored{{"VideoSett/VideoCaptureAPI", api}};
        thread.setCapture(testsupport::recordingSettings(stored).captureKind, kFps);
        world.desktop.windows.insert(kWindow, {});
        QObject::connect(
            &thread, &video_capture_thread_win::msgSignal, &thread,
            [this](MSG_TYPE type, const QString& text) { messages << report(type, text); },
            Qt::DirectConnection);
    }

    void record(bool window, std::int64_t stopUs, std::function<void(std::int64_t)> events = {},
                QRect area = {})
    {
        world.at = [this, stopUs, events](std::int64_t now) {
            if (events)
                events(now);
            if (now >= stopUs)
                thread.requestStop();
        };
        thread.init(window ? TargetWindow : TargetScreen, {}, QRect(0, 0, 1920, 1080),
                    area.isValid());
        thread.setTargetWindow(kWindow);
        thread.setCaptureArea(area.x(), area.y(), area.width(), area.height());
        const auto clock = world.clock();
        thread.setClock(clock);
        thread.setPlatform(world.platform());
        if (stream) {
            // The desktop's stream of the window (window 0 of the fake desktop), handed over.
            world.desktop.windows.insert(0, target());
            thread.setStream(world.platform().createGrabber(Kind::SharedMemory, nullptr),
                             target().outer.size());
        }
        queue.setProducers(1);
        if (held)
            thread.startGate().hold();
        thread.start();
        if (held) { // as the session starts it: the clock once the capture is ready
            QVERIFY(thread.startGate().waitReady(std::chrono::seconds(20)));
            clock->restart();
            thread.startGate().open();
        }
        QVERIFY(thread.wait(20000));
        QVERIFY(queue.isClosed());
        FrameQueueItem item;
        while (queue.size() > 0 && queue.pop(item))
            if (item.frame->data[0]) // not one of a test's fillers
                frames.append({item.frame->pts, frameDuration(item.frame.get()),
                               QSize(item.frame->width, item.frame->height), item.frame->data[0][0],
                               item.frame->data[0]});
    }

    // Every frame takes the slot after the one before, whatever filled it.
    bool consecutive() const
    {
        for (qsizetype i = 0; i < frames.size(); ++i)
            if (frames[i].pts != i * kSlotUs || frames[i].duration != kSlotUs)
                return false;
        return !frames.isEmpty();
    }

    // Slots that repeat the image of the slot before.
    int repeats() const
    {
        int count = 0;
        for (qsizetype i = 1; i < frames.size(); ++i)
            count += frames[i].buffer == frames[i - 1].buffer;
        return count;
    }

    testsupport::FakeWindow& target() { return world.desktop.windows[stream ? 0 : kWindow]; }
    qsizetype grabs() const { return world.calls.count(QStringLiteral("grab")); }

    bool stream = false;
    bool held = false;
    FakeCaptureWorld world;
    // Read only after the run: nothing is dropped for want of an encoder.
    FrameQueue queue{4096, std::int64_t(1) << 40};
    video_capture_thread_win thread{&queue};
    QStringList messages;
    QList<Frame> frames;
};

} // namespace

class tst_VideoCaptureThread : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }

    void windowClosedEndsCapture_data()
    {
        QTest::addColumn<QString>("api");
        QTest::addColumn<QString>("message");
        QTest::newRow("composite") << "WGC"
                                   << "Target window is closed or invalid.";
        QTest::newRow("shared memory") << "DXGI"
                                       << "Target window was closed during recording.";
        QTest::newRow("plain") << "GDI"
                               << "Target window was closed during GDI recording.";
    }

    void windowClosedEndsCapture()
    {
        QFETCH(QString, api);
        QFETCH(QString, message);
        testsupport::LogCapture log;
        Run run(api);
        run.record(true, 60 * 1000000, [&run](std::int64_t now) {
            if (now >= 500000)
                run.world.desktop.windows.remove(kWindow);
        });
        QCOMPARE(run.messages, QStringList{report(MSG_ERROR, message)});
        // The log adds what is gone on X; the box keeps the plain text.
        QVERIFY(log.take().contains(message + " X window 0x400001 does not exist."));
        QVERIFY(run.consecutive());
        QVERIFY(run.frames.last().pts < 700000);
    }

    void gapWithoutImages_data()
    {
        QTest::addColumn<QString>("api");
        QTest::addColumn<bool>("paused"); // else the window is minimised
        QTest::addColumn<bool>("restoredByCapture");
        QTest::newRow("composite, minimised") << "WGC" << false << true;
        QTest::newRow("shared memory, minimised") << "DXGI" << false << false;
        QTest::newRow("plain, minimised") << "GDI" << false << false;
        // The session stops its clock while paused, so in a recording these slots do not exist.
        QTest::newRow("shared memory, paused") << "DXGI" << true << false;
    }

    // Minimised by the user or paused from 0.5 s to 1.5 s: no grabs (unless the capture restores
    // the window first), and the first image after it fills the slots of the gap.
    void gapWithoutImages()
    {
        QFETCH(QString, api);
        QFETCH(bool, paused);
        QFETCH(bool, restoredByCapture);
        Run run(api);
        qsizetype grabsAtStart = -1;
        qsizetype grabsAtEnd = -1;
        run.record(!paused, 2 * 1000000, [&](std::int64_t now) {
            if (now >= 500000 && grabsAtStart < 0) {
                grabsAtStart = run.grabs();
                if (paused)
                    run.thread.pause();
                else
                    run.target().minimised = true;
            }
            if (now >= 1500000 && grabsAtEnd < 0) {
                grabsAtEnd = run.grabs();
                if (paused)
                    run.thread.resume();
                else
                    run.target().minimised = false;
            }
        });
        QCOMPARE(run.target().restores, restoredByCapture ? 1 : 0);
        QVERIFY(run.consecutive());
        QVERIFY(run.frames.size() >= 2 * kFps);
        if (!restoredByCapture) {
            QCOMPARE(grabsAtEnd, grabsAtStart);
            QVERIFY(std::any_of(run.frames.begin(), run.frames.end(),
                                [](const Frame& f) { return f.pts >= 600000 && f.pts < 1400000; }));
            QVERIFY(run.repeats() >= 8);
        }
    }

    void resizedWindow_data()
    {
        QTest::addColumn<QString>("api");
        QTest::addColumn<int>("grow");
        QTest::addColumn<QSize>("lastSize");
        QTest::addColumn<int>("setUps"); // grabbers made
        QTest::newRow("composite, 5 px: same frames") << "WGC" << 5 << QSize(640, 480) << 1;
        QTest::newRow("composite, 6 px: new size") << "WGC" << 6 << QSize(646, 486) << 1;
        QTest::newRow("plain, 2 px: set up again") << "GDI" << 2 << QSize(642, 482) << 2;
        QTest::newRow("shared memory: crop follows") << "DXGI" << 6 << QSize(646, 486) << 1;
        QTest::newRow("desktop's stream: first size kept") << "stream" << 6 << QSize(640, 480) << 1;
    }

    void resizedWindow()
    {
        QFETCH(QString, api);
        QFETCH(int, grow);
        QFETCH(QSize, lastSize);
        QFETCH(int, setUps);
        Run run(api);
        run.stream = api == QLatin1String("stream");
        run.record(true, 1000000, [&](std::int64_t now) {
            if (now >= 500000)
                run.target().outer.setSize(QSize(640 + grow, 480 + grow));
        });
        QVERIFY(!run.frames.isEmpty());
        QCOMPARE(run.frames.first().size, QSize(640, 480));
        QCOMPARE(run.frames.last().size, lastSize);
        QCOMPARE(run.world.calls.filter(QStringLiteral("create")).size(), setUps);
        // A new set-up keeps the recording's clock: the slots go on.
        QVERIFY(run.consecutive());
    }

    void areaOffTheScreen_data()
    {
        QTest::addColumn<QString>("api");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("message");
        QTest::newRow("composite") << "WGC"
                                   << "Failed to convert texture to AVFrame."
                                   << "";
        QTest::newRow("shared memory") << "DXGI"
                                       << "Failed to convert DXGI texture to AVFrame."
                                       << "";
        QTest::newRow("plain") << "GDI"
                               << ""
                               << "Invalid capture dimensions for GDI capture.";
    }

    void areaOffTheScreen()
    {
        // One pixel too wide for the 1920 x 1080 screen.
        QFETCH(QString, api);
        QFETCH(QString, line);
        QFETCH(QString, message);
        testsupport::LogCapture log;
        Run run(api);
        run.record(false, 500000, {}, QRect(1281, 0, 640, 360));
        QVERIFY(run.frames.isEmpty());
        const QStringList lines = log.take();
        if (!line.isEmpty()) {
            QVERIFY(lines.contains(line));
            QVERIFY(!lines.filter("Invalid capture area parameters: startX=1281").isEmpty());
        }
        QCOMPARE(run.messages,
                 message.isEmpty() ? QStringList() : QStringList{report(MSG_ERROR, message)});
    }

    void fallsBackToPlainReads_data()
    {
        QTest::addColumn<QString>("api");
        QTest::addColumn<QString>("failure"); // of the chosen grabber
        QTest::addColumn<QString>("warning"); // sent to the session; empty: only logged
        QTest::newRow("composite missing") << "WGC"
                                           << "missing"
                                           << "";
        QTest::newRow("shared memory missing") << "DXGI"
                                               << "missing"
                                               << "Failed to get DXGI device. Falling back to GDI.";
        QTest::newRow("composite refuses the window")
            << "WGC"
            << "refuses"
            << "Failed to create capture item. Falling back to GDI.";
        QTest::newRow("shared memory refuses the screen")
            << "DXGI"
            << "refuses"
            << "Failed to duplicate output. Falling back to GDI.";
        QTest::newRow("shared memory lost while recording")
            << "DXGI"
            << "lost"
            << "Failed to reinitialize DXGI output duplication. Falling back to GDI.";
    }

    void fallsBackToPlainReads()
    {
        QFETCH(QString, api);
        QFETCH(QString, failure);
        QFETCH(QString, warning);
        Run run(api);
        const Kind chosen = api == QLatin1String("WGC") ? Kind::Composite : Kind::SharedMemory;
        if (failure == QLatin1String("missing"))
            run.world.unavailable << chosen;
        if (failure == QLatin1String("refuses"))
            run.world.refusing << chosen;
        if (failure == QLatin1String("lost"))
            run.world.answer = [chosen](Kind kind, int grab) {
                return kind == chosen && grab >= 5 ? Result::Lost : Result::Frame;
            };
        run.record(chosen == Kind::Composite, 2 * 1000000);
        QCOMPARE(run.world.calls.filter(QStringLiteral("create")).last(),
                 QStringLiteral("create Compatible"));
        QCOMPARE(run.messages.join(QString()),
                 warning.isEmpty() ? QString() : report(MSG_WARNING, warning));
        // The plain reads go on where the other grabber stopped.
        QVERIFY(run.consecutive());
        QVERIFY(run.frames.size() >= 2 * kFps);
    }

    void stillScreenLastsUntilStop()
    {
        // The shared-memory reads see no change after the third image.
        Run run(QStringLiteral("DXGI"));
        run.world.answer = [](Kind, int grab) {
            return grab < 3 ? Result::Frame : Result::NoChange;
        };
        // Letting the grabber go takes five slots, which come after the stop.
        run.world.releaseCostUs = 5 * kSlotUs;
        run.record(false, 2 * 1000000);
        QVERIFY(run.consecutive());
        QVERIFY(run.frames.size() >= 2 * kFps && run.frames.size() <= 2 * kFps + 1);
        QCOMPARE(run.frames.last().grab, 2);
    }

    void slowGrabsKeepEverySlot_data()
    {
        QTest::addColumn<int>("everyNth");     // which grabs are slow
        QTest::addColumn<int>("slowPercent");  // of a slot
        QTest::addColumn<int>("prepareSlots"); // while the session holds the capture
        QTest::newRow("every grab 70%") << 1 << 70 << 0;
        QTest::newRow("every tenth grab 150%") << 10 << 150 << 0;
        QTest::newRow("a preparation of five slots") << 1 << 0 << 5;
    }

    void slowGrabsKeepEverySlot()
    {
        // Still each slot gets an image of its own: after a grab longer than a slot the loop takes
        // the next image at once instead of falling behind, and a held capture prepares its
        // grabber for all the queue's bytes before the clock starts, grabbing nothing.
        QFETCH(int, everyNth);
        QFETCH(int, slowPercent);
        QFETCH(int, prepareSlots);
        Run run(QStringLiteral("DXGI"));
        run.held = prepareSlots > 0;
        run.world.prepareCostUs = prepareSlots * kSlotUs;
        run.world.grabCostUs = kSlotUs / 20;
        int grabs = 0;
        run.world.answer = [&](Kind, int) {
            if (++grabs % everyNth == 0)
                run.world.advance(kSlotUs * slowPercent / 100);
            return Result::Frame;
        };
        run.record(false, 3 * 1000000);
        QVERIFY(run.consecutive());
        QCOMPARE(run.repeats(), 0);
        const QStringList beforeGrabs = run.world.calls.mid(0, run.world.calls.indexOf("grab"));
        QCOMPARE(beforeGrabs.last(), QStringLiteral("prepare %1").arg(run.queue.byteBudget()));
    }

    void dropsEvenlyWithinTheByteBudget_data()
    {
        QTest::addColumn<int>("encodePercent"); // of a slot, per frame; 0: stalled
        QTest::addColumn<double>("dropShare");  // of the slots, once the queue has filled
        QTest::addColumn<int>("lagReports");
        QTest::newRow("fast enough") << 90 << 0.0 << 0;
        QTest::newRow("10% too slow") << 110 << 1 - 1 / 1.1 << 0;
        QTest::newRow("half the speed") << 200 << 0.5 << 1;
        QTest::newRow("stalled") << 0 << 1.0 << 1;
    }

    // An encoder slower than the frame rate, on the fake clock: the queue never holds more than
    // its byte budget (and the frame that crossed it), the slots it cannot take are dropped one
    // at a time among the kept ones, and 3 seconds of drops ask the user once.
    void dropsEvenlyWithinTheByteBudget()
    {
        QFETCH(int, encodePercent);
        QFETCH(double, dropShare);
        QFETCH(int, lagReports);
        constexpr int kFrameBytes = 100000;
        constexpr int kBudgetFrames = 10;
        constexpr int kSeconds = 10;
        constexpr int kRate = 60;
        constexpr std::int64_t kSlot = 1000000 / kRate;
        FrameQueue queue(1024, std::int64_t(kBudgetFrames) * kFrameBytes);
        std::int64_t now = 0;
        auto clock = std::make_shared<CaptureClockQpc>([&now] { return now; }, 1000000);
        clock->restart();
        FramePacer::Seams seams;
        seams.steadyNs = [&now] { return now * 1000; };
        seams.sleepNs = [&now](std::int64_t ns) { now += ns / 1000; };
        FramePacer pacer(
            &queue, clock, [] { return false; }, [] { return false; }, seams);
        int lags = 0;
        QObject::connect(&pacer, &FramePacer::encoderLagDetected, [&lags] { ++lags; });

        QList<std::int64_t> kept;
        std::int64_t encoderFree = 0;
        std::int64_t mostBytes = 0;
        pacer.begin(kRate);
        while (now < kSeconds * 1000000) {
            QVERIFY(pacer.startIteration());
            AVFrame* image = av_frame_alloc();
            image->width = 1;
            image->buf[0] = av_buffer_alloc(kFrameBytes);
            pacer.submit(makeSharedFrame(image));
            mostBytes = std::max(mostBytes, queue.bytes());
            for (FrameQueueItem item;
                 encodePercent > 0 && encoderFree <= now && queue.size() > 0;) {
                queue.pop(item);
                kept.append(item.frame->pts / kSlot);
                encoderFree += kSlot * encodePercent / 100;
            }
            if (queue.size() == 0) // an idle encoder starts on the next frame when it comes
                encoderFree = std::max(encoderFree, now);
            pacer.finishIteration();
        }
        QVERIFY(mostBytes <= std::int64_t(kBudgetFrames + 1) * kFrameBytes);
        QCOMPARE(lags, lagReports);
        if (encodePercent == 0) {
            QCOMPARE(pacer.framesPushed(), queue.size());
            return;
        }
        // Past the first second, which fills the queue: the share dropped, never two in a row.
        const qsizetype from = std::find_if(kept.begin(), kept.end(),
                                            [](std::int64_t slot) { return slot >= kRate; }) -
                               kept.begin();
        QVERIFY(from > 0 && from < kept.size());
        const double span = double(kept.last() - kRate + 1);
        QVERIFY(qAbs(1 - (kept.size() - from) / span - dropShare) < 0.02);
        for (qsizetype i = from + 1; i < kept.size(); ++i)
            QVERIFY2(kept[i] - kept[i - 1] <= 2, qPrintable(QString::number(kept[i])));
        QCOMPARE(pacer.droppedSlots() + pacer.framesPushed(), pacer.nextFrameIndex());
    }
};

QTEST_GUILESS_MAIN(tst_VideoCaptureThread)
#include "tst_VideoCaptureThread.moc"
