#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "support/TestSupport.h"

#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <iostream>

// The store is made once per process, so each first start runs this executable again as a child
// in a fresh home folder (TST_SETTINGS_CHILD set): it writes TST_SETTINGS_SEED as settings.ini,
// makes the store and prints the file's path.
namespace {

int runChild()
{
    const QString path =
        QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/settings.ini";
    if (qEnvironmentVariableIsSet("TST_SETTINGS_SEED")) {
        QDir().mkpath(QFileInfo(path).path());
        QFile seed(path);
        if (!seed.open(QIODevice::WriteOnly))
            return 2;
        seed.write(QByteArray::fromBase64(qgetenv("TST_SETTINGS_SEED")));
    }
    SettingsStore::instance().sync();
    std::cout << qPrintable(SettingsStore::instance().fileName()) << std::endl;
    return 0;
}

} // namespace

class tst_SettingsStore : public QObject
{
    Q_OBJECT

    QTemporaryDir root_;

    // The settings file a first start in home leaves, seeded with seed unless it is null.
    QString firstStart(const QString& home, const QByteArray& seed) const
    {
        QDir().mkpath(home + "/cwd");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TST_SETTINGS_CHILD", "1");
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/.config");
        env.insert("XDG_DATA_HOME", home + "/.local/share");
        if (!seed.isNull())
            env.insert("TST_SETTINGS_SEED", QString::fromLatin1(seed.toBase64()));
        QProcess child;
        child.setProcessEnvironment(env);
        child.setWorkingDirectory(home + "/cwd");
        child.start(QCoreApplication::applicationFilePath(), {});
        if (!child.waitForFinished(30000) || child.exitCode() != 0)
            return {};
        const QString path = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
        return path.startsWith(home) ? path : QString();
    }

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }

    // A first start writes the defaults and makes the recordings folder; a file that cannot be
    // read is set aside unchanged and replaced by the defaults; a readable one gets none, and the
    // readers fall back, the folder to "./QZT" beside the program.
    void firstStart_data()
    {
        QTest::addColumn<QByteArray>("seed");
        QTest::addColumn<int>("keys");
        QTest::newRow("no file") << QByteArray() << 14;
        QTest::newRow("binary garbage") << QByteArray("\x00\xff\xfe\x01[[\x00=\n\x80", 11) << 14;
        QTest::newRow("language only") << QByteArray("[UISett]\nLanguage=de\n") << 1;
    }
    void firstStart()
    {
        QFETCH(QByteArray, seed);
        const QString home = root_.filePath(QTest::currentDataTag());
        const QString path = firstStart(home, seed);
        QVERIFY(!path.isEmpty());
        QSettings file(path, QSettings::IniFormat);
        QTEST(int(file.allKeys().size()), "keys");
        const QString recordings =
            file.value("OutPutFileSett/RecordingPath", home + "/cwd/QZT").toString();
        QVERIFY2(recordings.startsWith(home) && QFileInfo(recordings).isDir(),
                 qPrintable(recordings));
        QFile broken(path + ".broken");
        QCOMPARE(broken.open(QIODevice::ReadOnly) ? broken.readAll() : QByteArray(),
                 seed.startsWith('\0') ? seed : QByteArray());
    }

    // Threads reading and writing different groups must never see each other's keys.
    void concurrentAccessKeepsGroupsApart()
    {
        SettingsStore& store = SettingsStore::instance();
        std::atomic<int> mismatches{0};
        QList<QThread*> threads;
        for (int t = 0; t < 4; ++t) {
            threads.append(QThread::create([&store, &mismatches, t] {
                const QString group = QString("ConcurrentGroup%1").arg(t);
                for (int i = 0; i < 2000; ++i) {
                    store.setValue(group, "Value", t * 100000 + i);
                    mismatches += store.value(group, "Value", -1).toInt() != t * 100000 + i;
                }
            }));
            threads.last()->start();
        }
        for (QThread* thread : threads) {
            QVERIFY(thread->wait(60000));
            delete thread;
        }
        QCOMPARE(mismatches.load(), 0);
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("TST_SETTINGS_CHILD"))
        return runChild();
    tst_SettingsStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SettingsStore.moc"
