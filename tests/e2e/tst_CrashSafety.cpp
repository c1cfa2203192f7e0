// Real recordings of the test display killed with SIGKILL at a random moment: after the repair
// the next start runs, each file plays up to at most two seconds before the kill.
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"
#include "encode/RecordingJournal.h"
#include "encode/RecordingRepair.h"
#include "support/MediaProbe.h"
#include "support/PulseTestTools.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using testsupport::MediaProbe;

namespace {

constexpr int kRate = 15;

// The child: records an area of the display in the format of CRASH_FORMAT into CRASH_FILE
// until it is killed.
int recordUntilKilled(int argc, char** argv)
{
    QApplication app(argc, argv);
    testsupport::isolateUserFolders();
    using namespace settings;
    SettingsStore& store = SettingsStore::instance();
    store.setValue(kVideoGroup, kVideoFormat, qEnvironmentVariable("CRASH_FORMAT"));
    store.setValue(kVideoGroup, kFps, kRate);
    store.setValue(kVideoGroup, kVideoCaptureApi, QStringLiteral("GDI"));
    screen_capture_win session;
    session.setBoxHandler([](const SessionBox& box) { return qWarning() << box.text, true; });
    const bool sound = testsupport::pulseReachable() && testsupport::defaultSinkIsTestSink();
    session.configure(sound ? QStringLiteral("System Audio") : QStringLiteral("No Audio"),
                      qEnvironmentVariable("CRASH_FILE"), nullptr);
    session.target.targetType = TargetScreen;
    session.target.targetRect = QRect(0, 0, 1920, 1080);
    session.target.areaMode = true;
    session.setCaptureArea(0, 0, 640, 360);
    session.start();
    std::printf("recording\n");
    std::fflush(stdout);
    return app.exec();
}

} // namespace

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
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("CRASH_FORMAT", format);
        environment.insert("CRASH_FILE", file);
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForStarted());
        QByteArray out;
        while (!out.contains("recording") && child.waitForReadyRead(20000))
            out += child.readAllStandardOutput();
        QVERIFY2(out.contains("recording"), out.right(300).constData());
        QElapsedTimer recording;
        recording.start();
        const int killAfterMs = QRandomGenerator::global()->bounded(3500, 7000);
        QTest::qWait(killAfterMs);
        child.kill(); // SIGKILL: no handler, no trailer
        const double killedAt = recording.elapsed() / 1000.0;
        QVERIFY(child.waitForFinished());

        const QStringList repaired = RecordingRepair::repairAll(dir.path());
        QCOMPARE(repaired, format == settings::kFormatMp4 ? QStringList{file} : QStringList{});
        QVERIFY(!QFile::exists(RecordingJournal::pathFor(file)));
        MediaProbe probe;
        QVERIFY2(probe.open(file), qPrintable(probe.errorString()));
        const double seconds = double(probe.decodeVideo().size()) / kRate;
        qInfo() << format << "killed after" << killedAt << "s, plays" << seconds << "s";
        QVERIFY2(seconds >= killedAt - 2.0 && seconds <= killedAt + 0.5,
                 qPrintable(
                     QStringLiteral("%1 s played, killed after %2 s").arg(seconds).arg(killedAt)));
        if (const auto* audio = probe.firstStream(AVMEDIA_TYPE_AUDIO)) {
            const double sound = double(probe.decodeAudio().totalSamples) / audio->sampleRate;
            QVERIFY2(
                sound >= killedAt - 2.0,
                qPrintable(
                    QStringLiteral("%1 s of sound, killed after %2 s").arg(sound).arg(killedAt)));
        }
    }
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet("CRASH_FILE"))
        return recordUntilKilled(argc, argv);
    testsupport::isolateUserFolders();
    QApplication app(argc, argv);
    tst_CrashSafety test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_CrashSafety.moc"
