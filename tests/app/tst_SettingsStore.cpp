#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <iostream>

// The store is created once per process, so every case that needs a first start runs this same
// executable again as a child with a fresh home folder (TST_SETTINGS_CHILD set). The child seeds
// settings.ini, creates the store, reads a few keys with their readers' fallbacks and reports
// everything as JSON on standard output.
namespace {

constexpr char kChildVar[] = "TST_SETTINGS_CHILD";
constexpr char kSeedVar[] = "TST_SETTINGS_SEED";

int runChild()
{
    // HOME and the XDG folders are the fresh ones the parent chose for this case.
    QStandardPaths::setTestModeEnabled(true);
    const QString expectedPath =
        QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/settings.ini";
    if (qEnvironmentVariableIsSet(kSeedVar)) {
        QDir().mkpath(QFileInfo(expectedPath).path());
        QFile seed(expectedPath);
        if (!seed.open(QIODevice::WriteOnly))
            return 2;
        seed.write(QByteArray::fromBase64(qgetenv(kSeedVar)));
    }

    using namespace settings;
    SettingsStore& store = SettingsStore::instance();
    QJsonObject out;
    out["fileName"] = store.fileName();
    out["expectedPath"] = expectedPath;
    out["movies"] = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    // The fallbacks of the encoder set-up and the main window.
    out["fps"] = store.value(kVideoGroup, kFps, 15).toDouble();
    out["videoBitrate"] = store.value(kVideoGroup, kVideoBitrate, 400000).toInt();
    out["audioBitrate"] = store.value(kAudioGroup, kAudioBitrate, 96000).toInt();
    out["language"] = store.value(kUiGroup, kLanguage, "en").toString();
    out["recordingPath"] = store.value(kOutputGroup, kRecordingPath, "./QZT").toString();
    out["port"] = store.value(kTabCaptureGroup, kWebSocketPort, 8765).toInt();
    store.sync();
    std::cout << QJsonDocument(out).toJson(QJsonDocument::Compact).toStdString() << std::endl;
    return 0;
}

} // namespace

class tst_SettingsStore : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root_;

    // Runs the child with its own home folder and working folder; returns its report.
    QJsonObject runFreshStore(const QString& name, const QByteArray* seed, QString* homeOut)
    {
        const QString home = root_.path() + "/" + name;
        QDir().mkpath(home + "/cwd");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kChildVar, "1");
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/.config");
        env.insert("XDG_DATA_HOME", home + "/.local/share");
        env.insert("XDG_CACHE_HOME", home + "/.cache");
        if (seed)
            env.insert(kSeedVar, QString::fromLatin1(seed->toBase64()));
        QProcess child;
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(home + "/cwd");
        child.start(QCoreApplication::applicationFilePath(), {});
        if (!child.waitForFinished(30000) || child.exitStatus() != QProcess::NormalExit ||
            child.exitCode() != 0) {
            qWarning() << "child failed:" << child.readAllStandardError();
            return {};
        }
        *homeOut = home;
        const QByteArray output = child.readAllStandardOutput();
        return QJsonDocument::fromJson(output.trimmed().split('\n').last()).object();
    }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QVERIFY(root_.isValid());
    }

    void firstRunWritesExactlyTheDefaultsAndCreatesTheFolder()
    {
        QString home;
        const QJsonObject report = runFreshStore("first-run", nullptr, &home);
        QVERIFY(!report.isEmpty());
        QCOMPARE(report["fileName"].toString(), report["expectedPath"].toString());
        QVERIFY(report["fileName"].toString().startsWith(home));

        const QString movies = report["movies"].toString();
        QVERIFY2(movies.startsWith(home), qPrintable(movies));
        const QString recordingPath = movies + "/QZT";
        QVERIFY(QFileInfo(recordingPath).isDir());

        QSettings file(report["fileName"].toString(), QSettings::IniFormat);
        const QMap<QString, QString> expected{
            {"AudioSett/Bitrate", "128"},
            {"AudioSett/AudioFormat", "AAC"},
            {"VideoSett/Bitrate", "6000"},
            {"VideoSett/fps", "15"},
            {"VideoSett/VideoFormat", "H264-AAC(MP4)"},
            {"VideoSett/VideoCaptureAPI", "WGC"},
            {"VideoSett/ShowCursor", "false"},
            {"VideoSett/KeepVideoVisible", "false"},
            {"VideoSett/KeepOnTop", "false"},
            {"VideoSett/RecordVideo", "true"},
            {"OutPutFileSett/RecordingFileName", "out_file"},
            {"OutPutFileSett/RecordingPath", recordingPath},
            {"OutPutFileSett/UserDefinedFileName", "false"},
            {"TabCaptureSett/WebSocketPort", "8765"},
        };
        QMap<QString, QString> actual;
        for (const QString& key : file.allKeys())
            actual.insert(key, file.value(key).toString());
        QCOMPARE(actual, expected);

        QCOMPARE(report["fps"].toDouble(), 15.0);
        QCOMPARE(report["videoBitrate"].toInt(), 6000);
        QCOMPARE(report["language"].toString(), QString("en"));
        QCOMPARE(report["recordingPath"].toString(), recordingPath);
    }

    void existingFileGetsNoDefaults_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("keysAfter");
        QTest::addColumn<double>("fps");
        QTest::addColumn<int>("videoBitrate");
        QTest::addColumn<QString>("language");
        QTest::addColumn<int>("port");

        QTest::newRow("language only: readers fall back")
            << QByteArray("[UISett]\nLanguage=de\n") << QStringList{"UISett/Language"} << 15.0
            << 400000 << "de" << 8765;
        QTest::newRow("fractional fps from the dialog")
            << QByteArray("[VideoSett]\nfps=29.97\nBitrate=Auto\n")
            << QStringList{"VideoSett/Bitrate", "VideoSett/fps"} << 29.97 << 0 << "en" << 8765;
        QTest::newRow("port edited out of range is read as written")
            << QByteArray("[TabCaptureSett]\nWebSocketPort=70000\n")
            << QStringList{"TabCaptureSett/WebSocketPort"} << 15.0 << 400000 << "en" << 70000;
    }
    void existingFileGetsNoDefaults()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, keysAfter);
        QString home;
        const QJsonObject report = runFreshStore(
            QString("seeded-%1").arg(QTest::currentDataTag()).remove(' '), &content, &home);
        QVERIFY(!report.isEmpty());

        QSettings file(report["fileName"].toString(), QSettings::IniFormat);
        QStringList keys = file.allKeys();
        keys.sort();
        QCOMPARE(keys, keysAfter);

        QTEST(report["fps"].toDouble(), "fps");
        QTEST(report["videoBitrate"].toInt(), "videoBitrate");
        QTEST(report["language"].toString(), "language");
        QTEST(report["port"].toInt(), "port");
        // Without the key the folder is "./QZT", relative to the working folder.
        QCOMPARE(report["recordingPath"].toString(), QString("./QZT"));
        QVERIFY(QFileInfo(home + "/cwd/QZT").isDir());
    }

    void malformedFileIsSetAsideAndDefaultsWritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("binary garbage") << QByteArray("\x00\xff\xfe\x01[[\x00=\n\x80\x81", 12);
        QTest::newRow("broken sections") << QByteArray("[VideoSett\nfps\n=\n]]]\n[\n");
        QTest::newRow("utf-16 text") << QByteArray("\xff\xfe[\0V\0]\0\n\0", 10);
    }
    void malformedFileIsSetAsideAndDefaultsWritten()
    {
        QFETCH(QByteArray, content);
        QString home;
        const QJsonObject report = runFreshStore(
            QString("malformed-%1").arg(QTest::currentDataTag()).remove(' '), &content, &home);
        QVERIFY(!report.isEmpty());
        QCOMPARE(report["fps"].toDouble(), 15.0);
        QCOMPARE(report["videoBitrate"].toInt(), 6000);
        QCOMPARE(report["audioBitrate"].toInt(), 128);
        QCOMPARE(report["port"].toInt(), 8765);
        QCOMPARE(report["recordingPath"].toString(), report["movies"].toString() + "/QZT");

        QSettings file(report["fileName"].toString(), QSettings::IniFormat);
        QCOMPARE(file.status(), QSettings::NoError);
        QCOMPARE(file.allKeys().size(), 14);
        // The unreadable file is kept beside it, unchanged.
        QFile broken(report["fileName"].toString() + ".broken");
        QVERIFY(broken.open(QIODevice::ReadOnly));
        QCOMPARE(broken.readAll(), content);
    }

    // beginGroup/endGroup change shared state: without the store's lock, threads reading and
    // writing different groups would read or write each other's keys.
    void concurrentAccessKeepsGroupsApart()
    {
        SettingsStore& store = SettingsStore::instance();
        constexpr int kThreads = 4;
        constexpr int kRounds = 2000;
        std::atomic<int> mismatches{0};
        QList<QThread*> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.append(QThread::create([&store, &mismatches, t] {
                const QString group = QString("ConcurrentGroup%1").arg(t);
                for (int i = 0; i < kRounds; ++i) {
                    store.setValue(group, "Value", t * 100000 + i);
                    if (store.value(group, "Value", -1).toInt() != t * 100000 + i)
                        ++mismatches;
                }
            }));
        }
        for (QThread* thread : threads)
            thread->start();
        for (QThread* thread : threads) {
            QVERIFY(thread->wait(60000));
            delete thread;
        }
        QCOMPARE(mismatches.load(), 0);
        for (int t = 0; t < kThreads; ++t) {
            QCOMPARE(store.value(QString("ConcurrentGroup%1").arg(t), "Value").toInt(),
                     t * 100000 + kRounds - 1);
        }
    }
};

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsSet(kChildVar)) {
        QCoreApplication app(argc, argv);
        return runChild();
    }
    QCoreApplication app(argc, argv);
    tst_SettingsStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SettingsStore.moc"
