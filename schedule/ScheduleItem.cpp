#include "ScheduleItem.h"

QJsonObject ScheduleItem::toJson() const
{
    return {};
}

ScheduleItem ScheduleItem::fromJson(const QJsonObject& object)
{
    Q_UNUSED(object);
    return {};
}
