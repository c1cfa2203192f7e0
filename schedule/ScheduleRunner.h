#pragma once

#include "ScheduleItem.h"

#include <QDateTime>
#include <QObject>

#include <cstdint>
#include <functional>

class QTimer;

// Once a second decides whether a schedule's period runs now and asks the main window to start
// or stop. It records nothing itself. Also answers when the next scheduled start is.
class ScheduleRunner : public QObject
{
    Q_OBJECT

public:
    using Clock = std::function<QDateTime()>;

    static ScheduleRunner* instance();

    // Replaces the local clock (tests).
    void setClock(Clock clock);

    void startRunner();
    void stopRunner();

    // A daily or weekly period that runs past midnight stays active until its end on the next
    // day, so a recording started at 23:00 for two hours ends at 01:00.
    bool isScheduleActive(const ScheduleItem& item) const;
    QDateTime nextOccurrence(const ScheduleItem& item, const QDateTime& from) const;
    QDateTime nextScheduledStart() const;
    // The local time the runner goes by.
    QDateTime currentDateTime() const;

public Q_SLOTS:
    void onTimeout();

Q_SIGNALS:
    void requestStart(ScheduleItem& item);
    void requestStop(quint64 scheduleId);

private:
    ScheduleRunner();

    QTimer* timer_;
    Clock clock_;
    std::uint64_t currentScheduleId = 0;
};
