// The sound server's sources against the test script's PulseAudio: what is listed, which tones
// one program's sound, a microphone and the system sound carry, and the level probe.
#include "platform/AudioSourceList.h"
#include "support/LogCapture.h"
#include "support/PulseTestTools.h"

#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <atomic>

using Kind = AudioSourceChoice::Kind;
using Tones = QList<double>;

class tst_PulseSources : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    testsupport::TestMicrophone mic_;
    testsupport::TonePlayer tone440_, tone1000_;

    QString wav(double hz)
    {
        const QString path = dir_.filePath(QString("%1.wav").arg(hz));
        return QFile::exists(path) || testsupport::writeToneWav(path, hz, 60) ? path : QString();
    }
    // The left channel of about a second of sound, after the first moments.
    static std::vector<float> record(AudioSource& source)
    {
        std::vector<float> left;
        AudioPacket packet;
        for (int i = 0; i < 60; ++i, QTest::qWait(20)) {
            do {
                if (!source.read(packet))
                    return {};
                const auto* samples = reinterpret_cast<const float*>(packet.data.data());
                for (size_t s = 0; i > 10 && s < packet.data.size() / sizeof(float); s += 2)
                    left.push_back(samples[s]);
            } while (packet.frames > 0);
        }
        return left;
    }

private slots:
    void initTestCase()
    {
        if (!testsupport::pulseReachable() || !testsupport::defaultSinkIsTestSink())
            QSKIP("Needs the test script's PulseAudio server.");
        QVERIFY(mic_.start(wav(660)));
        QVERIFY(tone440_.start(wav(440), "Tone440"));
        QVERIFY(tone1000_.start(wav(1000), "Tone1000"));
    }

    void listingShowsInputsAndPrograms()
    {
        const AudioSourceListing listing = listAudioSources();
        QVERIFY(listing.reached);
        const AudioInputDevice mic{mic_.name().toStdString(), mic_.description().toStdString()};
        QCOMPARE(std::count(listing.microphones.begin(), listing.microphones.end(), mic), 1);
        for (const auto& device : listing.microphones)
            QVERIFY2(!QString::fromStdString(device.name).endsWith(".monitor"), device.name.data());
        for (const char* program : {"Tone440", "Tone1000"})
            QCOMPARE(std::count_if(listing.applications.begin(), listing.applications.end(),
                                   [&](const auto& entry) { return entry.name == program; }),
                     1);
    }

    // The window asks for the list again when the server says a program started or stopped.
    void watcherTellsOfPrograms()
    {
        std::atomic<int> changes = 0;
        const auto watcher = AudioSourceWatcher::create([&] { ++changes; });
        QVERIFY(watcher);
        QTRY_VERIFY(changes > 0); // connected
        QTest::qWait(200);
        changes = 0;
        {
            testsupport::TonePlayer tone;
            QVERIFY(tone.start(wav(880), "Tone880"));
            QTRY_VERIFY(changes > 0);
            changes = 0;
        }
        QTRY_VERIFY(changes > 0);
    }

    // A missing server, or one that takes the connection and never answers: nothing listed and
    // nothing opened, without waiting on it for long; a missing one is looked for again.
    void noServerAnswers_data()
    {
        QTest::addColumn<bool>("hung");
        QTest::newRow("missing") << false;
        QTest::newRow("hung") << true;
    }
    void noServerAnswers()
    {
        QFETCH(bool, hung);
        QLocalServer server; // never accepts: the client's greeting stays unanswered
        const QString socket = dir_.filePath("pulse-socket");
        QVERIFY(!hung || server.listen(socket));
        qputenv("PULSE_SERVER", ("unix:" + socket).toUtf8());
        const AudioSourceListing listing = listAudioSources();
        const auto opened = AudioSource::create()->open({Kind::Application, "Tone440"});
        if (!hung) { // the window hears of the missing server at each try to find it again
            std::atomic<int> tries = 0;
            const auto watcher = AudioSourceWatcher::create([&] { ++tries; });
            QTRY_VERIFY_WITH_TIMEOUT(tries >= 2, 10000);
        }
        qunsetenv("PULSE_SERVER");
        QCOMPARE(listing, AudioSourceListing{});
        QCOMPARE(opened, AudioSource::OpenError::NoServer);
    }

    void sourceCarriesItsTones_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("laterHz"); // a stream of the named program started after open
        QTest::addColumn<Tones>("heard");
        QTest::addColumn<Tones>("quiet");
        QTest::addColumn<QString>("logged"); // in the run log once the later stream ends
        const auto app = int(Kind::Application), mic = int(Kind::Microphone);
        QTest::newRow("program") << app << "Tone440" << 0.0 << Tones{440} << Tones{1000} << "";
        QTest::newRow("program's new stream")
            << app << "Tone440" << 550.0 << Tones{440, 550} << Tones{1000} << "";
        QTest::newRow("program that starts later")
            << app << "Tone770" << 770.0 << Tones{770} << Tones{440, 1000}
            << "The program Tone770 stopped playing sound";
        QTest::newRow("microphone by name")
            << mic << mic_.name() << 0.0 << Tones{660} << Tones{440} << "";
        QTest::newRow("microphone by description")
            << mic << mic_.description() << 0.0 << Tones{660} << Tones{440} << "";
        // The test microphone is the server's only input, so it is the default one.
        QTest::newRow("missing microphone") << mic << "Unplugged" << 0.0 << Tones{660} << Tones{440}
                                            << "The input device Unplugged is missing";
        QTest::newRow("system sound")
            << int(Kind::SystemSound) << QString() << 0.0 << Tones{440, 1000} << Tones{660} << "";
    }
    void sourceCarriesItsTones()
    {
        QFETCH(int, kind);
        QFETCH(QString, name);
        QFETCH(double, laterHz);
        QFETCH(Tones, heard);
        QFETCH(Tones, quiet);
        QFETCH(QString, logged);
        testsupport::LogCapture log;
        auto source = AudioSource::create();
        QCOMPARE(source->open({Kind(kind), name.toStdString()}), AudioSource::OpenError::None);
        QCOMPARE(source->format().rate, 48000);
        auto later = std::make_unique<testsupport::TonePlayer>();
        if (laterHz > 0)
            QVERIFY(later->start(wav(laterHz), name));
        const std::vector<float> left = record(*source);
        QVERIFY2(left.size() > 24000, qPrintable(QString::number(left.size())));
        double loudest = -200;
        for (double hz : heard) {
            const double level = testsupport::toneLevelDb(left, 48000, hz);
            QVERIFY2(level > -20, qPrintable(QString("%1 Hz at %2 dB").arg(hz).arg(level)));
            loudest = std::max(loudest, level);
        }
        for (double hz : quiet)
            QVERIFY2(testsupport::toneLevelDb(left, 48000, hz) < loudest - 40,
                     qPrintable(QString::number(hz)));
        later.reset();
        QStringList lines;
        if (!logged.isEmpty())
            QTRY_VERIFY((lines += log.take()).filter(logged).size() == 1);
    }

    void probeReadsPlayingSources()
    {
        auto probe = AudioLevelProbe::create();
        probe->watch({{Kind::Application, "Tone440"}, {Kind::Microphone, "Test Microphone"}});
        QTRY_VERIFY(probe->levels().size() == 2 && probe->levels()[0] > 0.1f &&
                    probe->levels()[1] > 0.1f);
        probe->watch({{Kind::Application, "Silent"}, {Kind::SystemSound, {}}});
        QTRY_VERIFY(probe->levels().size() == 2 && probe->levels()[1] > 0.1f);
        QCOMPARE(probe->levels()[0], 0.0f);
    }
};

QTEST_MAIN(tst_PulseSources)
#include "tst_PulseSources.moc"
