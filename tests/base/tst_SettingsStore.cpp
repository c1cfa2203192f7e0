#include "base/FrameRateSetting.h"
#include "base/JsonListFile.h"
#include "base/SettingsStore.h"
#include "hotkeys/HotkeyManager.h"
#include "support/TestSupport.h"

#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

// The store is made once per process, at its first use: here, in a fresh home folder whose
// settings file cannot be read.
class tst_SettingsStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // An unreadable file is set aside unchanged and the first-start defaults are written; the
    // recordings folder they name is made.
    void unreadableFileIsSetAsideAndDefaultsWritten()
    {
        testsupport::isolateUserFolders();
        const QString path =
            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/settings.ini";
        const QByteArray garbage("\x00\xff\xfe\x01[[\x00=\n\x80", 11);
        QVERIFY(testsupport::writeFile(path, garbage));

        SettingsStore::instance().sync();
        QCOMPARE(SettingsStore::instance().fileName(), path);
        QCOMPARE(testsupport::readFile(path + ".broken"), garbage);
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.allKeys().size(), 14);
        QCOMPARE(file.value("VideoSett/VideoFormat").toString(), QString("H264-AAC(MP4)"));
        const QString recordings = file.value("OutPutFileSett/RecordingPath").toString();
        QCOMPARE(recordings,
                 QStandardPaths::writableLocation(QStandardPaths::MoviesLocation) + "/QZT");
        QVERIFY(QFileInfo(recordings).isDir());
    }

    // A full disk (a file size limit binds root too) fails a save, which says so; the old stays.
    void failedSaveKeepsTheOldFile_data()
    {
        QTest::addColumn<bool>("hotkeys");
        QTest::newRow("hotkeys") << true;
        QTest::newRow("list file") << false;
    }
    void failedSaveKeepsTheOldFile()
    {
        QFETCH(bool, hotkeys);
        QTemporaryDir dir;
        QFile file(dir.filePath("store.json"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[]") == 2);
        file.close();
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t was = std::exchange(limit.rlim_cur, 1);
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool saved = hotkeys ? HotkeyManager(file.fileName()).setHotkey({false, 0, "F2"})
                                   : JsonListFile(file.fileName(), "macros").save({1});
        limit.rlim_cur = was;
        setrlimit(RLIMIT_FSIZE, &limit);
        QVERIFY(!saved && file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("[]"));
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
    }
    void frameRateIsReadInRange()
    {
        QFETCH(QVariant, stored);
        QTEST(settings::frameRateFromSetting(stored), "fps");
    }
};

QTEST_GUILESS_MAIN(tst_SettingsStore)
#include "tst_SettingsStore.moc"
