#include "support/MediaProbe.h"
#include "support/PulseTestTools.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "media/FrameQueue.h"
#include "encode/audio_capture_thread_win.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <vector>

using testsupport::MediaProbe;
using testsupport::pulseReachable;

namespace {

constexpr double kToneHz = 1000.0;
constexpr int kToneRate = 48000;
constexpr double kToneSeconds = 1.0;

float leftSample(const AVFrame* frame, int i)
{
    if (frame->format == AV_SAMPLE_FMT_FLTP)
        return reinterpret_cast<const float*>(frame->data[0])[i];
    return reinterpret_cast<const std::int16_t*>(frame->data[0])[2 * i] / 32768.0f;
}

} // namespace

class tst_AudioCapturePulse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        qRegisterMetaType<MSG_TYPE>("MSG_TYPE");
    }

    // A tone played into the default sink is recorded from its monitor as continuous stereo frames.
    void recordsSystemAudio_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("frameSize");
        QTest::addColumn<bool>("microphone");
        QTest::newRow("AAC") << QStringLiteral("AAC") << int(AV_SAMPLE_FMT_FLTP) << 1024 << false;
        QTest::newRow("FLAC") << QStringLiteral("FLAC") << int(AV_SAMPLE_FMT_S16) << 4608 << false;
        // With no real input, the server's default source is the sink's monitor.
        QTest::newRow("microphone")
            << QStringLiteral("MP3") << int(AV_SAMPLE_FMT_FLTP) << 1152 << true;
    }

    void recordsSystemAudio()
    {
        QFETCH(QString, setting);
        QFETCH(int, format);
        QFETCH(int, frameSize);
        QFETCH(bool, microphone);
        if (!pulseReachable())
            QSKIP("No PulseAudio server reachable.");
        // Only the test script's private server has the null sink; never play into a real one.
        if (!testsupport::defaultSinkIsTestSink())
            QSKIP("The default sink is not the test sink \"rec\".");
        if (microphone &&
            testsupport::pactl({QStringLiteral("get-default-source")}) != QLatin1String("rec.monitor"))
            QSKIP("The default source is not the monitor of the test sink.");
        SettingsStore::instance().setValue(settings::kAudioGroup, settings::kAudioFormat, setting);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString wav = dir.filePath(QStringLiteral("tone.wav"));
        QVERIFY(testsupport::writeToneWav(wav, kToneHz, kToneSeconds, kToneRate));

        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        QVERIFY(thread.init(microphone));
        QSignalSpy messages(&thread, &audio_capture_thread_win::msgSignal);
        thread.start();
        // The sink's monitor runs all the time, so frames arrive before anything plays.
        QTRY_VERIFY_WITH_TIMEOUT(queue.size() > 0 || thread.isFinished(), 10000);
        QCOMPARE(messages.count(), 0);

        QProcess player;
        player.start(QStringLiteral("paplay"), {QStringLiteral("-d"), QStringLiteral("rec"), wav});
        QVERIFY(player.waitForFinished(20000));
        QCOMPARE(player.exitCode(), 0);
        thread.requestStop();
        QVERIFY(thread.wait(10000));
        QVERIFY(queue.isClosed());
        QCOMPARE(messages.count(), 0);

        std::vector<float> left;
        int sampleRate = 0;
        std::int32_t expectedSequence = 1;
        std::int64_t expectedPts = 0;
        FrameQueueItem item;
        while (queue.pop(item)) {
            const AVFrame* frame = item.frame.get();
            QVERIFY(item.isAudio);
            QCOMPARE(item.sequence, expectedSequence++);
            QCOMPARE(frame->pts, expectedPts);
            QCOMPARE(frame->format, format);
            QCOMPARE(frame->nb_samples, frameSize);
            QCOMPARE(frame->ch_layout.nb_channels, 2);
            sampleRate = frame->sample_rate;
            expectedPts += frame->nb_samples;
            for (int i = 0; i < frame->nb_samples; ++i)
                left.push_back(leftSample(frame, i));
        }
        QVERIFY(sampleRate > 0);
        // Everything played must have been recorded, plus the silence around it.
        QVERIFY2(double(left.size()) >= kToneSeconds * sampleRate * 0.9,
                 qPrintable(QStringLiteral("%1 samples").arg(left.size())));

        // Keep only the audible part: the monitor also delivers silence before and after.
        size_t first = 0;
        size_t last = left.size();
        while (first < left.size() && std::fabs(left[first]) < 0.05f)
            ++first;
        while (last > first && std::fabs(left[last - 1]) < 0.05f)
            --last;
        QVERIFY2(last - first >= size_t(sampleRate / 2),
                 qPrintable(QStringLiteral("audible samples: %1").arg(last - first)));
        const std::vector<float> tone(left.begin() + std::ptrdiff_t(first),
                                      left.begin() + std::ptrdiff_t(last));
        const double frequency = MediaProbe::dominantFrequency(tone, sampleRate);
        QVERIFY2(std::fabs(frequency - kToneHz) < 20.0, qPrintable(QString::number(frequency)));
        QVERIFY(MediaProbe::rms(tone) > 0.2);
    }

    // Without a sound server the thread reports it at once instead of waiting for audio.
    void noServerIsAnError()
    {
        const QByteArray saved = qgetenv("PULSE_SERVER");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        qputenv("PULSE_SERVER",
                ("unix:" + dir.filePath(QStringLiteral("no-such-socket"))).toUtf8());

        FrameQueue queue;
        audio_capture_thread_win thread(&queue);
        thread.init(false);
        QSignalSpy messages(&thread, &audio_capture_thread_win::msgSignal);
        thread.start();
        const bool finished = thread.wait(15000);
        if (saved.isNull())
            qunsetenv("PULSE_SERVER");
        else
            qputenv("PULSE_SERVER", saved);
        QVERIFY(finished);
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0).at(0).value<MSG_TYPE>(), MSG_ERROR);
        QCOMPARE(messages.at(0).at(1).toString(),
                 QStringLiteral("Failed to create device enumerator."));
        QVERIFY(!queue.isClosed());
    }
};

QTEST_GUILESS_MAIN(tst_AudioCapturePulse)
#include "tst_AudioCapturePulse.moc"
