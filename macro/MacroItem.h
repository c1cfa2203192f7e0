#pragma once

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <optional>

enum class MacroActionType {
    SelectSource = 0,
    StartRecording = 1,
    StopRecording = 2,
    PauseRecording = 3,
    ResumeRecording = 4,
    Wait = 5,
};

// One step of a macro. The parameters are a map ordered by key, so the file lists them in a
// stable order. Keys of the select-source action: "recordScreen", "areaCaptureMode" (0 screen,
// 1 window, 2 rectangle), "screenIndex"; "selectedWindow_pid", "selectedWindow_className",
// "selectedWindow_exeName"; "left", "top", "width", "height"; "recordAudioInput",
// "AudioInputDeviceId". A wait has "duration_ms".
struct MacroAction
{
    MacroActionType type = MacroActionType::Wait;
    QString name;
    QString description;
    QVariantMap parameters;
    bool enabled = true;
    // The type a file names when it is no kind: the step reads as a Wait, is written back as
    // it was, and stepError() names it.
    QString unknownType;

    MacroAction() = default;
    // An action of the kind, named by the kind's display name.
    MacroAction(MacroActionType kind, QVariantMap parameters);

    // The translated name of a kind ("Unknown Action" for a value no kind has).
    static QString actionDisplayName(MacroActionType kind);

    // The wait's "duration_ms" when it is a whole number of milliseconds from 0 to INT_MAX (1000
    // when missing); nullopt for anything else a file may hold (text, -5000, 1.5).
    std::optional<int> waitMs() const;

    QJsonObject toJson() const;
    static MacroAction fromJson(const QJsonObject& object);
};

struct MacroItem
{
    std::uint64_t id = 0;
    QString name;
    QString description;
    bool enabled = true;
    bool repeatable = true;
    int repeatCount = 1;
    QList<MacroAction> actions;

    // The sum of the waits' "duration_ms" (missing counts 0) times repeatCount, in milliseconds.
    qint64 macroDuration() const;
    // macroDuration() in whole seconds as "hh:mm:ss"; the hours go past 23 for long macros.
    QString durationText() const;
    QStringList validationErrors() const;
    bool isValid() const;
    // Why running the steps cannot record, as one translated sentence naming the first wrong
    // step by its number from 1: a type no kind has, a wait that is not whole milliseconds, a
    // stop, pause or resume where the steps before leave nothing to stop, pause or resume, a
    // start while recording, or no start at all. Empty when the steps can record.
    QString stepError() const;

    QJsonObject toJson() const;
    static MacroItem fromJson(const QJsonObject& object);
};

Q_DECLARE_METATYPE(MacroAction)
Q_DECLARE_METATYPE(MacroItem)
