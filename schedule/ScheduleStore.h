#pragma once

#include "ScheduleItem.h"

#include <QList>
#include <QMutex>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

class WindowsTaskScheduler;

// The process-wide owner of the schedule list, kept in "schedule.json" in the configuration
// folder. Every change is written through to the file at once, and the system's timers that start
// Torvane at each enabled schedule (WindowsTaskScheduler) follow it: all are made anew from the
// file at construction, then each change adjusts its own. A failing timer is only logged; the
// runner still starts the schedule while Torvane runs. Thread-safe; lists are handed out as copies.
class ScheduleStore
{
public:
    using TaskSchedulerFactory = std::function<std::unique_ptr<WindowsTaskScheduler>()>;

    static ScheduleStore& instance();
    // What instance() makes its task scheduler with (nullptr: none); for tests, before the first
    // instance() call.
    static void setTaskSchedulerFactory(TaskSchedulerFactory factory);

    // A store of its own on the same file; instance() is the one the program uses.
    explicit ScheduleStore(std::unique_ptr<WindowsTaskScheduler> taskScheduler);
    ~ScheduleStore();
    ScheduleStore(const ScheduleStore&) = delete;
    ScheduleStore& operator=(const ScheduleStore&) = delete;

    // Reads the file (a missing one is an empty list). False when it cannot be read or parsed;
    // the list is then left as it was.
    bool load();
    // Writes the whole list; false when nothing was written.
    bool save();

    QList<ScheduleItem> schedules() const;
    // The caller sets id (nextScheduleId), createdAt and updatedAt first.
    void addSchedule(const ScheduleItem& item);
    // Replaces or removes the first schedule with the id; false when there is none (the file is
    // written anyway).
    bool updateSchedule(const ScheduleItem& item);
    bool deleteSchedule(std::uint64_t id);
    int enabledScheduleCount() const;
    // Ids start at 1 and are never reused, even after schedule.json is removed.
    std::uint64_t nextScheduleId();
    // Whether the candidate's time overlaps an enabled schedule other than excludeId (0: none
    // excluded), so that an edited schedule never collides with its stored self.
    bool hasOverlap(const ScheduleItem& candidate, std::uint64_t excludeId = 0) const;

    QString filePath() const;

private:
    void createTask(const ScheduleItem& item);
    void deleteTask(std::uint64_t id);

    mutable QMutex mutex_;
    QList<ScheduleItem> schedules_;
    bool keepFile_ = false;
    std::unique_ptr<WindowsTaskScheduler> taskScheduler_;
};
