#include "ScheduleStore.h"

#include "base/SettingsKeys.h"
#include "platform/systemd/WindowsTaskScheduler.h"

#include <QDebug>
#include <QMutexLocker>
#include <QSemaphore>
#include <QThread>
#include <QWaitCondition>

#include <algorithm>
#include <deque>
#include <utility>

namespace {

ScheduleStore::TaskSchedulerFactory& taskSchedulerFactory()
{
    static ScheduleStore::TaskSchedulerFactory factory = [] {
        return std::make_unique<WindowsTaskScheduler>();
    };
    return factory;
}

// A range whose start is later than its end runs past midnight; equal start and end does not.
bool timeRangesOverlap(QTime start1, QTime end1, QTime start2, QTime end2)
{
    const int s1 = start1.msecsSinceStartOfDay();
    const int e1 = end1.msecsSinceStartOfDay();
    const int s2 = start2.msecsSinceStartOfDay();
    const int e2 = end2.msecsSinceStartOfDay();
    const bool wraps1 = s1 > e1;
    const bool wraps2 = s2 > e2;
    if (!wraps1 && !wraps2)
        return s1 < e2 && s2 < e1;
    if (wraps1 && wraps2)
        return true;
    if (wraps1)
        return s2 < e1 || s2 >= s1;
    return s1 < e2 || s1 >= s2;
}

// Only the days of the one-time period's start and end are looked at, not those between.
bool oneTimeOverlapsRecurring(const ScheduleItem& once, const ScheduleItem& recurring)
{
    const bool times = timeRangesOverlap(once.oneTimeStart.time(), once.oneTimeEnd.time(),
                                         recurring.startTime, recurring.endTime);
    if (recurring.repeatType == ScheduleRepeatType::Daily)
        return times;
    const QDate startDay = once.oneTimeStart.date();
    const QDate endDay = once.oneTimeEnd.date();
    if (recurring.daysOfWeek.contains(startDay.dayOfWeek()) && times)
        return true;
    return endDay != startDay && recurring.daysOfWeek.contains(endDay.dayOfWeek()) && times;
}

// The weekdays after those of a period that runs past midnight (Sunday is followed by Monday).
QList<int> nextDays(const ScheduleItem& item)
{
    QList<int> days;
    if (item.startTime > item.endTime)
        for (int day : item.daysOfWeek)
            days << day % 7 + 1;
    return days;
}

bool sharesDay(const QList<int>& days, const QList<int>& others)
{
    return std::any_of(days.cbegin(), days.cend(), [&](int day) { return others.contains(day); });
}

bool schedulesOverlap(const ScheduleItem& a, const ScheduleItem& b)
{
    const bool aOnce = a.repeatType == ScheduleRepeatType::OneTime;
    const bool bOnce = b.repeatType == ScheduleRepeatType::OneTime;
    if (aOnce && bOnce)
        return a.oneTimeStart < b.oneTimeEnd && b.oneTimeStart < a.oneTimeEnd;
    if (aOnce)
        return oneTimeOverlapsRecurring(a, b);
    if (bOnce)
        return oneTimeOverlapsRecurring(b, a);
    const bool times = timeRangesOverlap(a.startTime, a.endTime, b.startTime, b.endTime);
    if (a.repeatType != ScheduleRepeatType::Weekly || b.repeatType != ScheduleRepeatType::Weekly)
        return times;
    if (sharesDay(a.daysOfWeek, b.daysOfWeek))
        return times;
    return (sharesDay(nextDays(a), b.daysOfWeek) || sharesDay(nextDays(b), a.daysOfWeek)) && times;
}

// The Linux side of a "Windows task", for the log lines that keep that name.
QString timerUnit(std::uint64_t id)
{
    return QStringLiteral("(systemd user timer %1.timer)").arg(WindowsTaskScheduler::taskName(id));
}
} // namespace

// Runs jobs one after another on a thread of its own, in the order they were queued. A Qt thread,
// as QProcess needs one.
class ScheduleStore::TaskQueue
{
public:
    TaskQueue() : thread_(QThread::create([this] { run(); })) { thread_->start(); }
    // Runs what is queued first.
    ~TaskQueue()
    {
        {
            QMutexLocker lock(&mutex_);
            stopping_ = true;
        }
        wake_.wakeAll();
        thread_->wait();
    }
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;

    void post(std::function<void()> job)
    {
        QMutexLocker lock(&mutex_);
        jobs_.push_back(std::move(job));
        wake_.wakeAll();
    }

    void finish()
    {
        QSemaphore done;
        post([&done] { done.release(); });
        done.acquire();
    }

private:
    void run()
    {
        for (;;) {
            std::function<void()> job;
            {
                QMutexLocker lock(&mutex_);
                while (jobs_.empty() && !stopping_)
                    wake_.wait(&mutex_);
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    QMutex mutex_;
    QWaitCondition wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::unique_ptr<QThread> thread_;
};

ScheduleStore& ScheduleStore::instance()
{
    static ScheduleStore store(taskSchedulerFactory() ? taskSchedulerFactory()() : nullptr);
    return store;
}

void ScheduleStore::setTaskSchedulerFactory(TaskSchedulerFactory factory)
{
    taskSchedulerFactory() = std::move(factory);
}

ScheduleStore::ScheduleStore(std::unique_ptr<WindowsTaskScheduler> taskScheduler)
    : JsonListStore(QStringLiteral("schedule.json"), QStringLiteral("schedules"),
                    QStringLiteral("Schedules")),
      taskScheduler_(std::move(taskScheduler))
{
    load();
    if (!taskScheduler_)
        return;
    tasks_ = std::make_unique<TaskQueue>();
    // The timers mirror the file after every start, whatever happened to either meanwhile.
    tasks_->post([this] { taskScheduler_->removeAllTasks(); });
    for (const ScheduleItem& item : schedules())
        if (item.enabled)
            queueCreateTask(item);
}

ScheduleStore::~ScheduleStore() = default;

void ScheduleStore::finishTaskChanges()
{
    if (tasks_)
        tasks_->finish();
}

void ScheduleStore::queueCreateTask(const ScheduleItem& item)
{
    if (tasks_)
        tasks_->post([this, item] { createTask(item); });
}

void ScheduleStore::queueDeleteTask(std::uint64_t id)
{
    if (tasks_)
        tasks_->post([this, id] { deleteTask(id); });
}

ScheduledTimer ScheduleStore::timerOf(const ScheduleItem& item)
{
    // The repeat numbers are the same on both sides; an unknown one stays unknown and is refused.
    return {item.id, static_cast<ScheduledTimer::Repeat>(item.repeatType), item.oneTimeStart,
            item.startTime, item.daysOfWeek};
}

void ScheduleStore::createTask(const ScheduleItem& item)
{
    if (taskScheduler_->createTask(timerOf(item)))
        qDebug().noquote() << "Created Windows task for schedule:" << item.name
                           << timerUnit(item.id);
    else
        qWarning().noquote() << "Failed to create Windows task for schedule:" << item.name << "-"
                             << taskScheduler_->lastError() << timerUnit(item.id);
}

void ScheduleStore::deleteTask(std::uint64_t id)
{
    if (taskScheduler_->deleteTask(id))
        qDebug().noquote() << "Deleted Windows task for schedule ID:" << id << timerUnit(id);
    else
        qWarning().noquote() << "Failed to delete Windows task for schedule ID:" << id << "-"
                             << taskScheduler_->lastError() << timerUnit(id);
}

void ScheduleStore::addSchedule(const ScheduleItem& item)
{
    add(item);
    if (item.enabled)
        queueCreateTask(item);
}

bool ScheduleStore::updateSchedule(const ScheduleItem& item)
{
    const bool found = change(item.id, &item);
    if (!found || !tasks_)
        return found;
    if (!item.enabled)
        queueDeleteTask(item.id);
    else
        tasks_->post([this, item] {
            if (taskScheduler_->updateTask(timerOf(item)))
                qDebug().noquote()
                    << "Updated Windows task for schedule:" << item.name << timerUnit(item.id);
            else
                qWarning().noquote() << "Failed to update Windows task for schedule:" << item.name
                                     << "-" << taskScheduler_->lastError() << timerUnit(item.id);
        });
    return found;
}

bool ScheduleStore::deleteSchedule(std::uint64_t id)
{
    queueDeleteTask(id);
    return change(id, nullptr);
}

std::uint64_t ScheduleStore::nextScheduleId()
{
    return nextId(QLatin1String(settings::kScheduleGroup),
                  QLatin1String(settings::kNextScheduleId));
}

bool ScheduleStore::hasOverlap(const ScheduleItem& candidate, std::uint64_t excludeId) const
{
    return firstOverlap(candidate, excludeId).has_value();
}

std::optional<ScheduleItem> ScheduleStore::firstOverlap(const ScheduleItem& candidate,
                                                        std::uint64_t excludeId) const
{
    QMutexLocker lock(&mutex_);
    for (const ScheduleItem& stored : items_)
        if (stored.enabled && (excludeId == 0 || stored.id != excludeId) &&
            schedulesOverlap(candidate, stored))
            return stored;
    return std::nullopt;
}
