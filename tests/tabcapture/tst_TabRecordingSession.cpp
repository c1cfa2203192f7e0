// The tab recording session: a browser's raw pictures and float sound in, H.264/AAC out; a client
// faster than the encoder ends in "overload" and a finished file, never a growing queue. VP8 from
// the real extension is decoded in the browser test (tests/e2e/tab_browser_test.py).
#include "support/MediaProbe.h"
#include "support/TestSupport.h"

#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "tabcapture/TabRecordingSession.h"

#include <QPainter>
#include <QtTest>

#include <cmath>
#include <numbers>

using testsupport::MediaProbe;

namespace {

const QColor kLeft(220, 40, 40);
const QColor kRight(40, 60, 220);
constexpr int kFps = 30;
constexpr int kToneHz = 440;
constexpr int kRate = 44100;
constexpr int kChunk = 441; // 10 ms, as the browser delivers it
constexpr double kRadiansPerSample = 2 * std::numbers::pi * kToneHz / kRate;

QByteArray rgbaPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGBA8888);
    image.fill(kRight);
    QPainter(&image).fillRect(0, 0, width / 2, height, kLeft);
    return QByteArray(reinterpret_cast<const char*>(image.constBits()), width * height * 4);
}

QByteArray sineChunk(std::int64_t first)
{
    QByteArray bytes(kChunk * 2 * 4, Qt::Uninitialized);
    auto* samples = reinterpret_cast<float*>(bytes.data());
    for (int i = 0; i < kChunk; ++i)
        samples[2 * i] = samples[2 * i + 1] =
            float(0.5 * std::sin(kRadiansPerSample * (first + i)));
    return bytes;
}

} // namespace

class TabRecordingSessionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        SettingsStore::instance().setValue(settings::kOutputGroup, settings::kRecordingPath,
                                           folder.path());
    }

    void recordsTheTab_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("channels");
        QTest::addColumn<bool>("encoderHeld");
        QTest::newRow("with sound") << QSize(320, 180) << 2 << false;
        QTest::newRow("odd size, no sound") << QSize(161, 91) << 0 << false;
        QTest::newRow("encoder falls behind") << QSize(160, 90) << 2 << true;
    }

    void recordsTheTab()
    {
        QFETCH(QSize, size);
        QFETCH(int, channels);
        QFETCH(bool, encoderHeld);
        const auto [width, height] = std::pair(size.width(), size.height());
        const int frames = encoderHeld ? 4 * kFps : kFps;
        const QByteArray picture = rgbaPicture(width, height);
        TabRecordingSession session;
        session.setClocks({}, [] { return QDateTime(QDate(2026, 5, 1), QTime(9, 30)); });
        QSignalSpy stopped(&session, &TabCaptureSessionBase::recordingStopped);
        session.startSession(
            {width, height, kFps, kRate, channels, tabcapture::VideoCodec::VP8, false});
        session.setEncoderHeld(encoderHeld);
        int overloads = 0;
        for (int i = 0, samples = 0; i < frames; ++i) {
            overloads +=
                session.pushVideoFrame({i * 1000000LL / kFps, width, height, picture}) ==
                TabCaptureSessionBase::VideoPush::Overloaded;
            for (; samples * kFps < (i + 1) * kRate; samples += kChunk)
                session.pushAudioFrame({kRate, 2, kChunk, sineChunk(samples)});
        }
        session.stopSession();
        const QString path = stopped.value(0).value(0).toString(); // "_1", "_2": the same second
        QVERIFY(QFileInfo(path).fileName().startsWith("tabcapture_20260501_093000"));
        // Once behind, every later picture is refused: the queue never grows past its limit.
        QVERIFY(std::abs(overloads - (encoderHeld ? frames - 2 * kFps : 0)) <= 1);
        MediaProbe probe;
        QVERIFY2(probe.open(path), qPrintable(probe.errorString()));
        const auto* video = probe.firstStream(AVMEDIA_TYPE_VIDEO);
        QVERIFY(video && video->codecName == "h264");
        QCOMPARE(QSize(video->width, video->height), QSize((width + 1) & ~1, (height + 1) & ~1));
        const QRect left(width / 8, height / 4, width / 4, height / 2);
        const auto decoded = probe.decodeVideo({left, left.translated(width / 2, 0)});
        QCOMPARE(decoded.size(), frames - overloads);
        const QList<QColor> c = decoded.last().regionColours;
        QVERIFY(MediaProbe::near(c[0], kLeft, 24) && MediaProbe::near(c[1], kRight, 24));
        const auto* sound = probe.firstStream(AVMEDIA_TYPE_AUDIO);
        QCOMPARE(sound ? sound->codecName : QString(), channels > 0 ? "aac" : QString());
        const auto audio = probe.decodeAudio();
        QVERIFY(!sound ||
                std::abs(MediaProbe::dominantFrequency(audio.samples[0], audio.sampleRate) -
                         kToneHz) < 5);
    }

private:
    QTemporaryDir folder;
};

QTEST_GUILESS_MAIN(TabRecordingSessionTest)
#include "tst_TabRecordingSession.moc"
