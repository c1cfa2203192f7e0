#include "app/FrameRateSetting.h"
#include "app/JsonListFile.h"
#include "app/SettingsStore.h"
#include "hotkeys/HotkeyManager.h"
#include "support/TestSupport.h"

#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <functional>

#include <sys/resource.h>

// A store's save of a change into the file at a path; true when it says it saved.
using Save = std::function<bool(const QString& path)>;
Q_DECLARE_METATYPE(Save)

// The store is made once per process, at its first use: here, in a fresh home folder whose
// settings file cannot be read.
class tst_SettingsStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }
    // An unreadable file is set aside unchanged and the first-start defaults are written; the
    // recordings folder they name is made.
    void unreadableFileIsSetAsideAndDefaultsWritten()
    {
        const QString path =
            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/settings.ini";
        const QByteArray garbage("\x00\xff\xfe\x01[[\x00=\n\x80", 11);
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile seed(path);
        QVERIFY(seed.open(QIODevice::WriteOnly));
        seed.write(garbage);
        seed.close();

        SettingsStore::instance().sync();
        QCOMPARE(SettingsStore::instance().fileName(), path);
        QFile broken(path + ".broken");
        QVERIFY(broken.open(QIODevice::ReadOnly));
        QCOMPARE(broken.readAll(), garbage);
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.allKeys().size(), 14);
        QCOMPARE(file.value("VideoSett/VideoFormat").toString(), QString("H264-AAC(MP4)"));
        const QString recordings = file.value("OutPutFileSett/RecordingPath").toString();
        QCOMPARE(recordings,
                 QStandardPaths::writableLocation(QStandardPaths::MoviesLocation) + "/QZT");
        QVERIFY(QFileInfo(recordings).isDir());
    }

    // A full disk (here the file size limit, which binds root too) fails the save, which says so
    // and leaves the old file as it was.
    void failedSaveKeepsTheOldFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<Save>("save");
        const QString ini = SettingsStore::instance().fileName();
        QTest::newRow("hotkeys") << QFileInfo(ini).path() + "/hotkeys.json" << Save([](auto& path) {
            return HotkeyManager(path).setHotkey({false, 0, "F2"});
        });
        QTest::newRow("list file") << QFileInfo(ini).path() + "/macro.json" << Save([](auto& path) {
            return JsonListFile(path, "macros").save({1, 2});
        });
        QTest::newRow("settings") << ini << Save([](auto&) { // Qt's status tells it only once
            SettingsStore::instance().setValue("a", "b", 1);
            SettingsStore::instance().sync();
            return false;
        });
    }
    void failedSaveKeepsTheOldFile()
    {
        QFETCH(QString, path);
        QFETCH(Save, save);
        QFile file(path);
        QVERIFY(file.exists() || (file.open(QIODevice::WriteOnly) && file.write("[]") == 2));
        file.close();
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t was = std::exchange(limit.rlim_cur, 1);
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool saved = save(path);
        limit.rlim_cur = was;
        setrlimit(RLIMIT_FSIZE, &limit);
        QVERIFY(!saved);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
    }

    // Whatever an edited file holds, every recording gets a rate the dialog could have chosen.
    void frameRateIsReadInRange_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("fps");
        const std::pair<const char*, int> rows[] = {{"1e12", 300}, {"nan", 15},  {"-5", 15},
                                                    {"abc", 15},   {"0", 15},    {"60", 60},
                                                    {"29.97", 29}, {"1000", 300}};
        for (auto [stored, fps] : rows)
            QTest::newRow(stored) << QVariant(stored) << fps;
        QTest::newRow("absent") << QVariant() << 15;
    }
    void frameRateIsReadInRange()
    {
        QFETCH(QVariant, stored);
        QTEST(settings::frameRateFromSetting(stored), "fps");
    }
};

QTEST_GUILESS_MAIN(tst_SettingsStore)
#include "tst_SettingsStore.moc"
