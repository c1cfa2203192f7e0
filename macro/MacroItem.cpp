#include "MacroItem.h"

#include "app/JsonListFile.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QtNumeric>

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

namespace {

// The file's names of the kinds, by kind value.
constexpr std::array<const char*, 6> kTypeNames{"select_source",    "start_recording",
                                                "stop_recording",   "pause_recording",
                                                "resume_recording", "wait"};

QString typeName(MacroActionType kind)
{
    const auto index = static_cast<std::size_t>(kind);
    return QString::fromLatin1(index < kTypeNames.size() ? kTypeNames[index] : "unknown");
}

MacroActionType typeFromName(const QString& text)
{
    const QString name = text.trimmed().toLower();
    for (std::size_t index = 0; index < kTypeNames.size(); ++index)
        if (name == QLatin1String(kTypeNames[index]))
            return static_cast<MacroActionType>(index);
    return MacroActionType::Wait;
}

} // namespace

MacroAction::MacroAction(MacroActionType kind, QVariantMap params)
    : type(kind), name(actionDisplayName(kind)), parameters(std::move(params))
{
}

QString MacroAction::actionDisplayName(MacroActionType kind)
{
    switch (kind) {
    case MacroActionType::SelectSource:
        return QCoreApplication::translate("MacroAction", "Select Source");
    case MacroActionType::StartRecording:
        return QCoreApplication::translate("MacroAction", "Start Recording");
    case MacroActionType::StopRecording:
        return QCoreApplication::translate("MacroAction", "Stop Recording");
    case MacroActionType::PauseRecording:
        return QCoreApplication::translate("MacroAction", "Pause Recording");
    case MacroActionType::ResumeRecording:
        return QCoreApplication::translate("MacroAction", "Resume Recording");
    case MacroActionType::Wait:
        return QCoreApplication::translate("MacroAction", "Wait");
    }
    return QCoreApplication::translate("MacroAction", "Unknown Action");
}

QJsonObject MacroAction::toJson() const
{
    return QJsonObject{{"type", typeName(type)},
                       {"name", name},
                       {"description", description},
                       {"enabled", enabled},
                       {"parameters", QJsonObject::fromVariantMap(parameters)}};
}

MacroAction MacroAction::fromJson(const QJsonObject& object)
{
    MacroAction action;
    action.type = typeFromName(object.value("type").toString());
    action.name = object.value("name").toString();
    action.description = object.value("description").toString();
    action.enabled = object.value("enabled").toBool(true);
    if (const QJsonValue parameters = object.value("parameters"); parameters.isObject())
        action.parameters = parameters.toObject().toVariantMap();
    // The dialogs and the main window make a QRect of these: one that QRect cannot hold is
    // dropped, as if no rectangle had been chosen.
    const QVariantMap& p = action.parameters;
    if (!JsonListFile::rectFrom(p.value("left").toInt(), p.value("top").toInt(),
                                p.value("width").toInt(), p.value("height").toInt()))
        for (const char* key : {"left", "top", "width", "height"})
            action.parameters.remove(QLatin1String(key));
    return action;
}

qint64 MacroItem::macroDuration() const
{
    qint64 once = 0;
    for (const MacroAction& action : actions)
        if (action.type == MacroActionType::Wait)
            once += action.parameters.value("duration_ms").toInt();
    // A hand-edited file may ask for more than fits; such a macro lasts as long as can be told.
    qint64 total = 0;
    if (qMulOverflow(once, qint64(repeatCount), &total))
        return (once < 0) == (repeatCount < 0) ? std::numeric_limits<qint64>::max()
                                               : std::numeric_limits<qint64>::min();
    return total;
}

QString MacroItem::durationText() const
{
    const qint64 seconds = std::max<qint64>(0, macroDuration() / 1000);
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QStringList MacroItem::validationErrors() const
{
    QStringList errors;
    if (actions.isEmpty())
        errors << QStringLiteral("Actions are not empty");
    return errors;
}

bool MacroItem::isValid() const
{
    return !name.isEmpty() && validationErrors().isEmpty();
}

QJsonObject MacroItem::toJson() const
{
    QJsonArray list;
    for (const MacroAction& action : actions)
        list.append(action.toJson());
    return QJsonObject{{"id", double(id)},
                       {"name", name},
                       {"description", description},
                       {"enabled", enabled},
                       {"repeatable", repeatable},
                       {"repeatCount", repeatCount},
                       {"actions", list}};
}

MacroItem MacroItem::fromJson(const QJsonObject& object)
{
    MacroItem item;
    item.id = JsonListFile::idFrom(object.value("id"));
    item.name = object.value("name").toString();
    item.description = object.value("description").toString();
    item.enabled = object.value("enabled").toBool(true);
    item.repeatable = object.value("repeatable").toBool(false);
    item.repeatCount = object.value("repeatCount").toInt(1);
    if (const QJsonValue actions = object.value("actions"); actions.isArray())
        for (const QJsonValue& action : actions.toArray())
            if (action.isObject())
                item.actions.append(MacroAction::fromJson(action.toObject()));
    return item;
}
