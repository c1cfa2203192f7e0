#include "MacroExecutor.h"

#include <QDebug>
#include <QMutexLocker>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

constexpr int kStepGapMs = 100;
// A recording needs a moment to be under way before the next action may pause or stop it.
constexpr int kAfterStartMs = 600;

} // namespace

MacroExecutor* MacroExecutor::instance()
{
    static MacroExecutor* executor = new MacroExecutor;
    return executor;
}

MacroExecutor::MacroExecutor() : waitTimer_(new QTimer(this))
{
    waitTimer_->setSingleShot(true);
    connect(waitTimer_, &QTimer::timeout, this, &MacroExecutor::onWaitTimerFinished);
    timers_.startWait = [this](int ms) { waitTimer_->start(ms); };
    timers_.stopWait = [this] { waitTimer_->stop(); };
    timers_.later = [this](int ms, std::function<void()> step) {
        QTimer::singleShot(ms, this, std::move(step));
    };
}

void MacroExecutor::setTimers(Timers timers)
{
    timers_ = std::move(timers);
}

bool MacroExecutor::startExecution(const MacroItem& item, QString* refusal)
{
    QMutexLocker lock(&mutex_);
    if (running_) {
        qWarning() << "Macro execution already in progress";
        return false;
    }
    if (!item.isValid()) {
        qWarning() << "Macro is invalid";
        return false;
    }
    if (const QString error = item.stepError(); !error.isEmpty()) {
        qWarning().noquote() << "Macro cannot record:" << item.name << "-" << error;
        if (refusal)
            *refusal = error;
        return false;
    }
    item_ = item;
    running_ = true;
    ++run_;
    actionsTaken_ = 0;
    next_ = 0;
    roundsLeft_ = std::max(0, item.repeatCount);
    emit requestExecutionStarted();
    executeNextAction();
    return true;
}

bool MacroExecutor::hasNext() const
{
    return roundsLeft_ > 0 && next_ < item_.actions.size();
}

void MacroExecutor::finish(bool success)
{
    running_ = false;
    roundsLeft_ = 0;
    timers_.stopWait();
    emit requestExecutionFinished(success);
}

void MacroExecutor::scheduleNext(int ms)
{
    timers_.later(ms, [this, run = run_] {
        if (run == run_)
            executeNextAction();
    });
}

void MacroExecutor::executeNextAction()
{
    QMutexLocker lock(&mutex_);
    if (!hasNext()) {
        finish(true);
        return;
    }
    const MacroAction action = item_.actions.at(next_);
    if (++next_ == item_.actions.size()) {
        next_ = 0;
        --roundsLeft_;
    }
    ++actionsTaken_;
    switch (action.type) {
    case MacroActionType::SelectSource:
        emit requestSelectSource(action);
        scheduleNext(kStepGapMs);
        return;
    case MacroActionType::StartRecording:
        emit requestStartRecording();
        scheduleNext(kAfterStartMs);
        return;
    case MacroActionType::StopRecording:
        emit requestStopRecording();
        scheduleNext(kStepGapMs);
        return;
    case MacroActionType::PauseRecording:
        emit requestPauseRecording();
        scheduleNext(kStepGapMs);
        return;
    case MacroActionType::ResumeRecording:
        emit requestResumeRecording();
        scheduleNext(kStepGapMs);
        return;
    case MacroActionType::Wait:
        // Only whole milliseconds get this far: stepError() refused the rest at the start.
        timers_.startWait(action.waitMs().value_or(0));
        return;
    }
    qWarning() << "Unsupported action type";
    qWarning().noquote() << "Failed to execute action:" << action.name;
    finish(false);
}

void MacroExecutor::onWaitTimerFinished()
{
    executeNextAction();
}

void MacroExecutor::stopExecution()
{
    QMutexLocker lock(&mutex_);
    if (!running_)
        return;
    timers_.stopWait();
    roundsLeft_ = 0;
    running_ = false;
    emit requestExecutionStopped();
}
