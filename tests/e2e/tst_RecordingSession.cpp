// Whole recordings through the session on the test display and sound server, decoded afterwards:
// what was on the screen and what was played must be in the file, at the right size and rate.
#include "recording/screen_capture_win.h"
#include "support/MediaProbe.h"
#include "support/PulseTestTools.h"
#include "support/TestSupport.h"
#include "support/TestWindow.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

using testsupport::MediaProbe;
using testsupport::TestWindow;

namespace {

constexpr int kFps = 30;
constexpr double kSystemToneHz = 1000.0;

// What survives the encoder's colour conversion and compression.
bool near(QColor actual, QColor expected)
{
    return MediaProbe::near(actual, expected, 40);
}

// The part of a channel louder than silence.
std::pair<qsizetype, qsizetype> audible(const std::vector<float>& samples)
{
    qsizetype begin = 0;
    qsizetype end = qsizetype(samples.size());
    while (begin != end && std::fabs(samples[begin]) < 0.05f)
        ++begin;
    while (end != begin && std::fabs(samples[end - 1]) < 0.05f)
        --end;
    return {begin, end};
}

} // namespace

class tst_RecordingSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void screenWithSystemSound();

private:
    QString output(const QString& name) const { return dir_.filePath(name); }

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

// The whole display with a window that changes colour, while a tone plays into the sink.
void tst_RecordingSession::screenWithSystemSound()
{
    const QColor first(220, 30, 30);
    const QColor second(30, 60, 220);
    TestWindow window(first, QRect(200, 150, 400, 300));
    QVERIFY(window.showAndWait());
    QTest::qWait(300);

    const QString wav = output(QStringLiteral("tone.wav"));
    if (pulse_)
        QVERIFY(testsupport::writeToneWav(wav, kSystemToneHz, 12.0));
    const QString file = output(QStringLiteral("screen.mp4"));
    screen_capture_win session;
    QList<SessionBox> boxes;
    session.setBoxHandler([&](const SessionBox& box) { return boxes.append(box), true; });
    session.configure(testsupport::recordingSettings({{"VideoSett/fps", kFps}}),
                      pulse_ ? QStringLiteral("System Audio") : QStringLiteral("No Audio"), file,
                      nullptr);
    session.setTarget({TargetScreen, {}, QRect(0, 0, 1920, 1080), 0, false});
    // The tone plays from before the start, with nothing else keeping the sink prompt.
    testsupport::TonePlayer player;
    if (pulse_)
        QVERIFY(player.start(wav));
    QElapsedTimer elapsed;
    elapsed.start();
    session.start();
    QVERIFY(session.isRunning());
    QTest::qWait(1200);
    window.setColour(second);
    QVERIFY(window.waitPainted());
    QTest::qWait(1200);
    session.stop(true);
    const double seconds = elapsed.elapsed() / 1000.0;
    QVERIFY2(boxes.isEmpty(), qPrintable(boxes.isEmpty() ? QString() : boxes.first().text));

    MediaProbe probe;
    QVERIFY2(probe.open(file), qPrintable(probe.errorString()));
    const auto* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
    QVERIFY(video);
    QCOMPARE(video->codecName, QStringLiteral("h264"));
    QCOMPARE(QSize(video->width, video->height), QSize(1920, 1080));
    const auto frames = probe.decodeVideo({QRect(300, 250, 100, 100), QRect(1500, 800, 100, 100)});
    // Every slot of the recording's clock is in the file, late ones as repeats, one frame apart.
    const double expectedFrames = kFps * seconds;
    QVERIFY2(frames.size() <= expectedFrames * 1.25 && frames.size() >= expectedFrames * 0.75,
             qPrintable(QStringLiteral("%1 frames in %2 s").arg(frames.size()).arg(seconds)));
    const double step = double(video->timeBase.den) / (double(video->timeBase.num) * kFps);
    for (qsizetype i = 1; i < frames.size(); ++i)
        QVERIFY2(std::fabs(double(frames[i].pts - frames[i - 1].pts) - step) <= 1.0,
                 qPrintable(QStringLiteral("pts step before frame %1").arg(i)));
    QVERIFY(near(frames.first().regionColours[0], first));
    QVERIFY(near(frames.last().regionColours[0], second));
    QVERIFY(!near(frames.last().regionColours[1], second));

    if (!pulse_)
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
    // Heard from the first 100 ms up to the stop, without a gap of more than 20 ms.
    const std::vector<float>& left = sound.samples[0];
    const auto [begin, end] = audible(left);
    qsizetype gap = 0;
    for (qsizetype i = begin, quiet = 0; i < end; ++i)
        gap = std::max(gap, quiet = std::fabs(left[i]) < 0.05f ? quiet + 1 : 0);
    QVERIFY2(begin <= sound.sampleRate / 10 &&
                 qsizetype(left.size()) - end <= sound.sampleRate / 5 &&
                 gap <= sound.sampleRate / 50,
             qPrintable(QStringLiteral("audible from sample %1 to %2 of %3, gap of %4")
                            .arg(begin)
                            .arg(end)
                            .arg(left.size())
                            .arg(gap)));
    const double frequency = MediaProbe::dominantFrequency(
        std::vector<float>(left.begin() + begin, left.begin() + end), sound.sampleRate);
    // A few percent: silence inserted around late audio blurs the spectrum's peak, while a wrong
    // sample rate (44.1 against 48 kHz) would move it by 8 %.
    QVERIFY2(std::fabs(frequency - kSystemToneHz) < kSystemToneHz * 0.03,
             qPrintable(QString::number(frequency)));
}

QTEST_MAIN(tst_RecordingSession)
#include "tst_RecordingSession.moc"
