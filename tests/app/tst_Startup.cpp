#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Runs the real program under the offscreen platform with its own home, configuration and
// temporary folders, and judges it by what it leaves behind: exit codes, the run log, crash.dmp
// and the crash message (which the test build of the message reports on standard output).
namespace {

struct Sandbox
{
    QTemporaryDir root;
    QString home() const { return root.path() + "/home"; }
    QString configHome() const { return home() + "/.config"; }
    QString tmp() const { return root.path() + "/tmp"; }
    QString workDir() const { return root.path() + "/work"; }
    QString logDir(const QString& appName = "torvane") const
    {
        return configHome() + "/" + appName + "/Log";
    }

    Sandbox()
    {
        for (const QString& dir : {home(), configHome(), tmp(), workDir(), root.path() + "/run"})
            QDir().mkpath(dir);
        QFile::setPermissions(root.path() + "/run", QFileDevice::ReadOwner |
                                                        QFileDevice::WriteOwner |
                                                        QFileDevice::ExeOwner);
    }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home());
        env.insert("XDG_CONFIG_HOME", configHome());
        env.insert("XDG_DATA_HOME", home() + "/.local/share");
        env.insert("XDG_CACHE_HOME", home() + "/.cache");
        env.insert("XDG_RUNTIME_DIR", root.path() + "/run");
        env.insert("TMPDIR", tmp());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TORVANE_TEST_CRASH_BOX", "autoclose");
        env.remove("TORVANE_TEST_HOOK");
        return env;
    }

    std::unique_ptr<QProcess> start(const QStringList& args = {},
                                    const QProcessEnvironment& env = {},
                                    const QString& workingDir = {}) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env.isEmpty() ? environment() : env);
        process->setWorkingDirectory(workingDir.isEmpty() ? workDir() : workingDir);
        process->start(QStringLiteral(TORVANE_EXE), args);
        return process;
    }

    QStringList logFiles(const QString& appName = "torvane") const
    {
        return QDir(logDir(appName)).entryList({"*"}, QDir::Files);
    }

    QString logText(const QString& appName = "torvane") const
    {
        const QStringList files = logFiles(appName);
        if (files.size() != 1)
            return {};
        QFile file(logDir(appName) + "/" + files.first());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll());
    }
};

qint64 lockOwner(const Sandbox& box)
{
    QFile lock(box.tmp() + "/Torvane.lock");
    if (!lock.open(QIODevice::ReadOnly))
        return -1;
    return lock.readLine().trimmed().toLongLong();
}

void stop(QProcess& process)
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
}

} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        QVERIFY(QFileInfo(TORVANE_EXE).isExecutable());
    }

    void secondInstanceExitsAtOnceWithoutTrace()
    {
        Sandbox box;
        auto first = box.start();
        QTRY_VERIFY_WITH_TIMEOUT(box.logText().contains("QZT Application Started"), 20000);
        QCOMPARE(lockOwner(box), qint64(first->processId()));

        auto second = box.start({"--scheduled-record"});
        QVERIFY(second->waitForFinished(20000));
        QCOMPARE(second->exitStatus(), QProcess::NormalExit);
        QCOMPARE(second->exitCode(), 1);
        QCOMPARE(second->readAllStandardOutput(), QByteArray());
        QCOMPARE(second->readAllStandardError(), QByteArray());
        QCOMPARE(box.logFiles().size(), 1);
        QVERIFY(first->state() == QProcess::Running);
        stop(*first);

        // A lock left behind by a killed instance does not keep the next one out: the lock file
        // names the process that holds it.
        auto third = box.start();
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(box), qint64(third->processId()), 20000);
        QVERIFY(third->state() == QProcess::Running);
        stop(*third);
    }

    void logFileNameAndLineFormat()
    {
        Sandbox box;
        auto app = box.start();
        QTRY_VERIFY_WITH_TIMEOUT(box.logText().contains("Main window centred"), 20000);
        stop(*app);

        const QStringList files = box.logFiles();
        QCOMPARE(files.size(), 1);
        QVERIFY2(QRegularExpression("^qzt_\\d{8}_\\d{6}\\.log$").match(files.first()).hasMatch(),
                 qPrintable(files.first()));

        const QStringList lines = box.logText().split('\n', Qt::SkipEmptyParts);
        QVERIFY(!lines.isEmpty());
        const QRegularExpression started(
            "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  \\[DEBUG\\] QZT Application "
            "Started$");
        QVERIFY2(started.match(lines.first()).hasMatch(), qPrintable(lines.first()));
        // The file name's stamp is the start time, to the second or just before it.
        const QString stamp = files.first().mid(4, 15);
        const QDateTime named = QDateTime::fromString(stamp, "yyyyMMdd_HHmmss");
        const QDateTime first =
            QDateTime::fromString(lines.first().left(19), "yyyy-MM-dd HH:mm:ss");
        QVERIFY(named.isValid() && first.isValid());
        QVERIFY(named <= first && named.secsTo(first) <= 5);

        const QRegularExpression anyLine("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  "
                                         "\\[(DEBUG|INFO|WARNING|CRITICAL|FATAL)\\] ");
        for (const QString& line : lines)
            QVERIFY2(anyLine.match(line).hasMatch(), qPrintable(line));
    }

    void logOfTheSameSecondIsReplaced()
    {
        Sandbox box;
        // Stale logs under every name the coming start could take.
        QDir().mkpath(box.logDir());
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = -2; s <= 60; ++s) {
            QFile stale(box.logDir() + "/qzt_" + now.addSecs(s).toString("yyyyMMdd_HHmmss") +
                        ".log");
            QVERIFY(stale.open(QIODevice::WriteOnly));
            stale.write(QByteArray(5000, 'x') + "\nstale line\n");
        }
        auto app = box.start();
        QString written;
        const auto findWritten = [&box, &written] {
            for (const QString& name : box.logFiles()) {
                QFile file(box.logDir() + "/" + name);
                if (file.open(QIODevice::ReadOnly) && file.readAll().contains("Main window"))
                    written = box.logDir() + "/" + name;
            }
            return !written.isEmpty();
        };
        QTRY_VERIFY_WITH_TIMEOUT(findWritten(), 20000);
        stop(*app);
        QFile file(written);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(!content.contains("stale line"));
        QVERIFY(!content.startsWith("xxx"));
        QVERIFY(content.contains("  [DEBUG] QZT Application Started\n"));
    }

    void standardStreamsLandInTheLog()
    {
        Sandbox box;
        QProcessEnvironment env = box.environment();
        env.insert("TORVANE_TEST_HOOK", "stdio");
        auto app = box.start({}, env);
        QTRY_VERIFY_WITH_TIMEOUT(box.logText().contains("Test hook line on std::cerr"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(box.logText().contains("Test hook line on std::cout"), 20000);
        stop(*app);
        QVERIFY(!app->readAllStandardOutput().contains("Test hook line"));
        QVERIFY(!app->readAllStandardError().contains("Test hook line"));
    }

    void scheduledSwitchHidesTheWindow_data()
    {
        QTest::addColumn<QString>("argv0");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("no arguments") << "" << QStringList{} << false;
        QTest::newRow("switch alone") << "" << QStringList{"--scheduled-record"} << true;
        QTest::newRow("switch among others")
            << "" << QStringList{"--foo", "--scheduled-record", "bar"} << true;
        QTest::newRow("other letter case") << "" << QStringList{"--Scheduled-Record"} << false;
        QTest::newRow("switch with a value") << "" << QStringList{"--scheduled-record=1"} << false;
        QTest::newRow("switch as program name")
            << "--scheduled-record" << QStringList{"--other"} << true;
    }
    void scheduledSwitchHidesTheWindow()
    {
        QFETCH(QString, argv0);
        QFETCH(QStringList, args);
        QFETCH(bool, hidden);
        Sandbox box;
        std::unique_ptr<QProcess> app;
        QString appName = "torvane";
        if (argv0.isEmpty()) {
            app = box.start(args);
        } else {
            // The program's name follows argv[0], and so does its configuration folder.
            appName = argv0;
            app = std::make_unique<QProcess>();
            app->setProcessEnvironment(box.environment());
            app->setWorkingDirectory(box.workDir());
            app->start("bash", QStringList{"-c", "exec -a \"$0\" \"$@\"", argv0,
                                           QStringLiteral(TORVANE_EXE)} +
                                   args);
        }
        QTRY_VERIFY_WITH_TIMEOUT(box.logText(appName).contains("Main window centred"), 20000);
        stop(*app);
        const QString log = box.logText(appName);
        QCOMPARE(log.contains("] Scheduled start: main window hidden\n"), hidden);
        QCOMPARE(log.contains("] Main window shown\n"), !hidden);

        // Centred on the offscreen platform's only screen, with integer halves.
        const QRegularExpression centred(
            "Main window centred at (-?\\d+),(-?\\d+) \\((\\d+)x(\\d+)\\) on screen .* "
            "\\((-?\\d+),(-?\\d+) (\\d+)x(\\d+)\\)");
        const QRegularExpressionMatch m = centred.match(log);
        QVERIFY2(m.hasMatch(), qPrintable(log));
        const auto n = [&m](int i) { return m.captured(i).toInt(); };
        QCOMPARE(n(1), n(5) + (n(7) - n(3)) / 2);
        QCOMPARE(n(2), n(6) + (n(8) - n(4)) / 2);
    }

    void crashWritesDumpAndShowsTheBox_data()
    {
        QTest::addColumn<QString>("hook");
        QTest::addColumn<bool>("writableDir");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("expectedSignal");
        QTest::addColumn<QString>("expectedBox");

        const QString english =
            "AppCrash | The application has crashed. The file crash.dmp has been created.";
        const QString german =
            "Programmabsturz | Die Anwendung ist abgestürzt. Die Datei crash.dmp wurde erstellt.";
        QTest::newRow("invalid memory write") << "crash" << true << ""
                                              << "SIGSEGV" << english;
        // /proc takes no new files, not even from root.
        QTest::newRow("unwritable working folder") << "crash" << false << ""
                                                   << "" << english;
        QTest::newRow("fatal message") << "fatal" << true << ""
                                       << "SIGABRT" << english;
        QTest::newRow("box in the saved language") << "crash" << true << "DE"
                                                   << "SIGSEGV" << german;
    }
    void crashWritesDumpAndShowsTheBox()
    {
        QFETCH(QString, hook);
        QFETCH(bool, writableDir);
        QFETCH(QString, language);
        QFETCH(QString, expectedSignal);
        QFETCH(QString, expectedBox);
        Sandbox box;
        if (!language.isEmpty()) {
            QSettings settings(box.configHome() + "/torvane/settings.ini", QSettings::IniFormat);
            settings.setValue("UISett/Language", language);
        }
        const QString dumpPath = box.workDir() + "/crash.dmp";
        if (writableDir) {
            // An older dump is replaced.
            QFile old(dumpPath);
            QVERIFY(old.open(QIODevice::WriteOnly));
            old.write(QByteArray(100000, 'x'));
        }
        QProcessEnvironment env = box.environment();
        env.insert("TORVANE_TEST_HOOK", hook);
        auto app = box.start({}, env, writableDir ? box.workDir() : "/proc");
        QVERIFY(app->waitForFinished(30000));
        QCOMPARE(app->exitStatus(), QProcess::CrashExit);

        const QString output = QString::fromUtf8(app->readAllStandardOutput());
        QVERIFY2(output.contains("Crash box shown: " + expectedBox + "\n"), qPrintable(output));
        QVERIFY(!QFile::exists("/proc/crash.dmp"));

        if (!writableDir)
            return;
        QFile dump(dumpPath);
        QVERIFY(dump.open(QIODevice::ReadOnly));
        const QString report = QString::fromUtf8(dump.readAll());
        QVERIFY2(report.contains("(" + expectedSignal + ")"), qPrintable(report));
        QVERIFY(!report.contains("xxxx"));
        QVERIFY(report.contains("Backtrace:\n"));
        if (hook == "crash")
            QVERIFY2(report.contains("Fault address: 0x10\n"), qPrintable(report));
        if (hook == "fatal")
            QVERIFY(box.logText().contains("  [FATAL] Test hook fatal message\n"));
        // At least a few frames, the program's own among them.
        QVERIFY(report.count("torvane") >= 2);
    }
};

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_Startup.moc"
