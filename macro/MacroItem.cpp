#include "MacroItem.h"

#include "base/JsonListFile.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QtNumeric>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace {

// What the executor waits when a wait has no "duration_ms".
constexpr int kDefaultWaitMs = 1000;

// The file's names of the kinds, by kind value.
constexpr std::array<const char*, 6> kTypeNames{"select_source",    "start_recording",
                                                "stop_recording",   "pause_recording",
                                                "resume_recording", "wait"};

QString typeName(MacroActionType kind)
{
    const auto index = static_cast<std::size_t>(kind);
    return QString::fromLatin1(index < kTypeNames.size() ? kTypeNames[index] : "unknown");
}

std::optional<MacroActionType> typeFromName(const QString& text)
{
    const QString name = text.trimmed().toLower();
    for (std::size_t index = 0; index < kTypeNames.size(); ++index)
        if (name == QLatin1String(kTypeNames[index]))
            return static_cast<MacroActionType>(index);
    return std::nullopt;
}

QString translated(const char* text)
{
    return QCoreApplication::translate("MacroItem", text);
}

const char* const kNotRunning =
    QT_TRANSLATE_NOOP("MacroItem", "Step %1 (%2): no recording is running at that point.");

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

std::optional<int> MacroAction::waitMs() const
{
    const QVariant value = parameters.value(QStringLiteral("duration_ms"));
    if (!value.isValid())
        return kDefaultWaitMs;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        break;
    default:
        return std::nullopt;
    }
    const double ms = value.toDouble();
    if (!(ms >= 0 && ms <= std::numeric_limits<int>::max()) || ms != std::floor(ms))
        return std::nullopt;
    return int(ms);
}

QJsonObject MacroAction::toJson() const
{
    return QJsonObject{{"type", unknownType.isEmpty() ? typeName(type) : unknownType},
                       {"name", name},
                       {"description", description},
                       {"enabled", enabled},
                       {"parameters", QJsonObject::fromVariantMap(parameters)}};
}

MacroAction MacroAction::fromJson(const QJsonObject& object)
{
    MacroAction action;
    // A missing type is a Wait.
    const QString type = object.value("type").toString();
    action.type = typeFromName(type).value_or(MacroActionType::Wait);
    if (!type.trimmed().isEmpty() && !typeFromName(type))
        action.unknownType = type;
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

QString MacroItem::stepError() const
{
    enum class State { Idle, Recording, Paused };
    State state = State::Idle;
    bool starts = false;
    // A round begins where the one before ended; with three states the fourth round repeats an
    // earlier one.
    const int rounds = std::clamp(repeatCount, 1, 4);
    for (int round = 0; round < rounds; ++round) {
        for (qsizetype index = 0; index < actions.size(); ++index) {
            const MacroAction& action = actions.at(index);
            const QString step = QString::number(index + 1);
            if (!action.unknownType.isEmpty())
                return QCoreApplication::translate(
                           "MacroItem", "Step %1: \"%2\" is not a kind of step Torvane knows.")
                    .arg(step, action.unknownType);
            const char* problem = nullptr;
            switch (action.type) {
            case MacroActionType::Wait:
                if (!action.waitMs())
                    return QCoreApplication::translate("MacroItem",
                                                       "Step %1 (Wait): \"%2\" is not a whole "
                                                       "number of milliseconds.")
                        .arg(step, action.parameters.value("duration_ms").toString());
                break;
            case MacroActionType::StartRecording:
                if (state != State::Idle)
                    problem = QT_TRANSLATE_NOOP(
                        "MacroItem", "Step %1 (%2): a recording is already running at that point.");
                state = State::Recording;
                starts = true;
                break;
            case MacroActionType::PauseRecording:
                if (state == State::Paused)
                    problem = QT_TRANSLATE_NOOP(
                        "MacroItem",
                        "Step %1 (%2): the recording is already paused at that point.");
                else if (state == State::Idle)
                    problem = kNotRunning;
                state = State::Paused;
                break;
            case MacroActionType::ResumeRecording:
                if (state == State::Recording)
                    problem = QT_TRANSLATE_NOOP(
                        "MacroItem", "Step %1 (%2): the recording is not paused at that point.");
                else if (state == State::Idle)
                    problem = kNotRunning;
                state = State::Recording;
                break;
            case MacroActionType::StopRecording:
                if (state == State::Idle)
                    problem = kNotRunning;
                state = State::Idle;
                break;
            case MacroActionType::SelectSource:
                break;
            }
            if (problem)
                return translated(problem).arg(step, MacroAction::actionDisplayName(action.type));
        }
    }
    return starts ? QString()
                  : QCoreApplication::translate(
                        "MacroItem", "No step starts a recording, so the macro records nothing.");
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
