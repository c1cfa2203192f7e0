#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QRect>
#include <QString>
#include <QTime>

#include <cstdint>

enum class ScheduleRepeatType {
    OneTime = 0,
    Daily = 1,
    Weekly = 2,
};

enum class ScreenSourceType {
    Fullscreen = 0,
    Window = 1,
    CustomRegion = 2,
};
using ScheduleSourceType = ScreenSourceType;

// When Torvane records by itself and what: a source (screen, window or rectangle, with or
// without sound) or a macro. repeatType picks the time fields that count, macroExecution picks
// the macro or the source; the fields not picked keep their values in memory but are not written
// to the file.
struct ScheduleItem
{
    std::uint64_t id = 0; // 0: not stored yet
    QString name;
    bool enabled = true;
    ScheduleRepeatType repeatType = ScheduleRepeatType::OneTime;
    QDateTime oneTimeStart;
    QDateTime oneTimeEnd;
    // Daily and weekly: an end at or before the start runs past midnight.
    QTime startTime;
    QTime endTime;
    // 1 = Monday ... 7 = Sunday, in the order chosen.
    QList<int> daysOfWeek;
    bool screenEnabled = true;
    int screenIndex = 0;
    ScreenSourceType screenType = ScreenSourceType::Fullscreen;
    QRect region; // desktop pixels; null until set
    quint32 windowPid = 0;
    QString windowClassName;
    QString windowExeName;
    bool audioEnabled = false;
    // An audio input's description text, or "System Audio".
    QString audioDeviceId = QStringLiteral("default");
    bool macroExecution = false;
    std::uint64_t macroItemId = 0;
    QDateTime createdAt = QDateTime::currentDateTime();
    QDateTime updatedAt = createdAt;

    QJsonObject toJson() const;
    static ScheduleItem fromJson(const QJsonObject& object);

    bool operator==(const ScheduleItem& other) const = default;
};

Q_DECLARE_METATYPE(ScheduleItem)
