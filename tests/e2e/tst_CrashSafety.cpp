// Real recordings of the test display killed with SIGKILL at a random moment: after the repair
// the next start runs, each file plays up to at most two seconds before the kill.
#include "base/SettingsKeys.h"
#include "recording/screen_capture_win.h"
#include "encode/RecordingRepair.h"
#include "support/MediaProbe.h"
#include "support/PulseTestTools.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

constexpr int kRate = 15;

// The child: records an area of the display, with the system sound when there is a test sink,
// in the given format into the given file until it is killed.
int recordUntilKilled(int argc, char** argv)
{
    QApplication app(argc, argv);
    testsupport::isolateUserFolders();
    const RecordingSettings chosen = testsupport::recordingSettings(
        {{"VideoSett/VideoFormat", QString::fromUtf8(argv[2])}, {"VideoSett/fps", kRate}});
    screen_capture_win session;
    const bool sound = testsupport::pulseReachable() && testsupport::defaultSinkIsTestSink();
    session.configure(chosen, sound ? "System Audio" : "No Audio", QString::fromUtf8(argv[3]),
                      nullptr);
    session.setTarget({TargetScreen, {}, QRect(0, 0, 1920, 1080), 0, true});
    session.setCaptureArea(0, 0, 640, 360);
    session.start();
    return app.exec();
}

class tst_CrashSafety : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void killedRecordingsPlay_data()
    {
        QTest::addColumn<QString>("format");
        for (const char* format :
             {settings::kFormatMp4, settings::kFormatMpeg2, settings::kFormatAvi,
              settings::kFormatWmv, settings::kFormatMp4})
            QTest::newRow(format) << QString::fromLatin1(format);
    }

    void killedRecordingsPlay()
    {
        QFETCH(QString, format);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("killed.video"));
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {"--record", format, file});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(file), 20000); // the writer has started
        QElapsedTimer recording;
        recording.start();
        QTest::qWait(QRandomGenerator::global()->bounded(3500, 7000));
        child.kill(); // SIGKILL: no handler, no trailer
        const double killedAt = recording.elapsed() / 1000.0;
        QVERIFY(child.waitForFinished());
        const QStringList repaired = RecordingRepair::repairAll(dir.path());
        QCOMPARE(repaired, format == settings::kFormatMp4 ? QStringList{file} : QStringList{});
        testsupport::MediaProbe probe;
        QVERIFY2(probe.open(file), qPrintable(probe.errorString()));
        const double seconds = double(probe.decodeVideo().size()) / kRate;
        const auto* audio = probe.firstStream(AVMEDIA_TYPE_AUDIO);
        const double sound =
            audio ? double(probe.decodeAudio().totalSamples) / audio->sampleRate : killedAt;
        QVERIFY2(
            seconds >= killedAt - 2.0 && seconds <= killedAt + 0.5 && sound >= killedAt - 2.0,
            qPrintable(QString::asprintf("killed after %.2f s: %.2f s of pictures, %.2f s of sound",
                                         killedAt, seconds, sound)));
    }
};

int main(int argc, char** argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--record") == 0)
        return recordUntilKilled(argc, argv);
    QApplication app(argc, argv);
    tst_CrashSafety test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_CrashSafety.moc"
