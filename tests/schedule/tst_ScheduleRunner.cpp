// When the runner finds a schedule's period running, on a clock the test sets, and the one start
// and one stop it asks for.
#include "schedule/ScheduleRunner.h"
#include "schedule/ScheduleStore.h"
#include "support/TestSupport.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// Monday 2026-12-07.
const QDate kMonday(2026, 12, 7);

ScheduleItem periodic(ScheduleRepeatType type, QTime start, QTime end, QList<int> days = {})
{
    ScheduleItem item;
    item.repeatType = type;
    item.startTime = start;
    item.endTime = end;
    item.daysOfWeek = days;
    return item;
}

ScheduleItem once(const QDateTime& start, const QDateTime& end)
{
    ScheduleItem item;
    item.oneTimeStart = start;
    item.oneTimeEnd = end;
    return item;
}

} // namespace

class tst_ScheduleRunner : public QObject
{
    Q_OBJECT

    QDateTime now_;

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        ScheduleRunner::instance()->setClock([this] { return now_; });
    }

    void active_data()
    {
        QTest::addColumn<ScheduleItem>("item");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("active");
        const QDateTime ten(kMonday, QTime(10, 0));
        const auto at = [](int day, int h, int m) {
            return QDateTime(kMonday.addDays(day), QTime(h, m));
        };
        QTest::newRow("once, at its start") << once(ten, ten.addSecs(300)) << ten << true;
        QTest::newRow("once, at its end")
            << once(ten, ten.addSecs(300)) << ten.addSecs(300) << false;
        QTest::newRow("once without an end") << once(ten, {}) << ten << false;
        const ScheduleItem night = periodic(ScheduleRepeatType::Daily, QTime(23, 0), QTime(1, 0));
        QTest::newRow("daily night, before midnight") << night << at(0, 23, 30) << true;
        QTest::newRow("daily night, after midnight") << night << at(1, 0, 30) << true;
        QTest::newRow("daily night, at its end") << night << at(1, 1, 0) << false;
        QTest::newRow("daily night, afternoon") << night << at(1, 15, 0) << false;
        const ScheduleItem mondays =
            periodic(ScheduleRepeatType::Weekly, QTime(23, 0), QTime(1, 0), {1});
        QTest::newRow("weekly Monday night, into Tuesday") << mondays << at(1, 0, 30) << true;
        QTest::newRow("weekly Monday night, Monday early") << mondays << at(0, 0, 30) << false;
        QTest::newRow("weekly without days")
            << periodic(ScheduleRepeatType::Weekly, QTime(9, 0), QTime(10, 0)) << at(0, 9, 30)
            << false;
        ScheduleItem off = once(ten, ten.addSecs(300));
        off.enabled = false;
        QTest::newRow("disabled") << off << ten << false;
    }
    void active()
    {
        QFETCH(ScheduleItem, item);
        QFETCH(QDateTime, now);
        now_ = now;
        QTEST(ScheduleRunner::instance()->isScheduleActive(item), "active");
    }

    void nextStart()
    {
        ScheduleRunner* runner = ScheduleRunner::instance();
        const QDateTime nine(kMonday, QTime(9, 0));
        const ScheduleItem daily = periodic(ScheduleRepeatType::Daily, QTime(9, 0), QTime(10, 0));
        QCOMPARE(runner->nextOccurrence(daily, nine), nine);
        QCOMPARE(runner->nextOccurrence(daily, nine.addSecs(1)), nine.addDays(1));
        const ScheduleItem weekly =
            periodic(ScheduleRepeatType::Weekly, QTime(9, 0), QTime(10, 0), {3, 1});
        QCOMPARE(runner->nextOccurrence(weekly, nine.addSecs(-60)), nine);
        QCOMPARE(runner->nextOccurrence(weekly, nine), nine.addDays(2));
    }

    // Overlapping periods give one start, for the first in the list, and one stop when neither
    // runs any more.
    void startsAndStopsOnce()
    {
        const QDateTime ten(kMonday, QTime(10, 0));
        ScheduleStore& store = ScheduleStore::instance();
        for (const auto& [start, end] :
             {std::pair{ten, ten.addSecs(60)}, std::pair{ten.addSecs(30), ten.addSecs(120)}}) {
            ScheduleItem item = once(start, end);
            item.id = store.nextScheduleId();
            store.addSchedule(item);
        }
        const QList<ScheduleItem> stored = store.schedules();
        ScheduleRunner* runner = ScheduleRunner::instance();
        int starts = 0;
        const auto link = connect(runner, &ScheduleRunner::requestStart, this,
                                  [&starts](ScheduleItem&) { ++starts; });
        QSignalSpy stops(runner, &ScheduleRunner::requestStop);
        now_ = ten.addSecs(-300);
        QCOMPARE(runner->nextScheduledStart(), ten);
        for (int second = -2; second <= 125; ++second) {
            now_ = ten.addSecs(second);
            runner->onTimeout();
        }
        disconnect(link);
        QCOMPARE(starts, 1);
        QCOMPARE(stops.size(), 1);
        QCOMPARE(stops.first().first().toULongLong(), stored.first().id);
    }
};

QTEST_GUILESS_MAIN(tst_ScheduleRunner)
#include "tst_ScheduleRunner.moc"
