#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>

// A shortcut that works while any program has the focus: start/stop or pause/resume.
struct GlobalHotkey
{
    // kStartStop or kPause.
    QString action;
    // Key sequence text as QKeySequence parses it, for example "Ctrl+Alt+R".
    QString hotkey;
    bool enabled = true;

    friend bool operator==(const GlobalHotkey&, const GlobalHotkey&) = default;
};

// The two global shortcuts, kept in hotkeys.json as the "global" list beside the window's own.
namespace GlobalHotkeys {

inline const QString kStartStop = QStringLiteral("startStop");
inline const QString kPause = QStringLiteral("pause");
inline const QString kMember = QStringLiteral("global");

// Start/stop Ctrl+Alt+R and pause Ctrl+Alt+P, both on.
QList<GlobalHotkey> defaults();
// The defaults with the entries of a hotkeys.json's bytes laid over them by action. Entries of
// unknown actions, that are not objects, or whose keys refusal() refuses are ignored; so is
// a file that is not JSON or has no such list.
QList<GlobalHotkey> fromFile(const QByteArray& bytes);
QJsonArray toJson(const QList<GlobalHotkey>& hotkeys);
// Why hotkey cannot be a global shortcut, for the user; empty when it can. Every program on the
// desktop loses a combination grabbed globally, so only ones with Alt or Super are taken:
// Ctrl and Ctrl+Shift combinations belong to browsers, editors and terminals.
QString refusal(const QString& hotkey);

} // namespace GlobalHotkeys
