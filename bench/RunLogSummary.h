#pragma once

// What the recording threads log that the capture benchmarks need, gathered by a Qt message
// handler that runs on whichever thread logs.

#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace bench {

struct RunLogSummary
{
    QMutex mutex;
    bool pacingSeen = false;
    qint64 written = 0;
    qint64 repeated = 0;
    qint64 leadIn = 0;
    int sleepWaits = 0;
    QStringList problems;
};

inline RunLogSummary logSummary;

// Install with qInstallMessageHandler: keeps the pacing figures, counts the encoder-wait lines
// (they come by the hundred when encoding falls behind), passes warnings and errors to stderr
// and remembers the errors.
inline void runLogMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    static const QRegularExpression pacing(
        "^Capture pacing: (\\d+) frames written, (\\d+) repeated \\((\\d+) before");
    QMutexLocker lock(&logSummary.mutex);
    const QRegularExpressionMatch match = pacing.match(text);
    if (match.hasMatch()) {
        logSummary.pacingSeen = true;
        logSummary.written = match.captured(1).toLongLong();
        logSummary.repeated = match.captured(2).toLongLong();
        logSummary.leadIn = match.captured(3).toLongLong();
        return;
    }
    if (text.startsWith(QLatin1String("Sleep Count"))) {
        ++logSummary.sleepWaits;
        return;
    }
    if (type == QtDebugMsg)
        return;
    std::fprintf(stderr, "  log: %s\n", qPrintable(text));
    if (type == QtCriticalMsg || type == QtFatalMsg)
        logSummary.problems.append(text);
}

} // namespace bench
