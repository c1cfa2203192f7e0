#pragma once

#include "ScheduleItem.h"
#include "base/JsonListStore.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class WindowsTaskScheduler;
struct ScheduledTimer;

// The process-wide owner of the schedule list, kept in "schedule.json" in the configuration
// folder. Every change is written through to the file at once, and the system's timers that start
// Torvane at each enabled schedule (WindowsTaskScheduler) follow it: all are made anew from the
// file at construction, then each change adjusts its own. systemctl may take seconds, so the
// timers are changed on a thread of the store's own, in the order asked, and the calls here do
// not wait for them. A failing timer is only logged; the runner still starts the schedule while
// Torvane runs.
class ScheduleStore : public JsonListStore<ScheduleItem>
{
public:
    using TaskSchedulerFactory = std::function<std::unique_ptr<WindowsTaskScheduler>()>;

    static ScheduleStore& instance();
    // What instance() makes its task scheduler with (nullptr: none); for tests, before the first
    // instance() call.
    static void setTaskSchedulerFactory(TaskSchedulerFactory factory);
    // The system timer of a schedule: its id, repeat and start fields.
    static ScheduledTimer timerOf(const ScheduleItem& item);

    // A store of its own on the same file; instance() is the one the program uses.
    explicit ScheduleStore(std::unique_ptr<WindowsTaskScheduler> taskScheduler);
    // Waits for the timer changes still queued.
    ~ScheduleStore();
    ScheduleStore(const ScheduleStore&) = delete;
    ScheduleStore& operator=(const ScheduleStore&) = delete;

    QList<ScheduleItem> schedules() const { return items(); }
    // The caller sets id (nextScheduleId), createdAt and updatedAt first.
    void addSchedule(const ScheduleItem& item);
    // Replaces or removes the first schedule with the id; false when there is none (the file is
    // written anyway).
    bool updateSchedule(const ScheduleItem& item);
    bool deleteSchedule(std::uint64_t id);
    int enabledScheduleCount() const { return enabledCount(); }
    // Ids start at 1 and are never reused, even after schedule.json is removed.
    std::uint64_t nextScheduleId();
    // Whether the candidate's time overlaps an enabled schedule other than excludeId (0: none
    // excluded), so that an edited schedule never collides with its stored self.
    bool hasOverlap(const ScheduleItem& candidate, std::uint64_t excludeId = 0) const;
    // The first such schedule in list order, so that a refusal can name it.
    std::optional<ScheduleItem> firstOverlap(const ScheduleItem& candidate,
                                             std::uint64_t excludeId = 0) const;

    // Waits until the timers follow every change made so far (tests).
    void finishTaskChanges();

private:
    class TaskQueue;

    // Queue the change of the timers; nothing without a task scheduler.
    void queueCreateTask(const ScheduleItem& item);
    void queueDeleteTask(std::uint64_t id);
    void createTask(const ScheduleItem& item);
    void deleteTask(std::uint64_t id);

    std::unique_ptr<WindowsTaskScheduler> taskScheduler_;
    // Declared last: it finishes its jobs, which use the task scheduler, before that goes.
    std::unique_ptr<TaskQueue> tasks_;
};
