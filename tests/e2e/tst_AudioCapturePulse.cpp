// Screen recordings with sound from the test script's sound server: the system sound and a
// microphone together, mixed or on tracks of their own, with the microphone muted for a while;
// and a server that cannot be reached, where the user is warned with the server's reason, the
// run log has it, and the picture is recorded.
#include "support/LogCapture.h"
#include "support/MediaProbe.h"
#include "support/PulseTestTools.h"
#include "support/TestSupport.h"
#include "capture/AudioChoice.h"
#include "recording/screen_capture_win.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class tst_AudioCapturePulse : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        qRegisterMetaType<MSG_TYPE>("MSG_TYPE");
    }

    // Two programs play 440 and 1000 Hz, the microphone hears 660 Hz. In every 50 ms of the
    // file each tone is there (on its track), none where it does not belong, the mix never
    // clips and nothing falls silent; a muted microphone leaves as much silence as it was
    // muted for.
    void systemSoundAndMicrophone_data()
    {
        QTest::addColumn<bool>("ownTrack");
        QTest::addColumn<bool>("mute");
        QTest::newRow("own tracks") << true << false;
        QTest::newRow("mixed, muted for 2 s") << false << true;
    }
    void systemSoundAndMicrophone()
    {
        QFETCH(bool, ownTrack);
        QFETCH(bool, mute);
        if (!testsupport::pulseReachable() || !testsupport::defaultSinkIsTestSink())
            QSKIP("needs the test script's sound server");
        QTemporaryDir dir;
        const double tones[] = {440, 1000, 660};
        for (double hz : tones)
            QVERIFY(testsupport::writeToneWav(dir.filePath(QString::number(hz) + ".wav"), hz, 20));
        // Steady players: a stall of the machine must not leave silence in the sound server.
        testsupport::TestMicrophone microphone;
        QVERIFY(microphone.start(dir.filePath("660.wav"), testsupport::kSteadyLatencyMs));
        testsupport::TonePlayer low(testsupport::kSteadyLatencyMs),
            high(testsupport::kSteadyLatencyMs);
        QVERIFY(low.start(dir.filePath("440.wav"), "Low tone"));
        QVERIFY(high.start(dir.filePath("1000.wav"), "High tone"));

        screen_capture_win session;
        QList<SessionBox> boxes;
        session.setBoxHandler([&](const SessionBox& box) { return boxes.append(box), true; });
        const QString file = dir.filePath("out.mp4");
        session.configure(testsupport::recordingSettings(
                              {{"AudioSett/MicrophoneOwnTrack", ownTrack}, {"VideoSett/fps", 30}}),
                          audiochoice::systemPlusMicrophone(microphone.name()), file, nullptr);
        session.setTarget({TargetScreen, {}, QRect(0, 0, 640, 480), 0, false});
        session.start();
        QVERIFY(session.isRunning());
        QTest::qWait(2000);
        session.setMicrophoneMuted(mute);
        QTest::qWait(2000);
        session.setMicrophoneMuted(false);
        QTest::qWait(2000);
        session.stop(true);
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.isEmpty() ? QString() : boxes.first().text));

        testsupport::MediaProbe probe;
        QVERIFY2(probe.open(file), qPrintable(probe.errorString()));
        const auto frames = probe.decodeVideo();
        QVERIFY(!frames.isEmpty());
        const double frame = 1.0 / 30;
        const double videoSeconds = frames.last().seconds - frames.first().seconds + frame;
        QList<testsupport::DecodedAudio> tracks{probe.decodeAudio(0)};
        if (ownTrack)
            tracks << probe.decodeAudio(1);
        QCOMPARE(probe.stream(AVMEDIA_TYPE_AUDIO, 1) != nullptr, ownTrack);
        double mutedSeconds = 0;
        for (qsizetype t = 0; t < tracks.size(); ++t) {
            const testsupport::DecodedAudio& track = tracks[t];
            const std::vector<float>& left = track.samples.at(0);
            // The programs play from before the start, so their sound is there from the first
            // moments: within a quarter second, as the steady players' sink renders up to an
            // eighth ahead and Torvane hears that late.
            QVERIFY(t > 0 || std::any_of(left.begin(), left.begin() + track.sampleRate / 4,
                                         [](float sample) { return std::fabs(sample) >= 0.05f; }));
            // Within a frame of the picture, and AAC rounds the end up to its block of 1024.
            QVERIFY2(std::fabs(track.totalSamples / double(track.sampleRate) - videoSeconds) <
                         frame + 1024.0 / track.sampleRate,
                     qPrintable(QStringLiteral("%1 s of sound, %2 s of picture")
                                    .arg(track.totalSamples / double(track.sampleRate))
                                    .arg(videoSeconds)));
            // Torvane's mix must not clip. A track of its own is the sink's sum of two tones,
            // which peaks at 0.98: AAC's ringing may take that over full scale.
            QVERIFY(ownTrack || *std::max_element(left.begin(), left.end()) < 1.0f);
            QVERIFY(ownTrack || *std::min_element(left.begin(), left.end()) > -1.0f);
            const int window = track.sampleRate / 20;
            std::size_t quiet = 0, longestQuiet = 0, quietEnd = 0;
            // The end holds what was still in the sound server at the stop: silence.
            const std::size_t end = left.size() - std::size_t(track.sampleRate) / 10;
            for (std::size_t i = std::size_t(track.sampleRate) / 2; i < end; ++i) {
                quiet = std::fabs(left[i]) < 1e-4f ? quiet + 1 : 0;
                if (quiet > longestQuiet)
                    longestQuiet = quiet, quietEnd = i;
            }
            QVERIFY2(longestQuiet < std::size_t(track.sampleRate) / 50 || (mute && t == 1),
                     qPrintable(QStringLiteral("%1 silent samples up to %2 of %3")
                                    .arg(longestQuiet)
                                    .arg(quietEnd)
                                    .arg(left.size())));
            // The first moments hold the sound server's start; the last the encoder's end. The
            // test's players starve now and then on a busy machine: a lost block dims their tone
            // and its click spreads over every frequency at some -40 dB. So a few pieces may
            // miss; a missing source or another track's tone (near its own level) misses in most.
            int pieces = 0, missed = 0;
            QString firstMiss;
            for (std::size_t at = std::size_t(track.sampleRate) / 2;
                 at + 2 * std::size_t(window) < left.size(); at += std::size_t(window), ++pieces) {
                const std::vector<float> piece(left.begin() + std::ptrdiff_t(at),
                                               left.begin() + std::ptrdiff_t(at) + window);
                for (double hz : tones) {
                    const bool belongs = !ownTrack || (hz == 660) == (t == 1);
                    const double level = testsupport::toneLevelDb(piece, track.sampleRate, hz);
                    if (hz == 660 && mute && level < -20) { // the edges fade
                        mutedSeconds += 0.05;
                    } else if (belongs ? level <= -20 : level >= -50) {
                        ++missed;
                        if (firstMiss.isEmpty())
                            firstMiss = QStringLiteral("%1 Hz at %2 dB, %3 s into track %4")
                                            .arg(hz)
                                            .arg(level)
                                            .arg(double(at) / track.sampleRate)
                                            .arg(t);
                    }
                }
            }
            QVERIFY2(
                missed <= pieces / 20,
                qPrintable(
                    QStringLiteral("%1 of %2 pieces: %3").arg(missed).arg(pieces).arg(firstMiss)));
        }
        if (mute)
            QVERIFY2(std::fabs(mutedSeconds - 2.0) < 0.3,
                     qPrintable(QString::number(mutedSeconds)));
    }

    void soundServerGoneWarnsAndRecordsThePicture()
    {
        QTemporaryDir dir;
        // Only this process loses the server.
        qputenv("PULSE_SERVER", ("unix:" + dir.filePath("no-such-socket")).toUtf8());
        testsupport::LogCapture log;

        screen_capture_win session;
        QList<SessionBox> boxes;
        session.setBoxHandler([&boxes](const SessionBox& box) { return boxes.append(box), true; });
        QSignalSpy stopRequests(&session, &screen_capture_win::stopRecording);
        const QString file = dir.filePath("out.mp4");
        session.configure({}, QStringLiteral("System Audio"), file, nullptr);
        session.setTarget({TargetScreen, {}, QRect(0, 0, 1920, 1080), 0, false});
        session.start();
        QVERIFY(session.isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), 1, 15000);
        QCOMPARE(int(boxes.at(0).kind), int(SessionBox::Kind::Warning));
        QCOMPARE(boxes.at(0).text,
                 QStringLiteral("Failed to create device enumerator. (Connection refused)"));
        QVERIFY(!log.take().filter("Connection refused").isEmpty());

        // The picture goes on without sound until the user stops.
        QTest::qWait(500);
        QCOMPARE(stopRequests.count(), 0);
        session.stop(true);
        testsupport::MediaProbe probe;
        QVERIFY2(probe.open(file), qPrintable(probe.errorString()));
        QVERIFY(probe.decodeVideo().size() > 0);
    }
};

QTEST_MAIN(tst_AudioCapturePulse)
#include "tst_AudioCapturePulse.moc"
