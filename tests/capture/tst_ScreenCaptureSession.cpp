// The recording session's decisions: the output resolution setting, the prompts for hidden and
// minimised windows, how thread reports turn into boxes and stop requests depending on who
// started the recording, and which screen's pixel ratio scales a capture area.
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "recording/screen_capture_win.h"
#include "platform/AudioSource.h"
#include "support/FakeCapture.h"
#include "support/LogCapture.h"
#include "support/MediaProbe.h"
#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>

namespace {
constexpr NativeWindow kWindow = 0x400001;

// Sound that arrives all at once, more than the queue holds, once the test lets it.
QSemaphore floodGo;
std::atomic<bool> floodReading{false};
struct FloodSource : AudioSource
{
    static constexpr int kFrames = 1200 * 1024;
    bool sent = false;
    OpenError open(const AudioSourceChoice&) override { return OpenError::None; }
    AudioInputFormat format() const override { return {48000, 2, 32, true, false}; }
    int packetSize() override { return sent ? 0 : kFrames; }
    bool read(AudioPacket& packet) override
    {
        floodReading = true;
        floodGo.acquire();
        sent = true;
        packet = {std::vector<std::uint8_t>(std::size_t(kFrames) * 8), kFrames, false};
        return true;
    }
    void stop() override {}
};
} // namespace

class tst_ScreenCaptureSession : public QObject
{
    Q_OBJECT

private slots:
    void windowPrompts_data()
    {
        QTest::addColumn<bool>("minimised");
        QTest::addColumn<int>("trigger");
        QTest::addColumn<QString>("expectedTitle");
        QTest::addColumn<QString>("expectedLog");
        QTest::newRow("hidden, user")
            << false << 0 << QStringLiteral("Window Hidden")
            << QStringLiteral("User chose to cancel recording due to hidden window.");
        QTest::newRow("minimised, schedule")
            << true << 1 << QStringLiteral("Window Minimized")
            << QStringLiteral("User chose to cancel recording due to minimized window.");
    }

    // The prompt is shown whoever started the recording; cancelling it starts nothing.
    void windowPrompts()
    {
        QFETCH(bool, minimised);
        QFETCH(int, trigger);
        QFETCH(QString, expectedTitle);
        QFETCH(QString, expectedLog);

        testsupport::FakeDesktop desktop;
        desktop.windows[kWindow].visible = false;
        desktop.windows[kWindow].minimised = minimised;
        screen_capture_win session;
        session.setWindowSystem(std::make_unique<testsupport::FakeWindowSystem>(&desktop));
        QList<SessionBox> boxes;
        session.setBoxHandler([&](const SessionBox& box) {
            boxes.append(box);
            return false;
        });
        const QString output = QDir::temp().filePath(QStringLiteral("tst_session_prompt.mp4"));
        QFile::remove(output);
        session.configure({}, QStringLiteral("No Audio"), output, nullptr);
        session.setTarget({TargetWindow, {}, {}, kWindow, false});
        session.setStartTrigger(StartTrigger(trigger));
        QSignalSpy paused(&session, &screen_capture_win::pauseRecording);
        QSignalSpy stopped(&session, &screen_capture_win::stopRecording);
        testsupport::LogCapture log;

        session.start();

        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, expectedTitle);
        QCOMPARE(paused.size(), 1);
        QCOMPARE(stopped.size(), 1);
        QVERIFY(log.take().contains(expectedLog));
        QVERIFY(!session.isRunning());
        QCOMPARE(desktop.windows[kWindow].shows + desktop.windows[kWindow].restores, 0);
        session.stop(true);
        QVERIFY(!QFile::exists(output));
    }

    void reports_data()
    {
        // 0 video thread, 1 mux thread, 2 the encoder's lag, 3 mux errors and the file's end
        QTest::addColumn<int>("source");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("trigger");
        QTest::addColumn<bool>("quiet");
        QTest::addColumn<QString>("expectedTitle"); // empty: no box; its answer is "stop"
        QTest::addColumn<int>("expectedStops");
        QTest::newRow("video error, quiet user")
            << 0 << int(MSG_ERROR) << 0 << true << QStringLiteral("Warning") << 1;
        QTest::newRow("video warning, user")
            << 0 << int(MSG_WARNING) << 0 << false << QStringLiteral("Warning") << 0;
        QTest::newRow("mux info, user")
            << 1 << int(MSG_INFO) << 0 << false << QStringLiteral("Info") << 0;
        // 3: the user, from outside the window: the owner announces the end, as a schedule's
        QTest::newRow("mux info, user from outside")
            << 1 << int(MSG_INFO) << 3 << false << QString() << 0;
        QTest::newRow("mux info, schedule") << 1 << int(MSG_INFO) << 1 << false << QString() << 0;
        QTest::newRow("mux warning, user")
            << 1 << int(MSG_WARNING) << 0 << false << QStringLiteral("Warning") << 0;
        QTest::newRow("mux error, user")
            << 1 << int(MSG_ERROR) << 0 << false << QStringLiteral("Recording stopped") << 1;
        QTest::newRow("mux errors, then the end: one box")
            << 3 << int(MSG_ERROR) << 0 << false << QStringLiteral("Recording stopped") << 1;
        QTest::newRow("lag, user stops")
            << 2 << 0 << 0 << false << QStringLiteral("Encoder Lag Detected") << 1;
        QTest::newRow("lag, schedule goes on") << 2 << 0 << 1 << false << QString() << 0;
    }

    void reports()
    {
        QFETCH(int, source);
        QFETCH(int, type);
        QFETCH(int, trigger);
        QFETCH(bool, quiet);
        QFETCH(QString, expectedTitle);
        QFETCH(int, expectedStops);

        screen_capture_win session;
        QList<SessionBox> boxes;
        session.setBoxHandler([&](const SessionBox& box) {
            boxes.append(box);
            return box.kind != SessionBox::Kind::EncoderLag;
        });
        session.setStartTrigger(StartTrigger(trigger % 3));
        session.setEndBoxShown(trigger != 3);
        session.setQuietStop(quiet);
        QSignalSpy stopped(&session, &screen_capture_win::stopRecording);
        QSignalSpy finished(&session, &screen_capture_win::fileFinished);
        const QString text = QStringLiteral("Something happened.");
        if (source == 0)
            session.onCaptureMessage(MSG_TYPE(type), text);
        else if (source == 1)
            session.onMuxMessage(MSG_TYPE(type), text);
        else if (source == 3)
            for (const MSG_TYPE each : {MSG_ERROR, MSG_ERROR, MSG_INFO})
                session.onMuxMessage(each, text);
        else
            session.onEncoderLag();

        QCOMPARE(stopped.size(), expectedStops);
        QCOMPARE(boxes.size(), expectedTitle.isEmpty() ? 0 : 1);
        if (!boxes.isEmpty()) {
            QCOMPARE(boxes.first().title, expectedTitle);
            QVERIFY(source == 2 || boxes.first().text == text);
        }
        QCOMPARE(finished.size(), source == 1 && type == MSG_INFO && trigger ? 1 : 0);
    }

    void recordsAnArea_data()
    {
        QTest::addColumn<int>("screen");
        QTest::addColumn<QString>("read");
        QTest::addColumn<bool>("flood");
        QTest::addColumn<bool>("early"); // stopped while the capture gets ready
        // The screens have ratios 1 and 2 (see main); the area is 100,100 640x360 on either.
        QTest::newRow("first screen, ratio 1") << 0 << "rect 100,100 640x360" << false << false;
        QTest::newRow("second screen, ratio 2") << 1 << "rect 2120,200 1280x720" << false << false;
        // Paused while the encoder is behind: it holds an item, the queue is full and the sound
        // thread's push waits for room.
        QTest::newRow("stopped while paused, queue full")
            << 0 << "rect 100,100 640x360" << true << false;
        // The window goes on while the capture gets ready, and a stop then starts nothing.
        QTest::newRow("stopped while the capture gets ready")
            << 0 << "rect 100,100 640x360" << false << true;
    }

    // The area is read scaled by its screen's ratio; the stop returns with all that was captured.
    void recordsAnArea()
    {
        QFETCH(int, screen);
        QFETCH(QString, read);
        QFETCH(bool, flood);
        QFETCH(bool, early);
        QScreen* target = QGuiApplication::screens().at(screen);
        testsupport::FakeCaptureWorld world;
        world.desktop.monitors.append(
            {QStringLiteral("Screen2"), QRect(1920, 0, 3840, 2160), false});
        std::atomic<bool> recorded{false};
        QSemaphore go;
        std::atomic<bool> holdPreparation{early};
        world.at = [&](std::int64_t now) {
            if (holdPreparation.exchange(false))
                go.acquire(); // the first step of the capture's preparation
            recorded = recorded || now > 300000;
        };
        screen_capture_win session;
        session.setBoxHandler([](const SessionBox&) { return true; }); // the encoder lags
        session.setCapturePlatform(world.platform());
        session.setAudioSourceFactory([] { return std::make_unique<FloodSource>(); });
        const QString output = QDir::temp().filePath(QStringLiteral("tst_session_area.mp4"));
        QFile::remove(output);
        session.configure({}, flood ? "System Audio" : "No Audio", output, nullptr);
        session.setTarget({TargetScreen, {}, target->geometry(), 0, true});
        session.setCaptureArea(100, 100, 640, 360);
        testsupport::LogCapture log;
        if (early)
            QTimer::singleShot(0, &session, [&] {
                go.release();
                session.stop(true);
            });
        session.start();
        if (early) {
            QVERIFY(!session.isRunning() && !QFile::exists(output));
            QVERIFY(log.take().contains(QStringLiteral(
                "Stopped while the capture was getting ready; nothing was recorded.")));
            return;
        }
        QTRY_VERIFY(recorded && (floodReading || !flood));
        if (flood) {
            session.pause();
            floodGo.release();
        }
        session.stop(true);
        QCOMPARE(world.calls.filter(QStringLiteral("rect ")), QStringList{read});
        testsupport::MediaProbe probe;
        QVERIFY2(probe.open(output), qPrintable(probe.errorString()));
        QVERIFY(!probe.decodeVideo().isEmpty());
        QVERIFY(probe.decodeAudio().totalSamples >= (flood ? FloodSource::kFrames : 0));
    }
};

int main(int argc, char** argv)
{
    testsupport::isolateUserFolders();
    // Two screens side by side with different device pixel ratios.
    testsupport::useOffscreenScreens({QRect(0, 0, 1920, 1080), QRect(1920, 0, 1920, 1080)},
                                     {1.0, 2.0});
    QApplication app(argc, argv);
    tst_ScreenCaptureSession test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ScreenCaptureSession.moc"
