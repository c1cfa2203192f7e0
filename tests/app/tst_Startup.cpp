// Runs the real program under the offscreen platform in a throw-away home and judges it by what
// it leaves behind: exit codes, the run log, crash.dmp and the crash message (which the test
// build of the message reports on standard output).
#include "support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class tst_Startup : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> root_;
    QString path(const QString& name) const { return root_->filePath(name); }

    std::unique_ptr<QProcess> start(const QStringList& args = {}, const QString& hook = {},
                                    const QString& workDir = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto& [name, value] : QList<QPair<QString, QString>>{
                 {"HOME", "home"}, {"XDG_CONFIG_HOME", "home/.config"}, {"TMPDIR", "tmp"}})
            env.insert(name, path(value));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TORVANE_TEST_CRASH_BOX", "autoclose");
        env.insert("TORVANE_TEST_HOOK", hook);
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(workDir.isEmpty() ? path("work") : workDir);
        process->start(QStringLiteral(TORVANE_EXE), args);
        return process;
    }

    // The run log once it says the main window was placed, or empty.
    QString log() const
    {
        const QDir dir(path("home/.config/torvane/Log"));
        for (const QString& name : dir.entryList(QDir::Files)) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                if (const QString text = QString::fromUtf8(file.readAll());
                    text.contains("centred"))
                    return text;
        }
        return {};
    }

    qint64 lockOwner() const
    {
        QFile lock(path("tmp/Torvane.lock"));
        return lock.open(QIODevice::ReadOnly) ? lock.readLine().trimmed().toLongLong() : -1;
    }

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }
    void init()
    {
        root_ = std::make_unique<QTemporaryDir>();
        for (const char* dir : {"home/.config/torvane/Log", "tmp", "work"})
            QDir().mkpath(path(dir));
    }

    void secondInstanceExitsAtOnceWithoutTrace()
    {
        auto first = start();
        QTRY_VERIFY_WITH_TIMEOUT(!log().isEmpty(), 20000);
        QCOMPARE(lockOwner(), first->processId());
        auto second = start({"--scheduled-record"});
        QVERIFY(second->waitForFinished(20000));
        QCOMPARE(second->exitCode(), 1);
        QCOMPARE(second->readAll(), QByteArray());
        QCOMPARE(QDir(path("home/.config/torvane/Log")).entryList(QDir::Files).size(), 1);
        first->kill();
        first->waitForFinished();
        // The lock of a killed instance names its dead process: the next start runs.
        auto third = start();
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(), third->processId(), 20000);
        third->kill();
        third->waitForFinished();
    }

    // The log of the same second is replaced, every line has its time and level, and what the
    // program writes to its standard streams lands in the log too.
    void runLog_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("scheduled start hides the window")
            << QStringList{"--foo", "--scheduled-record", "bar"} << true;
        QTest::newRow("the switch with a value does not")
            << QStringList{"--scheduled-record=1"} << false;
    }
    void runLog()
    {
        QFETCH(QStringList, args);
        const QDateTime now = QDateTime::currentDateTime();
        for (int s = -2; s <= 60; ++s) {
            QFile stale(path("home/.config/torvane/Log/qzt_" +
                             now.addSecs(s).toString("yyyyMMdd_HHmmss") + ".log"));
            QVERIFY(stale.open(QIODevice::WriteOnly));
            stale.write(QByteArray(5000, 'x') + "\nstale line\n");
        }
        auto app = start(args, "stdio");
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Test hook line on std::cout\n"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Test hook line on std::cerr\n"), 20000);
        app->kill();
        app->waitForFinished();
        QVERIFY(!app->readAll().contains("Test hook line"));
        QVERIFY(!log().contains("stale line"));
        QTEST(log().contains("] Scheduled start: main window hidden\n"), "hidden");
        const QStringList lines = log().split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.first().endsWith("  [DEBUG] QZT Application Started"));
        const QRegularExpression line("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  "
                                      "\\[(DEBUG|INFO|WARNING|CRITICAL|FATAL)\\] |^Test hook line");
        for (const QString& text : lines)
            QVERIFY2(line.match(text).hasMatch(), qPrintable(text));
    }

    void crashWritesDumpAndShowsTheBox_data()
    {
        QTest::addColumn<QString>("hook");
        QTest::addColumn<QString>("signal");
        QTest::addColumn<QString>("box");
        QTest::newRow("invalid memory write, box in the saved language")
            << "crash" << QString("SIGSEGV")
            << "Programmabsturz | Die Anwendung ist abgestürzt. Die Datei crash.dmp wurde "
               "erstellt.";
        QTest::newRow("fatal message")
            << "fatal" << QString("SIGABRT")
            << "AppCrash | The application has crashed. The file crash.dmp has been created.";
    }
    void crashWritesDumpAndShowsTheBox()
    {
        QFETCH(QString, hook);
        QFETCH(QString, signal);
        QFETCH(QString, box);
        if (hook == "crash")
            QSettings(path("home/.config/torvane/settings.ini"), QSettings::IniFormat)
                .setValue("UISett/Language", "DE");
        QFile dump(path("work/crash.dmp")); // an older dump is replaced
        QVERIFY(dump.open(QIODevice::WriteOnly));
        dump.write(QByteArray(100000, 'x'));
        dump.close();
        auto app = start({}, hook);
        QVERIFY(app->waitForFinished(30000));
        QCOMPARE(app->exitStatus(), QProcess::CrashExit);
        QVERIFY(app->readAllStandardOutput().contains(("Crash box shown: " + box + "\n").toUtf8()));
        QVERIFY(dump.open(QIODevice::ReadOnly));
        const QString report = QString::fromUtf8(dump.readAll());
        QVERIFY2(report.contains("(" + signal + ")") && report.contains("Backtrace:\n"),
                 qPrintable(report));
        QVERIFY(!report.contains("xxxx"));
        QVERIFY(hook == "fatal" || report.contains("Fault address: 0x10\n"));
        QVERIFY(hook == "crash" || log().contains("  [FATAL] Test hook fatal message\n"));
        // At least a few frames, the program's own among them.
        QVERIFY(report.count("torvane") >= 2);
    }
};

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_Startup.moc"
