// Runs the real program under the offscreen platform in a throw-away home and judges it by what
// it leaves behind: exit codes, the run log, crash.dmp and the crash message (which the test
// build of the message reports on standard output).
#include "support/TestSupport.h"
#include "app/SingleInstance.h"
#include "platform/posix/PeerCredentials.h"

#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

class tst_Startup : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> root_;
    bool runtimeFolder_ = true;
    QString lockName_;
    QString path(const QString& name) const { return root_->filePath(name); }

    std::unique_ptr<QProcess> start(const QStringList& args = {}, const QString& hook = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto& [name, value] :
             QList<QPair<QString, QString>>{{"HOME", "home"},
                                            {"XDG_CONFIG_HOME", "home/.config"},
                                            {"TMPDIR", "tmp"},
                                            {"XDG_RUNTIME_DIR", "run"}})
            env.insert(name, path(value));
        if (!runtimeFolder_)
            env.remove("XDG_RUNTIME_DIR");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TORVANE_TEST_CRASH_BOX", "autoclose");
        env.insert("TORVANE_TEST_HOOK", hook);
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(path("work"));
        process->start(QStringLiteral(TORVANE_EXE), args);
        return process;
    }

    // The run log once it says the main window was placed, or empty.
    QString log() const
    {
        const QDir dir(path("home/.config/torvane/Log"));
        for (const QString& name : dir.entryList(QDir::Files))
            if (const QString text = QString::fromUtf8(testsupport::readFile(dir.filePath(name)));
                text.contains("centred"))
                return text;
        return {};
    }

    qint64 lockOwner() const
    {
        QFile lock(lockName_);
        return lock.open(QIODevice::ReadOnly) ? lock.readLine().trimmed().toLongLong() : -1;
    }

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }
    void init()
    {
        root_ = std::make_unique<QTemporaryDir>();
        for (const char* dir : {"home/.config/torvane/Log", "tmp", "work", "run"})
            QDir().mkpath(path(dir));
    }

    // A scheduled start hides the window; the run log has the time and level on every line and
    // takes what the program writes to its standard streams. A second instance exits at once
    // without a trace but brings the first one's window forward; a killed one's lock keeps no one
    // out; a terminated one exits cleanly. Without a runtime folder the lock is in a folder of the
    // temporary folder; one that another user made, others may write to or is a link is left alone.
    void runLogAndSingleInstance_data()
    {
        QTest::addColumn<int>("plant"); // -2: a runtime folder, -1: nothing planted
        QTest::addColumn<QString>("lockFolder");
        QTest::newRow("runtime folder") << -2 << "run";
        QTest::newRow("temporary folder") << -1 << "tmp/Torvane-%1";
        QTest::newRow("temporary folder of another user") << 0 << "home/.config/torvane";
        QTest::newRow("temporary folder writable by all") << 1 << "home/.config/torvane";
        QTest::newRow("temporary folder a link") << 2 << "home/.config/torvane";
    }
    void runLogAndSingleInstance()
    {
        QFETCH(int, plant);
        QFETCH(QString, lockFolder);
        runtimeFolder_ = plant == -2;
        lockName_ = path(lockFolder.arg(::getuid()) + "/Torvane.lock");
        const QByteArray planted = path("tmp/Torvane-%1").arg(::getuid()).toLocal8Bit();
        QVERIFY(plant == 2 ? QFile::link(path("work"), planted)
                           : plant < 0 || QDir().mkdir(planted));
        QVERIFY((plant != 0 || ::chown(planted, 65534, 65534) == 0) &&
                (plant != 1 || ::chmod(planted, 0777) == 0));
        auto first = start({"-platform", "offscreen", "--scheduled-record", "bar"}, "stdio");
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("Test hook line on std::cerr\n"), 20000);
        const QStringList lines = log().split('\n', Qt::SkipEmptyParts);
        QVERIFY(log().contains("] Scheduled start: main window hidden\n"));
        const QRegularExpression line("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  "
                                      "\\[(DEBUG|INFO|WARNING|CRITICAL|FATAL)\\] |^Test hook line");
        for (const QString& text : lines)
            QVERIFY2(line.match(text).hasMatch(), qPrintable(text));

        QCOMPARE(lockOwner(), first->processId());
        auto status = start({"--status"}); // the command line asks the running one
        QVERIFY(status->waitForFinished(20000));
        QCOMPARE(status->readAllStandardOutput(), "idle\n");
        const QStringList logs = QDir(path("home/.config/torvane/Log")).entryList();
        auto second = start();
        QVERIFY(second->waitForFinished(20000));
        QCOMPARE(second->exitCode(), 1);
        QCOMPARE(second->readAll() + first->readAll(), QByteArray());
        QCOMPARE(QDir(path("home/.config/torvane/Log")).entryList(), logs);
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("] Second start: main window brought to the front"),
                                 20000);
        first->kill();
        first->waitForFinished();
        QDir(path("home/.config/torvane/Log")).removeRecursively();
        auto none = start({"--status"});
        QVERIFY(none->waitForFinished(20000));
        QCOMPARE(none->exitCode(), 1);
        QVERIFY(none->readAllStandardError().endsWith("torvane: Torvane is not running\n"));
        auto third = start();
        QTRY_COMPARE_WITH_TIMEOUT(lockOwner(), third->processId(), 20000);
        // Asked to end (a session logging out), even while still starting, it closes as its
        // window would and exits cleanly.
        third->terminate();
        QVERIFY(third->waitForFinished(20000));
        QCOMPARE(third->exitStatus(), QProcess::NormalExit);
        QCOMPARE(third->exitCode(), 0);
        QVERIFY(log().contains("Termination signal 15 received: finishing and quitting.\n"));
        QVERIFY(!QFile::exists(lockName_));
        // With none running, a start starts one in the background, which records.
        auto starter = start({"--start"});
        QVERIFY(starter->waitForFinished(40000));
        QCOMPARE(starter->readAllStandardOutput(), "recording 00:00:00\n");
        QVERIFY(lockOwner() > 0 && lockOwner() != starter->processId());
        QCOMPARE(::kill(pid_t(lockOwner()), SIGTERM), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(lockName_), 20000);
        QVERIFY(plant < 0 || QDir(planted).isEmpty());
    }

    // The running one's socket answers known words of this user's processes with one line, and
    // refuses anything else: unknown words, long requests, silent clients, other users.
    void instanceSocket_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<bool>("ownUser");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("known word")
            << QByteArray("pause\n") << true << QByteArray("ok did pause\n");
        QTest::newRow("unknown word")
            << QByteArray("rm -rf\n") << true << QByteArray("error unknown command\n");
        QTest::newRow("long request")
            << QByteArray(100, 'x') << true << QByteArray("error request too long\n");
        QTest::newRow("silent client") << QByteArray() << true << QByteArray();
        QTest::newRow("another user") << QByteArray("status\n") << false << QByteArray();
    }
    void instanceSocket()
    {
        QFETCH(QByteArray, request);
        QFETCH(bool, ownUser);
        QFETCH(QByteArray, answer);
        SingleInstance instance;
        QVERIFY(instance.acquire("show"));
        std::optional<unsigned> peer;
        instance.setPeerCheck([&](qintptr descriptor) {
            peer = platform::localPeerUser(descriptor);
            return ownUser && platform::isOwnUsersLocalPeer(descriptor);
        });
        instance.setRequestTimeLimit(50);
        QByteArrayList heard;
        instance.listen(this, [&](const QByteArray& word) {
            heard << word;
            return SingleInstance::Answer{true, "did " + word};
        });
        QLocalSocket client;
        client.connectToServer(instance.socketPath());
        QVERIFY(client.waitForConnected(5000));
        client.write(request);
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QLocalSocket::UnconnectedState, 20000);
        QCOMPARE(client.readAll(), answer);
        QCOMPARE(peer, std::optional<unsigned>(::getuid()));
        QCOMPARE(heard.size(), int(answer.startsWith("ok")));
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
        // An older dump is replaced; a link planted in its place is replaced, not followed.
        const QString old = path(hook == "crash" ? "work/crash.dmp" : "planted");
        QVERIFY(testsupport::writeFile(old, QByteArray(100000, 'x')));
        QVERIFY(hook == "crash" || QFile::link(old, path("work/crash.dmp")));
        QFile dump(path("work/crash.dmp"));
        auto app = start({}, hook);
        QVERIFY(app->waitForFinished(30000));
        QCOMPARE(app->exitStatus(), QProcess::CrashExit);
        QVERIFY(app->readAllStandardOutput().contains(("Crash box shown: " + box + "\n").toUtf8()));
        QVERIFY(dump.open(QIODevice::ReadOnly));
        const QString report = QString::fromUtf8(dump.readAll());
        QVERIFY2(report.contains("(" + signal + ")"), qPrintable(report));
        QVERIFY(!report.contains("xxxx") && !QFileInfo(dump).isSymLink());
        QCOMPARE(dump.permissions(),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        QVERIFY(hook == "crash" || QFileInfo(path("planted")).size() == 100000);
        QVERIFY(hook == "fatal" || report.contains("Fault address: 0x10\n"));
        QVERIFY(hook == "crash" || log().contains("  [FATAL] Test hook fatal message\n"));
        // Its frames in the program (return addresses: a byte back is the call) name its functions.
        QStringList args{"-f", "-C", "-i", "-e", TORVANE_EXE};
        for (const auto& match : QRegularExpression("torvane\\+0x([0-9a-f]+)").globalMatch(report))
            args << QString::number(match.captured(1).toULongLong(nullptr, 16) - 1, 16);
        QProcess addr2line;
        addr2line.start("addr2line", args);
        QVERIFY(addr2line.waitForFinished() &&
                addr2line.readAll().contains("scheduleFromEnvironment"));
    }
};

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_Startup.moc"
