// The schedules' task writer (the name is the one the rest of the program knows): on Linux it
// writes systemd user timers and enables them with `systemctl --user`.
#pragma once

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTime>

#include <cstdint>
#include <functional>

// When one schedule's timer fires, in the timer writer's own terms; schedule/ fills it from a
// schedule, so that this folder needs nothing of the schedules.
struct ScheduledTimer
{
    // The stored repeat numbers; any other value is refused.
    enum class Repeat { OneTime = 0, Daily = 1, Weekly = 2 };
    std::uint64_t id = 0;
    Repeat repeat = Repeat::OneTime;
    QDateTime oneTimeStart; // OneTime
    QTime startTime;        // Daily and Weekly
    QList<int> daysOfWeek;  // Weekly: 1 Monday .. 7 Sunday
};

// Keeps the system able to start Torvane with "--scheduled-record" at each enabled schedule's
// start, also when Torvane is not running. On Linux a task is a pair of systemd user units,
// QZT_Schedule_<id>.timer and QZT_Schedule_<id>.service, in $XDG_CONFIG_HOME/systemd/user
// (~/.config/systemd/user), enabled with `systemctl --user`.
//
// The service starts after graphical-session.target and needs the display: the user manager must
// know DISPLAY (X11) or WAYLAND_DISPLAY. GNOME and KDE export them at login; other desktops can run
// `systemctl --user import-environment DISPLAY XAUTHORITY WAYLAND_DISPLAY` (or
// `dbus-update-activation-environment --systemd DISPLAY XAUTHORITY WAYLAND_DISPLAY`) from their
// autostart.
//
// Without a user service manager (no systemd, a container) every operation fails with its
// "not initialized" text; the store logs it and schedules run in-process while Torvane runs.
// Each call waits for systemctl, up to seconds: the store makes them on a thread of its own, one
// at a time.
class WindowsTaskScheduler : public QObject
{
    Q_OBJECT

public:
    struct CommandResult
    {
        int exitCode = -1; // -1: the program did not start or crashed
        QString output;    // standard output and error, trimmed
    };
    // Runs a program with arguments and waits for it. Tests replace it to see and answer the
    // systemctl calls.
    using CommandRunner =
        std::function<CommandResult(const QString& program, const QStringList& arguments)>;

    // runner empty: the real commands. The first operation asks the user manager once whether it
    // is there.
    explicit WindowsTaskScheduler(CommandRunner runner = {});
    ~WindowsTaskScheduler() override;

    // Writes (or replaces) the schedule's units and enables its timer.
    bool createTask(const ScheduledTimer& item);
    // deleteTask, then createTask; the result is createTask's.
    bool updateTask(const ScheduledTimer& item);
    // Disables the timer and removes both units; fails when there were none.
    bool deleteTask(std::uint64_t scheduleId);
    // Removes every unit whose name begins with "QZT_Schedule_" (case-sensitive), ours or not.
    bool removeAllTasks();

    QString lastError() const { return lastError_; }

    static QString taskName(std::uint64_t scheduleId);
    // The folder the units are written to.
    static QString unitFolder();
    // The OnCalendar= value of a schedule; empty when it has no time to fire at.
    static QString calendarSpec(const ScheduledTimer& item);

signals:
    void taskCreated(quint64 scheduleId);
    void taskDeleted(quint64 scheduleId);

private:
    // Whether the user manager answered, asked on the first call only.
    bool ready();
    bool initialize();
    CommandResult systemctl(const QStringList& arguments) const;
    bool fail(const QString& text);
    // Stops and disables a timer, removes the named units and their enablement links. Empty on
    // success, else the first error.
    QString removeUnits(const QStringList& units);

    CommandRunner runner_;
    bool initialized_ = false;
    bool asked_ = false;
    QString lastError_;
};
