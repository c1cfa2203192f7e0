#pragma once

// A screen recording through the recording session, as the main window starts one, for the
// capture benchmarks; and what its threads log that the benchmarks need, gathered by a Qt
// message handler that runs on whichever thread logs.

#include "base/SettingsStore.h"
#include "recording/screen_capture_win.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <functional>

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

// Records rect for the given seconds into output (no sound) and prints what went wrong, if
// anything, to stderr after "<name>: ". beforeStop runs once the time is up, while the capture
// threads still run. The recorded seconds, or -1 when the recording did not start, fell back,
// failed or wrote nothing.
inline double recordScreen(const char* name, const QRect& rect, int seconds, const QString& output,
                           const std::function<void()>& beforeStop = {})
{
    QStringList boxes;
    bool stopAsked = false;
    screen_capture_win session;
    // A box means a fallback or an error: the run would not measure what it claims to.
    session.setBoxHandler([&boxes](const SessionBox& box) {
        boxes.append(box.title + ": " + box.text);
        return true;
    });
    QObject::connect(&session, &screen_capture_win::stopRecording, &session,
                     [&stopAsked] { stopAsked = true; });
    session.configure(RecordingSettings::fromStore(SettingsStore::instance()),
                      QStringLiteral("No Audio"), output, nullptr);
    RecordingTarget target;
    target.targetType = TargetScreen;
    target.targetRect = rect;
    session.setTarget(target);
    session.setStartTrigger(StartTrigger::User);

    QElapsedTimer recording;
    recording.start();
    session.start();
    if (!session.isRunning()) {
        std::fprintf(stderr, "%s: the recording did not start\n", name);
        return -1;
    }
    QTimer stopTimer;
    stopTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early.
    stopTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&stopTimer, &QTimer::timeout, qApp, &QCoreApplication::quit);
    QObject::connect(&session, &screen_capture_win::stopRecording, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    stopTimer.start(seconds * 1000);
    QCoreApplication::exec();
    const double recordedSeconds = static_cast<double>(recording.nsecsElapsed()) / 1e9;
    if (beforeStop)
        beforeStop();
    session.stop(true);
    // Reports queued while stopping still count.
    QCoreApplication::processEvents();

    QMutexLocker lock(&logSummary.mutex);
    for (const QString& box : boxes)
        std::fprintf(stderr, "%s: %s\n", name, qPrintable(box));
    if (stopAsked || !boxes.isEmpty() || !logSummary.problems.isEmpty()) {
        std::fprintf(stderr, "%s: the recording failed or fell back\n", name);
        return -1;
    }
    if (!logSummary.pacingSeen || QFileInfo(output).size() <= 0) {
        std::fprintf(stderr, "%s: no frames recorded\n", name);
        return -1;
    }
    return recordedSeconds;
}

} // namespace bench
