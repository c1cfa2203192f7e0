#pragma once

#include "MacroItem.h"

#include <QObject>
#include <QRecursiveMutex>

#include <cstdint>
#include <functional>

class QTimer;

// Runs a macro: walks its actions in order, repeatCount times, asking the main window through
// signals to select a source, start, pause, resume or stop, and waiting where it says so. It
// never records by itself and never blocks: every wait is a timer.
class MacroExecutor : public QObject
{
    Q_OBJECT

public:
    // How the executor waits; tests replace it with a fake clock.
    struct Timers
    {
        // The stoppable wait of a Wait action; ends in onWaitTimerFinished().
        std::function<void(int ms)> startWait;
        std::function<void()> stopWait;
        // A one-off call of step ms from now.
        std::function<void(int ms, std::function<void()> step)> later;
    };

    static MacroExecutor* instance();

    // Replaces the timers (tests).
    void setTimers(Timers timers);

    // False when another macro runs or the item cannot run; a macro whose steps cannot record
    // (MacroItem::stepError) is refused with that sentence in *refusal, before any step.
    bool startExecution(const MacroItem& item, QString* refusal = nullptr);
    void stopExecution();
    bool isExecuting() const { return running_; }
    // The macro being (or last) run.
    std::uint64_t currentMacroId() const { return item_.id; }

public Q_SLOTS:
    void executeNextAction();
    void onWaitTimerFinished();

Q_SIGNALS:
    void requestStartRecording();
    void requestStopRecording();
    void requestPauseRecording();
    void requestResumeRecording();
    void requestSelectSource(MacroAction action);
    void requestExecutionFinished(bool success);
    void requestExecutionStarted();
    void requestExecutionStopped();
    void requestPauseExecution();
    void requestResumeExecution();

private:
    MacroExecutor();
    void finish(bool success);
    void scheduleNext(int ms);
    bool hasNext() const;

    QTimer* waitTimer_ = nullptr;
    Timers timers_;
    MacroItem item_;
    bool running_ = false;
    // The position in the action list and the runs of it left, rather than a queue of copies:
    // a repeat count in the millions costs nothing.
    qsizetype next_ = 0;
    qint64 roundsLeft_ = 0;
    qint64 actionsTaken_ = 0;
    // Counts runs, so that a follow-up call scheduled by an earlier run cannot step this one.
    quint64 run_ = 0;
    QRecursiveMutex mutex_;
};
