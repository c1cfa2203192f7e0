#include "ScheduleStore.h"

#include "base/JsonListFile.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "platform/systemd/WindowsTaskScheduler.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSemaphore>
#include <QStandardPaths>
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

JsonListFile scheduleFile()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    QDir().mkpath(folder);
    return JsonListFile(folder + QStringLiteral("/schedule.json"), QStringLiteral("schedules"));
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
    : taskScheduler_(std::move(taskScheduler))
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

QString ScheduleStore::filePath() const
{
    return scheduleFile().path();
}

QString ScheduleStore::takeBrokenCopy()
{
    QMutexLocker lock(&mutex_);
    return std::exchange(brokenCopy_, QString());
}

bool ScheduleStore::load()
{
    QMutexLocker lock(&mutex_);
    const JsonListFile file = scheduleFile();
    QString keptAs;
    const std::optional<QJsonArray> list = file.load(&keptAs);
    if (!keptAs.isEmpty())
        brokenCopy_ = keptAs;
    // A file that could not be read but is still there (no permission) must not be replaced by
    // a list that never saw its schedules.
    keepFile_ = !list && QFileInfo::exists(file.path());
    if (!list)
        return false;
    QList<ScheduleItem> read;
    for (const QJsonValue& value : *list)
        if (value.isObject())
            read.append(ScheduleItem::fromJson(value.toObject()));
    schedules_ = read;
    return true;
}

bool ScheduleStore::save()
{
    QMutexLocker lock(&mutex_);
    if (keepFile_) {
        qWarning().noquote() << "Schedules not saved: the unreadable" << filePath() << "is kept";
        return false;
    }
    QJsonArray list;
    for (const ScheduleItem& item : std::as_const(schedules_))
        list.append(item.toJson());
    return scheduleFile().save(list);
}

QList<ScheduleItem> ScheduleStore::schedules() const
{
    QMutexLocker lock(&mutex_);
    return schedules_;
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
        qDebug().noquote() << "Created Windows task for schedule:" << item.name;
    else
        qWarning().noquote() << "Failed to create Windows task for schedule:" << item.name << "-"
                             << taskScheduler_->lastError();
}

void ScheduleStore::deleteTask(std::uint64_t id)
{
    if (taskScheduler_->deleteTask(id))
        qDebug().noquote() << "Deleted Windows task for schedule ID:" << id;
    else
        qWarning().noquote() << "Failed to delete Windows task for schedule ID:" << id << "-"
                             << taskScheduler_->lastError();
}

void ScheduleStore::addSchedule(const ScheduleItem& item)
{
    {
        QMutexLocker lock(&mutex_);
        schedules_.append(item);
    }
    save();
    if (item.enabled)
        queueCreateTask(item);
}

bool ScheduleStore::updateSchedule(const ScheduleItem& item)
{
    bool found = false;
    {
        QMutexLocker lock(&mutex_);
        for (ScheduleItem& stored : schedules_)
            if (stored.id == item.id) {
                stored = item;
                found = true;
                break;
            }
    }
    save();
    if (!found || !tasks_)
        return found;
    if (!item.enabled)
        queueDeleteTask(item.id);
    else
        tasks_->post([this, item] {
            if (taskScheduler_->updateTask(timerOf(item)))
                qDebug().noquote() << "Updated Windows task for schedule:" << item.name;
            else
                qWarning().noquote() << "Failed to update Windows task for schedule:" << item.name
                                     << "-" << taskScheduler_->lastError();
        });
    return found;
}

bool ScheduleStore::deleteSchedule(std::uint64_t id)
{
    queueDeleteTask(id);
    bool found = false;
    {
        QMutexLocker lock(&mutex_);
        for (qsizetype index = 0; index < schedules_.size(); ++index)
            if (schedules_.at(index).id == id) {
                schedules_.removeAt(index);
                found = true;
                break;
            }
    }
    save();
    return found;
}

int ScheduleStore::enabledScheduleCount() const
{
    QMutexLocker lock(&mutex_);
    return int(std::count_if(schedules_.cbegin(), schedules_.cend(),
                             [](const ScheduleItem& item) { return item.enabled; }));
}

std::uint64_t ScheduleStore::nextScheduleId()
{
    QMutexLocker lock(&mutex_);
    SettingsStore& settings = SettingsStore::instance();
    const QString group = QLatin1String(settings::kScheduleGroup);
    const QString key = QLatin1String(settings::kNextScheduleId);
    const std::uint64_t id = settings.value(group, key, 1).toULongLong();
    settings.setValue(group, key, QVariant::fromValue<qulonglong>(id + 1));
    return id;
}

bool ScheduleStore::hasOverlap(const ScheduleItem& candidate, std::uint64_t excludeId) const
{
    return firstOverlap(candidate, excludeId).has_value();
}

std::optional<ScheduleItem> ScheduleStore::firstOverlap(const ScheduleItem& candidate,
                                                        std::uint64_t excludeId) const
{
    QMutexLocker lock(&mutex_);
    for (const ScheduleItem& stored : schedules_)
        if (stored.enabled && (excludeId == 0 || stored.id != excludeId) &&
            schedulesOverlap(candidate, stored))
            return stored;
    return std::nullopt;
}
