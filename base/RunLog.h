#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

// The run log: one file per process in the configuration folder's "Log" directory that receives
// every Qt message (one time-stamped, tagged line each, flushed at once) and everything written to
// std::cout and std::cerr. Messages arrive from every thread; the message handler is thread-safe.
class RunLog
{
public:
    // "<configuration folder>/Log".
    static QString directory();
    // "qzt_yyyyMMdd_HHmmss.log" of the given local time.
    static QString fileNameFor(const QDateTime& localTime);

    // Opens (and truncates) the log file. On failure a critical message goes to Qt's default
    // output and later messages are dropped.
    static bool open(const QString& path);
    // Routes every Qt message into the log file; nothing reaches the console any more.
    static void installMessageHandler();
    // Points std::cout and std::cerr at the log file for the rest of the process.
    static void redirectStandardStreams(const QString& path);

    static QString formatLine(QtMsgType type, const QString& message, const QDateTime& localTime);

private:
    static void messageHandler(QtMsgType type, const QMessageLogContext& context,
                               const QString& message);
};
