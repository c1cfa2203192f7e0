#include "WindowsTaskScheduler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <array>
#include <utility>

namespace {

const QString kPrefix = QStringLiteral("QZT_Schedule_");
const QString kArgument = QStringLiteral("--scheduled-record");

WindowsTaskScheduler::CommandResult runCommand(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    // systemctl answers at once or not at all; a hung bus must not hold up the calls queued
    // behind this one for long.
    if (!process.waitForFinished(15000)) {
        const QString error = process.errorString();
        process.kill();
        process.waitForFinished(1000);
        return {-1, error};
    }
    const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (process.exitStatus() != QProcess::NormalExit)
        return {-1, output.isEmpty() ? process.errorString() : output};
    return {process.exitCode(), output};
}

// The program of ExecStart=: '%' starts a specifier, so it is doubled; a path with blanks,
// quotes or backslashes is quoted. ('$' is taken literally in the program's path.)
QString execProgram(const QString& path)
{
    QString escaped = path;
    escaped.replace(QLatin1Char('%'), QLatin1String("%%"));
    static const QRegularExpression needsQuotes(QStringLiteral("[\\s\"'\\\\;]"));
    if (!escaped.contains(needsQuotes))
        return escaped;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QString timerText(const ScheduledTimer& item, const QString& calendar)
{
    return QStringLiteral("[Unit]\n"
                          "Description=Torvane recording schedule %1\n"
                          "\n"
                          "[Timer]\n"
                          "OnCalendar=%2\n"
                          // A start missed while the computer was off or asleep runs when it
                          // is back.
                          "Persistent=true\n"
                          "AccuracySec=1s\n"
                          "\n"
                          "[Install]\n"
                          "WantedBy=timers.target\n")
        .arg(item.id)
        .arg(calendar);
}

QString serviceText(const ScheduledTimer& item)
{
    // Torvane needs the display, so it belongs to the graphical session and ends with it.
    return QStringLiteral("[Unit]\n"
                          "Description=Torvane scheduled recording %1\n"
                          "After=graphical-session.target\n"
                          "PartOf=graphical-session.target\n"
                          "\n"
                          "[Service]\n"
                          "Type=exec\n"
                          "ExecStart=%2 %3\n"
                          // A Torvane already running records the schedule itself; the
                          // start that finds it ends with 1, which is no failure.
                          "SuccessExitStatus=1\n")
        .arg(item.id)
        .arg(execProgram(QCoreApplication::applicationFilePath()), kArgument);
}

// Empty on success, else why the file could not be written.
QString writeFile(const QString& path, const QString& text)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    return {};
}

} // namespace

WindowsTaskScheduler::WindowsTaskScheduler(CommandRunner runner)
    : runner_(runner ? std::move(runner) : CommandRunner(runCommand))
{
}

WindowsTaskScheduler::~WindowsTaskScheduler() = default;

QString WindowsTaskScheduler::taskName(std::uint64_t scheduleId)
{
    return kPrefix + QString::number(scheduleId);
}

QString WindowsTaskScheduler::unitFolder()
{
    QString config =
        QProcessEnvironment::systemEnvironment().value(QStringLiteral("XDG_CONFIG_HOME"));
    // The user manager ignores a relative XDG_CONFIG_HOME, as the XDG rules say.
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/systemd/user");
}

QString WindowsTaskScheduler::calendarSpec(const ScheduledTimer& item)
{
    switch (item.repeat) {
    case ScheduledTimer::Repeat::OneTime:
        return item.oneTimeStart.isValid()
                   ? item.oneTimeStart.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                   : QString();
    case ScheduledTimer::Repeat::Daily:
        return item.startTime.isValid()
                   ? QStringLiteral("*-*-* ") + item.startTime.toString(QStringLiteral("HH:mm:ss"))
                   : QString();
    case ScheduledTimer::Repeat::Weekly: {
        static const std::array<const char*, 7> names{"Mon", "Tue", "Wed", "Thu",
                                                      "Fri", "Sat", "Sun"};
        QStringList days;
        for (int day = 1; day <= 7; ++day)
            if (item.daysOfWeek.contains(day))
                days << QLatin1String(names[std::size_t(day - 1)]);
        if (days.isEmpty() || !item.startTime.isValid())
            return {};
        return days.join(QLatin1Char(',')) + QStringLiteral(" *-*-* ") +
               item.startTime.toString(QStringLiteral("HH:mm:ss"));
    }
    }
    return {};
}

bool WindowsTaskScheduler::ready()
{
    if (!std::exchange(asked_, true))
        initialize();
    return initialized_;
}

bool WindowsTaskScheduler::initialize()
{
    const CommandResult state = systemctl({QStringLiteral("is-system-running")});
    // It exits non-zero for a degraded manager too; what counts is that one answered.
    static const QStringList answering{"initializing", "starting",    "running",
                                       "degraded",     "maintenance", "stopping"};
    if (!answering.contains(state.output.section(QLatin1Char('\n'), 0, 0).trimmed())) {
        lastError_ = tr("Failed to connect to TaskService: %1")
                         .arg(state.output.isEmpty() ? QStringLiteral("no systemd user manager")
                                                     : state.output);
        qDebug().noquote() << lastError_;
        return false;
    }
    if (!QDir().mkpath(unitFolder())) {
        lastError_ = tr("Failed to get root folder: %1").arg(unitFolder());
        qDebug().noquote() << lastError_;
        return false;
    }
    initialized_ = true;
    return true;
}

WindowsTaskScheduler::CommandResult
WindowsTaskScheduler::systemctl(const QStringList& arguments) const
{
    return runner_(QStringLiteral("systemctl"), QStringList{QStringLiteral("--user")} + arguments);
}

bool WindowsTaskScheduler::fail(const QString& text)
{
    lastError_ = text;
    return false;
}

bool WindowsTaskScheduler::createTask(const ScheduledTimer& item)
{
    if (!ready())
        return fail(tr("TaskService not initialized"));
    switch (item.repeat) {
    case ScheduledTimer::Repeat::OneTime:
    case ScheduledTimer::Repeat::Daily:
    case ScheduledTimer::Repeat::Weekly:
        break;
    default:
        return fail(tr("Unsupported repeat type"));
    }
    const QString calendar = calendarSpec(item);
    if (calendar.isEmpty())
        return fail(tr("Failed to create task definition: %1")
                        .arg(QStringLiteral("no start time or weekday")));

    const QString name = taskName(item.id);
    const QString base = unitFolder() + QLatin1Char('/') + name;
    QString error = writeFile(base + QStringLiteral(".service"), serviceText(item));
    if (error.isEmpty())
        error = writeFile(base + QStringLiteral(".timer"), timerText(item, calendar));
    if (error.isEmpty()) {
        for (const QStringList& call :
             {QStringList{QStringLiteral("daemon-reload")},
              QStringList{QStringLiteral("enable"), QStringLiteral("--now"),
                          name + QStringLiteral(".timer")}}) {
            const CommandResult result = systemctl(call);
            if (result.exitCode != 0) {
                error = result.output;
                break;
            }
        }
    }
    if (!error.isEmpty())
        return fail(tr("Failed to register task: %1").arg(error));
    emit taskCreated(item.id);
    return true;
}

bool WindowsTaskScheduler::updateTask(const ScheduledTimer& item)
{
    deleteTask(item.id);
    return createTask(item);
}

QString WindowsTaskScheduler::removeUnits(const QStringList& units)
{
    QString error;
    for (const QString& unit : units)
        if (unit.endsWith(QLatin1String(".timer"))) {
            const CommandResult result =
                systemctl({QStringLiteral("disable"), QStringLiteral("--now"), unit});
            if (result.exitCode != 0 && error.isEmpty())
                error = result.output;
        }
    const QString folder = unitFolder();
    for (const QString& unit : units) {
        // disable removes the link itself; one left by a failed disable would start nothing.
        QFile::remove(folder + QStringLiteral("/timers.target.wants/") + unit);
        if (!QFile::remove(folder + QLatin1Char('/') + unit) && error.isEmpty())
            error = QStringLiteral("%1: cannot be removed").arg(unit);
    }
    const CommandResult reload = systemctl({QStringLiteral("daemon-reload")});
    if (reload.exitCode != 0 && error.isEmpty())
        error = reload.output;
    return error;
}

bool WindowsTaskScheduler::deleteTask(std::uint64_t scheduleId)
{
    if (!ready())
        return fail(tr("TaskFolder not initialized"));
    const QString name = taskName(scheduleId);
    QStringList units;
    for (const QString& suffix : {QStringLiteral(".timer"), QStringLiteral(".service")})
        if (QFileInfo::exists(unitFolder() + QLatin1Char('/') + name + suffix))
            units << name + suffix;
    if (units.isEmpty())
        return fail(tr("Failed to delete task: %1")
                        .arg(QStringLiteral("Unit %1.timer does not exist").arg(name)));
    if (const QString error = removeUnits(units); !error.isEmpty())
        return fail(tr("Failed to delete task: %1").arg(error));
    emit taskDeleted(scheduleId);
    return true;
}

bool WindowsTaskScheduler::removeAllTasks()
{
    if (!ready())
        return fail(tr("TaskFolder not initialized"));
    const QDir folder(unitFolder());
    if (!folder.isReadable())
        return fail(tr("Failed to get task collection: %1").arg(folder.path()));
    QStringList units;
    for (const QString& file : folder.entryList(QDir::Files | QDir::System))
        if (file.startsWith(kPrefix, Qt::CaseSensitive) &&
            (file.endsWith(QLatin1String(".timer")) || file.endsWith(QLatin1String(".service"))))
            units << file;
    // Failures are skipped: whatever could be removed is gone, and the store re-creates the rest.
    if (!units.isEmpty())
        removeUnits(units);
    return true;
}
