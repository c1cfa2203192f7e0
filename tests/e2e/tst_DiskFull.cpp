// Recordings on a filling disk, on the test display: refused, stopped by the free space check, or
// by a full small tmpfs, with one box and a whole file; the next one works once space is back.
#include "support/MediaProbe.h"
#include "support/TestSupport.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "recording/DiskSpaceWatchdog.h"
#include "recording/screen_capture_win.h"
#include "platform/posix/DiskSpace.h"
#include "ui/MainWindow.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

// Before the application object, which reads the user's folders.
[[maybe_unused]] static const bool isolated = (testsupport::isolateUserFolders(), true);

class tst_DiskFull : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stopsWithOneBox_data()
    {
        QTest::addColumn<int>("startMB"); // -1: a real 2 MB tmpfs, and the system's answers
        QTest::addColumn<int>("laterMB"); // 1.5 s into the recording
        QTest::addColumn<QString>("box");
        QTest::newRow("refused") << 300 << 300 << "Not enough disk space: Only 300 MB are free";
        QTest::newRow("low") << 600 << 50 << "stopped because only 50 MB are left in";
        QTest::newRow("tmpfs full") << -1 << -1 << "No space left on device";
    }

    void stopsWithOneBox()
    {
        QFETCH(int, startMB);
        QFETCH(int, laterMB);
        QFETCH(QString, box);
        const bool tmpfs = startMB < 0;
        QTemporaryDir dir;
        if (tmpfs && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=2m", "x", dir.path()}))
            QSKIP("No tmpfs could be mounted (needs root): the real full disk is not tested.");
        static std::int64_t free_bytes = 0; // what the seam reports
        free_bytes = startMB * DiskSpaceWatchdog::kMegabyte;
        // Each row sets both seams; only the failed write ends the tmpfs row's recording.
        DiskSpaceWatchdog::setLimits(tmpfs ? DiskSpaceWatchdog::kMegabyte : -1, tmpfs ? 0 : -1);
        platform::setFreeSpaceQuery(tmpfs ? platform::FreeSpaceQuery()
                                          : [](const QString&) { return free_bytes; });
        auto window = std::make_unique<MainWindow>();
        const auto restore = qScopeGuard([&] {
            window.reset(); // closes the files
            if (tmpfs)
                QProcess::execute("umount", {"-l", dir.path()});
        });
        QStringList boxes; // "title: text", the window's and the session's
        window->setBoxHandler(
            [&](auto, const QString& title, const QString& text) { boxes << title + ": " + text; });
        window->recordingSession()->setBoxHandler([&](const SessionBox& shown) {
            return !(boxes << shown.title + ": " + shown.text).isEmpty();
        });
        QCoreApplication::processEvents();
        boxes.clear(); // the tab server's port may be taken by a suite running meanwhile
        SettingsStore::instance().setValue(settings::kOutputGroup, settings::kRecordingPath,
                                           dir.path());
        auto* record = window->findChild<QToolButton*>("toolButtonRecord");
        QTimer::singleShot(1500, window.get(), [=] { free_bytes = laterMB * (1 << 20); });
        record->click();
        QTRY_VERIFY_WITH_TIMEOUT(!window->isRecording(), 30000); // 6 Mbit/s fill 2 MB in 3 s
        QVERIFY2(boxes.value(0).contains(box) && boxes[0].contains(dir.path()),
                 qPrintable(boxes.value(0)));
        // The file is whole (no journal left to repair from); once space is back a new one works.
        QVERIFY(QDir(dir.path()).entryList({"*.journal"}).isEmpty());
        free_bytes = 600 * DiskSpaceWatchdog::kMegabyte;
        QVERIFY(!tmpfs || !QProcess::execute("mount", {"-o", "remount,size=64m", dir.path()}));
        record->click();
        QTest::qWait(1500);
        record->click();
        QCOMPARE(boxes.size(), 1);
        const QFileInfoList files = QDir(dir.path()).entryInfoList({"*.mp4"}, QDir::Files);
        QCOMPARE(files.size(), startMB == laterMB && !tmpfs ? 1 : 2);
        for (const QFileInfo& file : files) {
            testsupport::MediaProbe probe;
            QVERIFY(probe.open(file.filePath()) && probe.decodeVideo().size() > 5);
        }
    }
};

QTEST_MAIN(tst_DiskFull)
#include "tst_DiskFull.moc"
