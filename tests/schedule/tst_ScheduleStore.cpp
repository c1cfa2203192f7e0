// schedule.json as users write it, the overlap rules, and the systemd user units that start
// Torvane at each enabled schedule, seen through a fake systemctl.
#include "platform/systemd/WindowsTaskScheduler.h"
#include "schedule/ScheduleStore.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QProcess>
#include <QSemaphore>
#include <QStandardPaths>
#include <QtTest>

#include <atomic>

using testsupport::json;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

QString configPath(const QString& name)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + "/" + name;
}

// Date-times make a one-time schedule, times of day a daily one, or with days a weekly one.
ScheduleItem timed(const QString& start, const QString& end, QList<int> days = {})
{
    ScheduleItem item;
    item.oneTimeStart = QDateTime::fromString(start, Qt::ISODate);
    item.oneTimeEnd = QDateTime::fromString(end, Qt::ISODate);
    item.startTime = QTime::fromString(start, Qt::ISODate);
    item.endTime = QTime::fromString(end, Qt::ISODate);
    item.daysOfWeek = days;
    item.repeatType = item.oneTimeStart.isValid() ? ScheduleRepeatType::OneTime
                      : days.isEmpty()            ? ScheduleRepeatType::Daily
                                                  : ScheduleRepeatType::Weekly;
    return item;
}

// A systemctl that records its calls and answers as the user manager's state says.
struct FakeSystemctl
{
    QString state = "running"; // "offline": no manager; "refusing": enabling fails
    QStringList calls;
    QSemaphore* gate = nullptr; // when set, a call off the GUI thread waits for it
    std::atomic<bool> onGuiThread = false;

    WindowsTaskScheduler::CommandRunner runner()
    {
        using Result = WindowsTaskScheduler::CommandResult;
        return [this](const QString& program, const QStringList& arguments) {
            onGuiThread = onGuiThread || QThread::currentThread() == qApp->thread();
            if (gate && !onGuiThread)
                gate->acquire();
            calls << program + " " + arguments.join(' ');
            if (arguments.contains("is-system-running"))
                return state == "offline" ? Result{1, state} : Result{0, "running"};
            if (state == "refusing" && arguments.contains("enable"))
                return Result{1, "Failed to enable unit: Access denied"};
            return Result{0, {}};
        };
    }
};

QStringList unitFiles()
{
    return QDir(WindowsTaskScheduler::unitFolder()).entryList(QDir::Files, QDir::Name);
}

} // namespace

class tst_ScheduleStore : public QObject
{
    Q_OBJECT
    QTemporaryDir runtime;

private slots:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        // systemd-analyze --user wants a runtime folder.
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    }

    void init()
    {
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation))
            .removeRecursively();
        QDir(WindowsTaskScheduler::unitFolder()).removeRecursively();
    }

    // Each file is read and written back; what comes out is the one written format.
    void fileIsReadAndWrittenBack_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("written");
        QTest::newRow("window source, one time, no updatedAt")
            << json("{'schedules':[{'id':3,'name':'Talk','enabled':false,'repeatType':'one_time',"
                    "'createdAt':'2026-03-01T08:00:00','macroExecution':false,"
                    "'recording':{'screen':{'enabled':true,'type':'window',"
                    "'windowInfo':{'pid':41.9,'className':'xterm','exeName':'xterm'}},"
                    "'audio':{'enabled':true,'deviceId':'System Audio'}},"
                    "'oneTime':{'start':'2026-03-02T10:00:00','end':'bad'}}]}")
            << json("{'schedules':[{'id':3,'name':'Talk','enabled':false,'repeatType':'one_time',"
                    "'createdAt':'2026-03-01T08:00:00','updatedAt':'2026-03-01T08:00:00',"
                    "'macroExecution':false,'recording':{'screen':{'enabled':true,'type':'window',"
                    "'windowInfo':{'pid':41,'className':'xterm','exeName':'xterm'}},"
                    "'audio':{'enabled':true,'deviceId':'System Audio'}},"
                    "'oneTime':{'start':'2026-03-02T10:00:00'}}]}");
        QTest::newRow("bare array, weekly days as read, unknown screen type")
            << json("[{'id':'7','repeatType':' Weekly ','createdAt':'2026-03-01T08:00:00',"
                    "'updatedAt':'2026-03-04T09:00:00','recording':{'screen':{'type':'rect',"
                    "'region':{'x':10,'y':20,'width':300,'height':200}}},"
                    "'weekly':{'startTime':'23:00:00','endTime':'01:00','daysOfWeek':[1,9,0,'2',"
                    "7]}},'not a schedule']")
            << json("{'schedules':[{'id':7,'name':'','enabled':true,'repeatType':'weekly',"
                    "'createdAt':'2026-03-01T08:00:00','updatedAt':'2026-03-04T09:00:00',"
                    "'macroExecution':false,'recording':{'screen':{'enabled':true,'type':'custom',"
                    "'region':{'x':10,'y':20,'width':300,'height':200}},'audio':{'enabled':false,"
                    "'deviceId':'default'}},'weekly':{'startTime':'23:00:00','endTime':'01:00:00',"
                    "'daysOfWeek':[1,9,0,7]}}]}");
        QTest::newRow("macro with ids past 2^53, daily")
            << json("{'schedules':[{'id':'18446744073709551615','macroExecution':true,"
                    "'macroItemId':9007199254740993,'repeatType':'Daily',"
                    "'createdAt':'2026-03-01T08:00:00','recording':{},'daily':{'startTime':'22:00',"
                    "'endTime':'02:00:00'}}]}")
            << json("{'schedules':[{'id':'18446744073709551615','name':'','enabled':true,"
                    "'repeatType':'daily','createdAt':'2026-03-01T08:00:00',"
                    "'updatedAt':'2026-03-01T08:00:00','macroExecution':true,"
                    "'macroItemId':9007199254740992,'daily':{'startTime':'22:00:00',"
                    "'endTime':'02:00:00'}}]}");
        QTest::newRow("broken file is kept")
            << QByteArray("{'schedules': [") << json("{'schedules':[]}");
    }

    void fileIsReadAndWrittenBack()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, written);
        QVERIFY(writeFile(configPath("schedule.json"), file));
        ScheduleStore store(nullptr);
        store.save();
        QCOMPARE(QJsonDocument::fromJson(readFile(configPath("schedule.json"))),
                 QJsonDocument::fromJson(written));
        // A file that cannot be read is kept; what was written reads back as the same schedules.
        const bool broken = store.schedules().isEmpty();
        QCOMPARE(readFile(configPath("schedule.json.broken")), broken ? file : QByteArray());
        QCOMPARE(ScheduleStore(nullptr).schedules(), store.schedules());
    }

    void overlapRules_data()
    {
        QTest::addColumn<ScheduleItem>("stored");
        QTest::addColumn<ScheduleItem>("candidate");
        QTest::addColumn<bool>("overlaps");
        ScheduleItem disabled = timed("09:00", "10:00");
        disabled.enabled = false;
        const QString mon = "2026-12-07T"; // a Monday
        QTest::newRow("one-time periods touching")
            << timed(mon + "10:00", mon + "11:00") << timed(mon + "11:00", mon + "12:00") << false;
        QTest::newRow("one-time periods crossing")
            << timed(mon + "10:00", mon + "11:00") << timed(mon + "10:30", mon + "12:00") << true;
        QTest::newRow("daily past midnight, later start only counts")
            << timed("22:00", "02:00") << timed("20:00", "23:00") << false;
        QTest::newRow("both past midnight")
            << timed("22:00", "02:00") << timed("23:30", "00:30") << true;
        QTest::newRow("daily and weekly ignore weekdays")
            << timed("09:30", "11:00", {3}) << timed("09:00", "10:00") << true;
        QTest::newRow("weekly on other days")
            << timed("10:00", "11:00", {2}) << timed("10:00", "11:00", {1}) << false;
        QTest::newRow("weekly next-day rule")
            << timed("00:30", "02:00", {2}) << timed("23:00", "01:00", {1}) << true;
        QTest::newRow("Sunday is followed by Monday")
            << timed("00:30", "02:00", {1}) << timed("23:00", "01:00", {7}) << true;
        QTest::newRow("one-time on a weekly day")
            << timed("09:30", "11:00", {1}) << timed(mon + "09:00", mon + "10:00") << true;
        QTest::newRow("one-time on another day")
            << timed("09:30", "11:00", {2}) << timed(mon + "09:00", mon + "10:00") << false;
        QTest::newRow("one-time ending on a weekly day")
            << timed("00:30", "02:00", {2}) << timed(mon + "23:00", "2026-12-08T01:00") << true;
        QTest::newRow("disabled schedules do not count")
            << disabled << timed("09:00", "10:00") << false;
    }

    void overlapRules()
    {
        QFETCH(ScheduleItem, stored);
        QFETCH(ScheduleItem, candidate);
        QFETCH(bool, overlaps);
        ScheduleStore store(nullptr);
        stored.id = 5;
        store.addSchedule(stored);
        QCOMPARE(store.hasOverlap(candidate), overlaps);
        // A schedule never collides with its own stored version.
        QCOMPARE(store.hasOverlap(candidate, 5), false);
        QCOMPARE(store.hasOverlap(candidate, 6), overlaps);
    }

    void unitsStartTorvaneAtTheSchedule_data()
    {
        QTest::addColumn<ScheduleItem>("item");
        QTest::addColumn<QString>("calendar");
        QTest::newRow("one time") << timed("2026-12-24T18:30:05", "2026-12-24T19:00")
                                  << "2026-12-24 18:30:05";
        QTest::newRow("daily") << timed("07:05", "08:00") << "*-*-* 07:05:00";
        QTest::newRow("weekly") << timed("22:00", "01:00", {7, 1, 9}) << "Mon,Sun *-*-* 22:00:00";
    }

    void unitsStartTorvaneAtTheSchedule()
    {
        QFETCH(ScheduleItem, item);
        QFETCH(QString, calendar);
        item.id = 12;
        FakeSystemctl systemctl;
        WindowsTaskScheduler scheduler(systemctl.runner());
        QVERIFY(scheduler.createTask(ScheduleStore::timerOf(item)));
        QCOMPARE(
            systemctl.calls,
            QStringList({"systemctl --user is-system-running", "systemctl --user daemon-reload",
                         "systemctl --user enable --now QZT_Schedule_12.timer"}));
        const QString folder =
            QProcessEnvironment::systemEnvironment().value("XDG_CONFIG_HOME") + "/systemd/user/";
        const QStringList lines = QString(readFile(folder + "QZT_Schedule_12.timer") +
                                          readFile(folder + "QZT_Schedule_12.service"))
                                      .split('\n');
        for (const QString& line :
             {"OnCalendar=" + calendar, QString("Persistent=true"), QString("AccuracySec=1s"),
              QString("WantedBy=timers.target"), QString("After=graphical-session.target"),
              "ExecStart=" + QCoreApplication::applicationFilePath() + " --scheduled-record"})
            QVERIFY2(lines.contains(line), qPrintable(line));

        // systemd accepts both units, the calendar included (verify reports one it cannot
        // parse); that needs no running manager.
        const QString analyze = QStandardPaths::findExecutable("systemd-analyze");
        if (analyze.isEmpty())
            QSKIP("systemd-analyze is not installed");
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(analyze, {"verify", "--user", folder + "QZT_Schedule_12.timer",
                                folder + "QZT_Schedule_12.service"});
        QVERIFY(process.waitForFinished());
        QCOMPARE(process.readAll() + QByteArray::number(process.exitCode()), "0");
    }

    // At start the units mirror the enabled schedules of the file; each change adjusts its own.
    // systemctl may hang for seconds: the store's calls return at once, and the units follow in
    // order off the GUI thread.
    void timersFollowTheList()
    {
        QVERIFY(writeFile(configPath("schedule.json"),
                          json("[{'id':1,'repeatType':'daily','daily':{'startTime':'10:00:00'}},"
                               "{'id':2,'enabled':false,'repeatType':'daily','daily':{'startTime':'"
                               "12:00:00'}}]")));
        const QString folder = WindowsTaskScheduler::unitFolder() + "/";
        for (const char* name : {"QZT_Schedule_9.timer", "QZT_Schedule_backup.service",
                                 "qzt_schedule_1.timer", "other.timer"})
            QVERIFY(writeFile(folder + name, "[Unit]\n"));
        FakeSystemctl systemctl;
        QSemaphore gate;
        systemctl.gate = &gate;
        ScheduleStore store(std::make_unique<WindowsTaskScheduler>(systemctl.runner()));
        QVERIFY(unitFiles().contains("QZT_Schedule_9.timer")); // not yet
        gate.release(1000);
        store.finishTaskChanges();
        QCOMPARE(unitFiles(), QStringList({"QZT_Schedule_1.service", "QZT_Schedule_1.timer",
                                           "other.timer", "qzt_schedule_1.timer"}));
        QVERIFY(systemctl.calls.contains("systemctl --user disable --now QZT_Schedule_9.timer"));

        ScheduleItem item = timed("13:00", "14:00");
        QCOMPARE(store.nextScheduleId(), 1u);
        QCOMPARE(store.nextScheduleId(), 2u);
        item.id = 3;
        item.enabled = false;
        store.addSchedule(item);
        store.finishTaskChanges();
        QVERIFY(!unitFiles().contains("QZT_Schedule_3.timer"));
        item.enabled = true;
        QVERIFY(store.updateSchedule(item));
        store.finishTaskChanges();
        QVERIFY(readFile(folder + "QZT_Schedule_3.timer").contains("OnCalendar=*-*-* 13:00:00"));
        QVERIFY(store.deleteSchedule(1));
        QVERIFY(!store.deleteSchedule(1));
        store.finishTaskChanges();
        QCOMPARE(unitFiles(), QStringList({"QZT_Schedule_3.service", "QZT_Schedule_3.timer",
                                           "other.timer", "qzt_schedule_1.timer"}));
        QCOMPARE(store.nextScheduleId(), 3u);
        QCOMPARE(ScheduleStore(nullptr).schedules().size(), 2);
        QVERIFY(!systemctl.onGuiThread);
    }

    // No user manager (a container, this machine): the timers fail and say why, the list works.
    void failingTimersAreLoggedOnly()
    {
        testsupport::LogCapture log;
        FakeSystemctl systemctl;
        systemctl.state = "offline";
        ScheduleStore store(std::make_unique<WindowsTaskScheduler>(systemctl.runner()));
        ScheduleItem item = timed("10:00", "11:00");
        item.id = 4;
        item.name = "Morning";
        store.addSchedule(item);
        QVERIFY(store.deleteSchedule(4));
        store.finishTaskChanges();
        const QStringList lines = log.take();
        QVERIFY(lines.contains(
            "Failed to create Windows task for schedule: Morning - TaskService not initialized "
            "(systemd user timer QZT_Schedule_4.timer)"));
        QVERIFY(lines.contains(
            "Failed to delete Windows task for schedule ID: 4 - TaskFolder not initialized "
            "(systemd user timer QZT_Schedule_4.timer)"));
        QCOMPARE(systemctl.calls, QStringList({"systemctl --user is-system-running"}));
        QVERIFY(unitFiles().isEmpty());

        // With a manager that refuses, its own words end up in the error.
        FakeSystemctl refusing;
        refusing.state = "refusing";
        WindowsTaskScheduler scheduler(refusing.runner());
        QVERIFY(!scheduler.createTask(ScheduleStore::timerOf(item)));
        QCOMPARE(scheduler.lastError(),
                 "Failed to register task: Failed to enable unit: Access denied");
        QVERIFY(!scheduler.deleteTask(5));
        QCOMPARE(scheduler.lastError(),
                 "Failed to delete task: Unit QZT_Schedule_5.timer does not exist");
    }
};

QTEST_MAIN(tst_ScheduleStore)
#include "tst_ScheduleStore.moc"
