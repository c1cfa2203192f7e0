// Runs the real program under the offscreen platform with its own home, configuration and
// temporary folders, and judges it by what it leaves behind: exit codes, the run log, crash.dmp
// and the crash message (which the test build of the message reports on standard output).
#include "support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

struct Sandbox
{
    QTemporaryDir root;
    QString path(const QString& name) const { return root.path() + "/" + name; }
    QString logDir(const QString& appName = "torvane") const
    {
        return path("home/.config/" + appName + "/Log");
    }

    Sandbox()
    {
        for (const char* dir : {"home/.config", "tmp", "work", "run"})
            QDir().mkpath(path(dir));
        QFile::setPermissions(path("run"), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner);
    }

    // The program, or with argv0 the program under that name, whose configuration folder
    // follows it.
    std::unique_ptr<QProcess> start(const QStringList& args = {}, const QString& hook = {},
                                    const QString& workDir = {}, const QString& argv0 = {}) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", path("home"));
        env.insert("XDG_CONFIG_HOME", path("home/.config"));
        env.insert("XDG_DATA_HOME", path("home/.local/share"));
        env.insert("XDG_CACHE_HOME", path("home/.cache"));
        env.insert("XDG_RUNTIME_DIR", path("run"));
        env.insert("TMPDIR", path("tmp"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TORVANE_TEST_CRASH_BOX", "autoclose");
        env.insert("TORVANE_TEST_HOOK", hook);
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(workDir.isEmpty() ? path("work") : workDir);
        if (argv0.isEmpty())
            process->start(QStringLiteral(TORVANE_EXE), args);
        else
            process->start("bash", QStringList{"-c", "exec -a \"$0\" \"$@\"", argv0,
                                               QStringLiteral(TORVANE_EXE)} +
                                       args);
        return process;
    }

    QStringList logFiles(const QString& appName = "torvane") const
    {
        return QDir(logDir(appName)).entryList(QDir::Files);
    }

    // The log holding "Main window", or empty.
    QString logText(const QString& appName = "torvane") const
    {
        for (const QString& name : logFiles(appName)) {
            QFile file(logDir(appName) + "/" + name);
            if (file.open(QIODevice::ReadOnly))
                if (const QString text = QString::fromUtf8(file.readAll());
                    text.contains("Main window"))
                    return text;
        }
        return {};
    }

    qint64 lockOwner() const
    {
        QFile lock(path("tmp/Torvane.lock"));
        return lock.open(QIODevice::ReadOnly) ? lock.readLine().trimmed().toLongLong() : -1;
    }
};

void stop(QProcess& process)
{
    process.kill();
    process.waitForFinished(10000);
}

} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }

    void secondInstanceExitsAtOnceWithoutTrace()
    {
        Sandbox box;
        auto first = box.start();
        QTRY_VERIFY_WITH_TIMEOUT(box.logText().contains("Main window shown"), 20000);
        QCOMPARE(box.lockOwner(), qint64(first->processId()));

        auto second = box.start({"--scheduled-record"});
        QVERIFY(second->waitForFinished(20000));
        QCOMPARE(second->exitCode(), 1);
        QCOMPARE(second->readAll(), QByteArray());
        QCOMPARE(box.logFiles().size(), 1);
        stop(*first);

        // A lock left behind by a killed instance names its dead process: the next start runs.
        auto third = box.start();
        QTRY_COMPARE_WITH_TIMEOUT(box.lockOwner(), qint64(third->processId()), 20000);
        stop(*third);
    }

    // One start with stale logs under every name it could take, and a hook that writes to the
    // standard streams.
    void runLog()
    {
        Sandbox box;
        QDir().mkpath(box.logDir());
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = -2; s <= 60; ++s) {
            QFile stale(box.logDir() + "/qzt_" + now.addSecs(s).toString("yyyyMMdd_HHmmss") +
                        ".log");
            QVERIFY(stale.open(QIODevice::WriteOnly));
            stale.write(QByteArray(5000, 'x') + "\nstale line\n");
        }
        auto app = box.start({}, "stdio");
        QTRY_VERIFY_WITH_TIMEOUT(box.logText().contains("Test hook line on std::cerr"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(box.logText().contains("Test hook line on std::cout"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(box.logText().contains("Main window centred"), 20000);
        stop(*app);
        QVERIFY(!app->readAll().contains("Test hook line"));

        // The log of the same second is replaced, not appended to.
        const QStringList lines = box.logText().split('\n', Qt::SkipEmptyParts);
        QVERIFY(!box.logText().contains("stale line"));
        const QRegularExpression line("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  "
                                      "\\[(DEBUG|INFO|WARNING|CRITICAL|FATAL)\\] ");
        QVERIFY2(lines.first().endsWith("  [DEBUG] QZT Application Started"),
                 qPrintable(lines.first()));
        for (const QString& text : lines) // the standard streams' lines come as they are
            QVERIFY2(line.match(text).hasMatch() || text.startsWith("Test hook line"),
                     qPrintable(text));
    }

    void scheduledSwitchHidesTheWindow_data()
    {
        QTest::addColumn<QString>("argv0");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("switch among others")
            << "" << QStringList{"--foo", "--scheduled-record", "bar"} << true;
        QTest::newRow("switch with a value") << "" << QStringList{"--scheduled-record=1"} << false;
        QTest::newRow("switch as program name") << "--scheduled-record" << QStringList{} << true;
    }
    void scheduledSwitchHidesTheWindow()
    {
        QFETCH(QString, argv0);
        QFETCH(QStringList, args);
        QFETCH(bool, hidden);
        Sandbox box;
        const QString appName = argv0.isEmpty() ? "torvane" : argv0;
        auto app = box.start(args, {}, {}, argv0);
        QTRY_VERIFY_WITH_TIMEOUT(box.logText(appName).contains("Main window centred"), 20000);
        stop(*app);
        const QString log = box.logText(appName);
        QCOMPARE(log.contains("] Scheduled start: main window hidden\n"), hidden);
        QCOMPARE(log.contains("] Main window shown\n"), !hidden);
        // Centred on the offscreen platform's only screen, with integer halves.
        const QRegularExpressionMatch m =
            QRegularExpression("centred at (-?\\d+),(-?\\d+) \\((\\d+)x(\\d+)\\) on screen .* "
                               "\\((-?\\d+),(-?\\d+) (\\d+)x(\\d+)\\)")
                .match(log);
        QVERIFY2(m.hasMatch(), qPrintable(log));
        const auto n = [&m](int i) { return m.captured(i).toInt(); };
        QCOMPARE(n(1), n(5) + (n(7) - n(3)) / 2);
        QCOMPARE(n(2), n(6) + (n(8) - n(4)) / 2);
    }

    void crashWritesDumpAndShowsTheBox_data()
    {
        QTest::addColumn<QString>("hook");
        QTest::addColumn<bool>("writableDir");
        QTest::addColumn<QString>("expectedSignal");
        QTest::addColumn<QString>("expectedBox");
        const QString english =
            "AppCrash | The application has crashed. The file crash.dmp has been created.";
        QTest::newRow("invalid memory write, box in the saved language")
            << "crash" << true << "SIGSEGV"
            << "Programmabsturz | Die Anwendung ist abgestürzt. Die Datei crash.dmp wurde "
               "erstellt.";
        // /proc takes no new files, not even from root.
        QTest::newRow("unwritable working folder") << "crash" << false << "" << english;
        QTest::newRow("fatal message") << "fatal" << true << "SIGABRT" << english;
    }
    void crashWritesDumpAndShowsTheBox()
    {
        QFETCH(QString, hook);
        QFETCH(bool, writableDir);
        QFETCH(QString, expectedSignal);
        QFETCH(QString, expectedBox);
        Sandbox box;
        if (expectedSignal == "SIGSEGV")
            QSettings(box.path("home/.config/torvane/settings.ini"), QSettings::IniFormat)
                .setValue("UISett/Language", "DE");
        const QString dumpPath = box.path("work/crash.dmp");
        QFile old(dumpPath); // an older dump is replaced
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(100000, 'x'));
        old.close();
        auto app = box.start({}, hook, writableDir ? QString() : "/proc");
        QVERIFY(app->waitForFinished(30000));
        QCOMPARE(app->exitStatus(), QProcess::CrashExit);
        const QString output = QString::fromUtf8(app->readAllStandardOutput());
        QVERIFY2(output.contains("Crash box shown: " + expectedBox + "\n"), qPrintable(output));
        if (!writableDir)
            return;
        QVERIFY(old.open(QIODevice::ReadOnly));
        const QString report = QString::fromUtf8(old.readAll());
        QVERIFY2(report.contains("(" + expectedSignal + ")"), qPrintable(report));
        QVERIFY(!report.contains("xxxx"));
        QVERIFY(report.contains("Backtrace:\n"));
        if (hook == "crash")
            QVERIFY2(report.contains("Fault address: 0x10\n"), qPrintable(report));
        else
            QVERIFY(box.logText().contains("  [FATAL] Test hook fatal message\n"));
        // At least a few frames, the program's own among them.
        QVERIFY(report.count("torvane") >= 2);
    }
};

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_Startup.moc"
