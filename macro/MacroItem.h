#pragma once

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>

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

    MacroAction() = default;
    // An action of the kind, named by the kind's display name.
    MacroAction(MacroActionType kind, QVariantMap parameters);

    // The translated name of a kind ("Unknown Action" for a value no kind has).
    static QString actionDisplayName(MacroActionType kind);

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

    QJsonObject toJson() const;
    static MacroItem fromJson(const QJsonObject& object);
};

Q_DECLARE_METATYPE(MacroAction)
Q_DECLARE_METATYPE(MacroItem)
