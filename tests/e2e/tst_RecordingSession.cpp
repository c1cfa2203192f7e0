// Whole recordings through the session on the test display and sound server, decoded afterwards:
// what was on the screen and what was played must be in the file, at the right size and rate.
#include "support/LogCapture.h"
#include "support/MediaProbe.h"
#include "support/PulseTestTools.h"
#include "support/TestSupport.h"
#include "support/TestWindow.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using testsupport::MediaProbe;
using testsupport::TestWindow;

namespace {

constexpr int kFps = 30;
constexpr double kSystemToneHz = 1000.0;
constexpr double kMicrophoneToneHz = 660.0;

bool near(QColor actual, QColor expected)
{
    return MediaProbe::near(actual, expected, 40); // the encoder's colour conversion and compression
}

QString describe(QColor colour)
{
    return QStringLiteral("(%1,%2,%3)").arg(colour.red()).arg(colour.green()).arg(colour.blue());
}

// Lets the window system and the capture thread see a change before the test goes on.
void settle(int ms = 300)
{
    QTest::qWait(ms);
}

} // namespace

class tst_RecordingSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void screenWithSystemSound_data();
    void screenWithSystemSound();
    void microphone();
    void windowClosedFinishesFile();

private:
    QString output(const QString& name) const { return dir_.filePath(name); }
    void recordFor(screen_capture_win& session, int ms);
    // Checks the video stream's pts advance by exactly one frame each.
    void verifyConstantSpacing(const QList<testsupport::DecodedVideoFrame>& frames,
                               AVRational timeBase, int fps);

    QTemporaryDir dir_;
    bool pulse_ = false;
};

void tst_RecordingSession::initTestCase()
{
    testsupport::isolateUserFolders();
    qRegisterMetaType<MSG_TYPE>("MSG_TYPE");
    QVERIFY(dir_.isValid());
    pulse_ = testsupport::pulseReachable() && testsupport::defaultSinkIsTestSink();
}

void tst_RecordingSession::init()
{
    SettingsStore& settings = SettingsStore::instance();
    settings.setValue(settings::kVideoGroup, settings::kFps, kFps);
    settings.setValue(settings::kVideoGroup, settings::kVideoCaptureApi, QStringLiteral("DXGI"));
    settings.setValue(settings::kVideoGroup, settings::kResolutionIndex, 0);
    settings.setValue(settings::kVideoGroup, settings::kVideoFormat, settings::kFormatMp4);
    settings.setValue(settings::kAudioGroup, settings::kAudioFormat, QStringLiteral("AAC"));
}

void tst_RecordingSession::recordFor(screen_capture_win& session, int ms)
{
    session.start();
    QVERIFY(session.isRunning());
    settle(ms);
}

void tst_RecordingSession::verifyConstantSpacing(
    const QList<testsupport::DecodedVideoFrame>& frames, AVRational timeBase, int fps)
{
    const double step = double(timeBase.den) / (double(timeBase.num) * fps);
    for (int i = 1; i < frames.size(); ++i) {
        const double delta = double(frames[i].pts - frames[i - 1].pts);
        QVERIFY2(
            std::fabs(delta - step) <= 1.0,
            qPrintable(
                QStringLiteral("frame %1: pts step %2, expected %3").arg(i).arg(delta).arg(step)));
    }
}

void tst_RecordingSession::screenWithSystemSound_data()
{
    QTest::addColumn<QString>("api");
    QTest::addColumn<bool>("checkSound");
    QTest::newRow("composite") << QStringLiteral("WGC") << true;
}

// The whole display with a window that changes colour, while a tone plays into the sink.
void tst_RecordingSession::screenWithSystemSound()
{
    QFETCH(QString, api);
    QFETCH(bool, checkSound);
    const bool withSound = pulse_ && checkSound;
    SettingsStore::instance().setValue(settings::kVideoGroup, settings::kVideoCaptureApi, api);
    const QColor first(220, 30, 30);
    const QColor second(30, 60, 220);
    TestWindow window(first, QRect(200, 150, 400, 300));
    QVERIFY(window.showAndWait());
    settle();

    const QString wav = output(QStringLiteral("tone_%1.wav").arg(api));
    if (withSound)
        QVERIFY(testsupport::writeToneWav(wav, kSystemToneHz, 6.0));
    const QString file = output(QStringLiteral("screen_%1.mp4").arg(api));
    screen_capture_win session;
    QList<SessionBox> boxes;
    session.setBoxHandler([&](const SessionBox& box) {
        boxes.append(box);
        return true;
    });
    session.configure(withSound ? QStringLiteral("System Audio") : QStringLiteral("No Audio"), file,
                      nullptr);
    session.target.targetType = TargetScreen;
    session.target.targetRect = QRect(0, 0, 1920, 1080);
    const int listeners = testsupport::captureStreamCount();
    QElapsedTimer elapsed;
    elapsed.start();
    session.start();
    QVERIFY(session.isRunning());
    // The tone starts once the recording listens, so it is heard to the end.
    testsupport::TonePlayer player;
    if (withSound) {
        QVERIFY(testsupport::waitForCaptureStreams(listeners + 1));
        QVERIFY(player.start(wav));
    }
    settle(1200);
    window.setColour(second);
    QVERIFY(window.waitPainted());
    settle(1200);
    session.stop(true);
    const double seconds = elapsed.elapsed() / 1000.0;
    QVERIFY2(boxes.isEmpty(), qPrintable(boxes.isEmpty() ? QString() : boxes.first().text));

    MediaProbe probe;
    QVERIFY2(probe.open(file), qPrintable(probe.errorString()));
    const auto* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
    QVERIFY(video);
    QCOMPARE(video->codecName, QStringLiteral("h264"));
    QCOMPARE(QSize(video->width, video->height), QSize(1920, 1080));
    const QRect inside(300, 250, 100, 100);
    const QRect outside(1500, 800, 100, 100);
    const auto frames = probe.decodeVideo({inside, outside});
    // Every slot of the recording's clock is in the file, late ones as repeats; the
    // shared-memory grabber delivers nothing while the screen stands still, and its last image
    // fills the slots up to the stop.
    const double expectedFrames = kFps * seconds;
    QVERIFY2(frames.size() <= expectedFrames * 1.25 && frames.size() >= expectedFrames * 0.75,
             qPrintable(QStringLiteral("%1 frames in %2 s").arg(frames.size()).arg(seconds)));
    verifyConstantSpacing(frames, video->timeBase, kFps);
    QVERIFY2(near(frames.first().regionColours[0], first),
             qPrintable(describe(frames.first().regionColours[0])));
    QVERIFY2(near(frames.last().regionColours[0], second),
             qPrintable(describe(frames.last().regionColours[0])));
    QVERIFY(!near(frames.last().regionColours[1], second));

    if (!withSound)
        return;
    const auto* audio = probe.firstStream(AVMEDIA_TYPE_AUDIO);
    QVERIFY(audio);
    QCOMPARE(audio->codecName, QStringLiteral("aac"));
    QCOMPARE(audio->sampleRate, 48000);
    QCOMPARE(audio->channels, 2);
    const auto sound = probe.decodeAudio();
    const double audioSeconds = double(sound.totalSamples) / sound.sampleRate;
    const double videoSeconds = double(frames.size()) / kFps;
    // Audio that stops arriving is filled with silence only once the gap passes five audio
    // frames (116 ms at 44.1 kHz), so the sound may end up to that much before the picture.
    QVERIFY2(
        std::fabs(audioSeconds - videoSeconds) < 0.15,
        qPrintable(QStringLiteral("audio %1 s, video %2 s").arg(audioSeconds).arg(videoSeconds)));
    // Only the audible part: the player may start a little after the recording.
    const std::vector<float>& left = sound.samples[0];
    auto begin = left.begin();
    auto end = left.end();
    while (begin != end && std::fabs(*begin) < 0.05f)
        ++begin;
    while (end != begin && std::fabs(*(end - 1)) < 0.05f)
        --end;
    const QString audible = QStringLiteral("audible from %1 s to %2 s of %3 s")
                                .arg(double(begin - left.begin()) / sound.sampleRate)
                                .arg(double(end - left.begin()) / sound.sampleRate)
                                .arg(audioSeconds);
    // Heard from shortly after the start to the stop.
    QVERIFY2(end - begin >= sound.totalSamples / 2 && left.end() - end <= sound.sampleRate / 5,
             qPrintable(audible));
    const double frequency =
        MediaProbe::dominantFrequency(std::vector<float>(begin, end), sound.sampleRate);
    // A few percent: silence inserted around late audio blurs the spectrum's peak, while a wrong
    // sample rate (44.1 against 48 kHz) would move it by 8 %.
    QVERIFY2(std::fabs(frequency - kSystemToneHz) < kSystemToneHz * 0.03,
             qPrintable(QString::number(frequency)));
}

// A device name other than "System Audio" records the default source: here a pipe source fed
// with a tone of its own.
void tst_RecordingSession::microphone()
{
    if (!pulse_)
        QSKIP("No test sound server.");
    testsupport::PipeMicrophone mic(dir_.path());
    QVERIFY(mic.isValid());
    const QString file = output(QStringLiteral("microphone.mp4"));
    screen_capture_win session;
    session.configure(QStringLiteral("Test Microphone"), file, nullptr);
    QVERIFY(session.isMicrophone());
    session.target.targetType = TargetScreen;
    session.target.targetRect = QRect(0, 0, 1920, 1080);
    session.target.areaMode = true;
    session.setCaptureArea(0, 0, 160, 120);
    session.start();
    mic.feed(testsupport::toneSamples(kMicrophoneToneHz, 1.5));
    settle(2000);
    session.stop(true);

    MediaProbe probe;
    QVERIFY2(probe.open(file), qPrintable(probe.errorString()));
    QVERIFY(probe.firstStream(AVMEDIA_TYPE_AUDIO));
    const auto sound = probe.decodeAudio();
    QVERIFY(sound.totalSamples > 0);
    const double frequency = MediaProbe::dominantFrequency(sound.samples[0], sound.sampleRate);
    QVERIFY2(std::fabs(frequency - kMicrophoneToneHz) < 20.0,
             qPrintable(QString::number(frequency)));
}

// Closing the recorded window ends the capture with its error and a box for the user; the file
// written so far is finished and plays.
void tst_RecordingSession::windowClosedFinishesFile()
{
    SettingsStore::instance().setValue(settings::kVideoGroup, settings::kVideoCaptureApi,
                                       QStringLiteral("WGC"));
    auto window = std::make_unique<TestWindow>(QColor(200, 100, 0), QRect(400, 300, 300, 200),
                                               TestWindow::Frame::Framed);
    QVERIFY(window->showAndWait());
    settle();

    const QString file = output(QStringLiteral("closed.mp4"));
    screen_capture_win session;
    QList<SessionBox> boxes;
    session.setBoxHandler([&](const SessionBox& box) {
        boxes.append(box);
        return true;
    });
    session.configure(QStringLiteral("No Audio"), file, nullptr);
    session.target.targetType = TargetWindow;
    session.target.targetWindow = window->nativeId();
    QSignalSpy stopRequests(&session, &screen_capture_win::stopRecording);
    recordFor(session, 800);
    window.reset();
    QTRY_COMPARE_WITH_TIMEOUT(stopRequests.size(), 1, 10000);
    session.stop(false);

    QVERIFY(!boxes.isEmpty());
    QCOMPARE(boxes.first().title, QStringLiteral("Warning"));
    QCOMPARE(boxes.first().text, QStringLiteral("Target window is closed or invalid."));
    MediaProbe probe;
    QVERIFY2(probe.open(file), qPrintable(probe.errorString()));
    QVERIFY(probe.decodeVideo().size() >= 3);
}

QTEST_MAIN(tst_RecordingSession)
#include "tst_RecordingSession.moc"
