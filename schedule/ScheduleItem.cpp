#include "ScheduleItem.h"

#include "base/JsonListFile.h"

#include <QJsonArray>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

QString repeatTypeName(ScheduleRepeatType type)
{
    switch (type) {
    case ScheduleRepeatType::Daily:
        return QStringLiteral("daily");
    case ScheduleRepeatType::Weekly:
        return QStringLiteral("weekly");
    case ScheduleRepeatType::OneTime:
        break;
    }
    return QStringLiteral("one_time");
}

ScheduleRepeatType repeatTypeFrom(const QJsonValue& value)
{
    const QString name = value.toString().trimmed().toLower();
    if (name == QLatin1String("daily"))
        return ScheduleRepeatType::Daily;
    if (name == QLatin1String("weekly"))
        return ScheduleRepeatType::Weekly;
    return ScheduleRepeatType::OneTime;
}

// Ids up to 2^53 are JSON numbers; a larger one would be rounded as a double, so it is written
// as its decimal text, which reads back exactly.
QJsonValue idValue(std::uint64_t id)
{
    constexpr std::uint64_t exactLimit = std::uint64_t(1) << 53;
    return id <= exactLimit ? QJsonValue(double(id)) : QJsonValue(QString::number(id));
}

QString isoDateTime(const QDateTime& value)
{
    return value.toString(Qt::ISODate);
}

QDateTime dateTimeFrom(const QJsonValue& value)
{
    return QDateTime::fromString(value.toString(), Qt::ISODate);
}

QTime timeFrom(const QJsonValue& value)
{
    return QTime::fromString(value.toString(), Qt::ISODate);
}

// A JSON number cut to an int; a file may hold 2.5 or 1e12 where an int belongs.
int truncatedInt(const QJsonValue& value)
{
    const double number = value.toDouble();
    if (!std::isfinite(number))
        return 0;
    return static_cast<int>(std::clamp(std::trunc(number), double(INT_MIN), double(INT_MAX)));
}

QJsonObject recordingToJson(const ScheduleItem& item)
{
    QJsonObject screen{{"enabled", item.screenEnabled}};
    switch (item.screenType) {
    case ScreenSourceType::Fullscreen:
        screen.insert("type", "fullscreen");
        screen.insert("screenIndex", item.screenIndex);
        break;
    case ScreenSourceType::Window:
        screen.insert("type", "window");
        screen.insert("windowInfo", QJsonObject{{"pid", double(item.windowPid)},
                                                {"className", item.windowClassName},
                                                {"exeName", item.windowExeName}});
        break;
    case ScreenSourceType::CustomRegion:
        screen.insert("type", "custom");
        screen.insert("region", QJsonObject{{"x", item.region.x()},
                                            {"y", item.region.y()},
                                            {"width", item.region.width()},
                                            {"height", item.region.height()}});
        break;
    }
    const QJsonObject audio{{"enabled", item.audioEnabled}, {"deviceId", item.audioDeviceId}};
    return QJsonObject{{"screen", screen}, {"audio", audio}};
}

void readRecording(const QJsonObject& recording, ScheduleItem& item)
{
    if (const QJsonValue value = recording.value("screen"); value.isObject()) {
        const QJsonObject screen = value.toObject();
        item.screenEnabled = screen.value("enabled").toBool(item.screenEnabled);
        const QString type = screen.value("type").toString();
        if (type == QLatin1String("fullscreen")) {
            item.screenType = ScreenSourceType::Fullscreen;
            item.screenIndex = screen.value("screenIndex").toInt(item.screenIndex);
        } else if (type == QLatin1String("window")) {
            item.screenType = ScreenSourceType::Window;
            if (const QJsonValue info = screen.value("windowInfo"); info.isObject()) {
                const QJsonObject window = info.toObject();
                item.windowPid = quint32(std::max(0, truncatedInt(window.value("pid"))));
                item.windowClassName = window.value("className").toString();
                item.windowExeName = window.value("exeName").toString();
            }
        } else {
            item.screenType = ScreenSourceType::CustomRegion;
            const QJsonObject region = screen.value("region").toObject();
            item.region = JsonListFile::rectFrom(
                              region.value("x").toInt(), region.value("y").toInt(),
                              region.value("width").toInt(), region.value("height").toInt())
                              .value_or(QRect());
        }
    }
    if (const QJsonValue value = recording.value("audio"); value.isObject()) {
        const QJsonObject audio = value.toObject();
        item.audioEnabled = audio.value("enabled").toBool(item.audioEnabled);
        item.audioDeviceId = audio.value("deviceId").toString(item.audioDeviceId);
    }
}

} // namespace

QJsonObject ScheduleItem::toJson() const
{
    QJsonObject object{{"id", idValue(id)},
                       {"name", name},
                       {"enabled", enabled},
                       {"repeatType", repeatTypeName(repeatType)},
                       {"createdAt", isoDateTime(createdAt)},
                       {"updatedAt", isoDateTime(updatedAt)},
                       {"macroExecution", macroExecution}};
    if (macroExecution)
        object.insert("macroItemId", idValue(macroItemId));
    else
        object.insert("recording", recordingToJson(*this));

    switch (repeatType) {
    case ScheduleRepeatType::OneTime: {
        QJsonObject oneTime;
        if (oneTimeStart.isValid())
            oneTime.insert("start", isoDateTime(oneTimeStart));
        if (oneTimeEnd.isValid())
            oneTime.insert("end", isoDateTime(oneTimeEnd));
        object.insert("oneTime", oneTime);
        break;
    }
    case ScheduleRepeatType::Daily:
        object.insert("daily", QJsonObject{{"startTime", startTime.toString(Qt::ISODate)},
                                           {"endTime", endTime.toString(Qt::ISODate)}});
        break;
    case ScheduleRepeatType::Weekly: {
        QJsonArray days;
        for (int day : daysOfWeek)
            days.append(day);
        object.insert("weekly", QJsonObject{{"startTime", startTime.toString(Qt::ISODate)},
                                            {"endTime", endTime.toString(Qt::ISODate)},
                                            {"daysOfWeek", days}});
        break;
    }
    }
    return object;
}

ScheduleItem ScheduleItem::fromJson(const QJsonObject& object)
{
    ScheduleItem item;
    item.id = JsonListFile::idFrom(object.value("id"));
    item.name = object.value("name").toString();
    item.enabled = object.value("enabled").toBool(true);
    item.macroExecution = object.value("macroExecution").toBool(false);

    item.createdAt = dateTimeFrom(object.value("createdAt"));
    if (!item.createdAt.isValid())
        item.createdAt = QDateTime::currentDateTime();
    item.updatedAt = dateTimeFrom(object.value("updatedAt"));
    if (!item.updatedAt.isValid())
        item.updatedAt = item.createdAt;

    item.repeatType = repeatTypeFrom(object.value("repeatType"));

    if (item.macroExecution)
        item.macroItemId = JsonListFile::idFrom(object.value("macroItemId"));
    else if (const QJsonValue recording = object.value("recording"); recording.isObject())
        readRecording(recording.toObject(), item);

    switch (item.repeatType) {
    case ScheduleRepeatType::OneTime: {
        const QJsonObject oneTime = object.value("oneTime").toObject();
        item.oneTimeStart = dateTimeFrom(oneTime.value("start"));
        item.oneTimeEnd = dateTimeFrom(oneTime.value("end"));
        break;
    }
    case ScheduleRepeatType::Daily: {
        const QJsonObject daily = object.value("daily").toObject();
        item.startTime = timeFrom(daily.value("startTime"));
        item.endTime = timeFrom(daily.value("endTime"));
        break;
    }
    case ScheduleRepeatType::Weekly: {
        const QJsonObject weekly = object.value("weekly").toObject();
        item.startTime = timeFrom(weekly.value("startTime"));
        item.endTime = timeFrom(weekly.value("endTime"));
        item.daysOfWeek.clear();
        // Days outside 1..7 are kept as read; they match no weekday, and nothing is lost.
        for (const QJsonValue& day : weekly.value("daysOfWeek").toArray())
            if (day.isDouble())
                item.daysOfWeek.append(truncatedInt(day));
        break;
    }
    }
    return item;
}
