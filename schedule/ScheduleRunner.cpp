#include "ScheduleRunner.h"

#include "ScheduleStore.h"

#include <QTimer>

#include <algorithm>

#include <utility>

namespace {

constexpr int kCheckIntervalMs = 1000;
constexpr int kDaysExamined = 7;

// The period of a daily or weekly schedule that begins on date; its end moves to the next day
// when it is not after the start.
bool periodCovers(const ScheduleItem& item, const QDate& date, const QDateTime& now)
{
    if (!item.startTime.isValid() || !item.endTime.isValid())
        return false;
    if (item.repeatType == ScheduleRepeatType::Weekly &&
        !item.daysOfWeek.contains(date.dayOfWeek()))
        return false;
    const QDateTime start(date, item.startTime);
    QDateTime end(date, item.endTime);
    if (end <= start)
        end = end.addDays(1);
    return start <= now && now < end;
}

} // namespace

ScheduleRunner* ScheduleRunner::instance()
{
    static ScheduleRunner* runner = new ScheduleRunner;
    return runner;
}

ScheduleRunner::ScheduleRunner() : timer_(new QTimer(this))
{
    timer_->setInterval(kCheckIntervalMs);
    connect(timer_, &QTimer::timeout, this, &ScheduleRunner::onTimeout);
}

void ScheduleRunner::setClock(Clock clock)
{
    clock_ = std::move(clock);
}

QDateTime ScheduleRunner::currentDateTime() const
{
    return clock_ ? clock_() : QDateTime::currentDateTime();
}

void ScheduleRunner::startRunner()
{
    if (!timer_->isActive())
        timer_->start();
}

void ScheduleRunner::stopRunner()
{
    if (timer_->isActive())
        timer_->stop();
}

bool ScheduleRunner::isScheduleActive(const ScheduleItem& item) const
{
    if (!item.enabled)
        return false;
    const QDateTime current = currentDateTime();
    switch (item.repeatType) {
    case ScheduleRepeatType::OneTime:
        return item.oneTimeStart.isValid() && item.oneTimeEnd.isValid() &&
               item.oneTimeStart <= current && current < item.oneTimeEnd;
    case ScheduleRepeatType::Daily:
    case ScheduleRepeatType::Weekly:
        // Today's period, or yesterday's while it runs past midnight.
        return periodCovers(item, current.date(), current) ||
               periodCovers(item, current.date().addDays(-1), current);
    }
    return false;
}

QDateTime ScheduleRunner::nextOccurrence(const ScheduleItem& item, const QDateTime& from) const
{
    if (!item.enabled)
        return {};
    switch (item.repeatType) {
    case ScheduleRepeatType::OneTime:
        return item.oneTimeStart.isValid() && item.oneTimeStart > from ? item.oneTimeStart
                                                                       : QDateTime();
    case ScheduleRepeatType::Daily: {
        if (!item.startTime.isValid())
            return {};
        const QDateTime candidate(from.date(), item.startTime);
        return candidate >= from ? candidate : candidate.addDays(1);
    }
    case ScheduleRepeatType::Weekly:
        if (!item.startTime.isValid())
            return {};
        for (int k = 0; k < kDaysExamined; ++k) {
            const QDate date = from.date().addDays(k);
            const QDateTime candidate(date, item.startTime);
            if (item.daysOfWeek.contains(date.dayOfWeek()) && candidate > from)
                return candidate;
        }
        return {};
    }
    return {};
}

QDateTime ScheduleRunner::nextScheduledStart() const
{
    const QDateTime from = currentDateTime();
    QDateTime best;
    for (const ScheduleItem& item : ScheduleStore::instance().schedules()) {
        const QDateTime next = nextOccurrence(item, from);
        if (next.isValid() && (!best.isValid() || next < best))
            best = next;
    }
    return best;
}

void ScheduleRunner::onTimeout()
{
    const QList<ScheduleItem> schedules = ScheduleStore::instance().schedules();
    const auto active =
        std::find_if(schedules.cbegin(), schedules.cend(),
                     [this](const ScheduleItem& item) { return isScheduleActive(item); });
    if (active == schedules.cend()) {
        if (currentScheduleId != 0) {
            const std::uint64_t ended = currentScheduleId;
            currentScheduleId = 0;
            emit requestStop(ended);
        }
        return;
    }
    if (currentScheduleId == 0) {
        currentScheduleId = active->id;
        ScheduleItem item = *active;
        emit requestStart(item);
    }
}
