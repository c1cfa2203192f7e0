#pragma once

#include "hotkeys/GlobalHotkeys.h"
#include "hotkeys/HotkeyRecord.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

// Holds the twelve keyboard shortcuts of the main window, their defaults and their on/off flags,
// and keeps them in hotkeys.json in the per-user configuration folder. Every change is saved at
// once and announced with requestUpdate(), on which the main window rebuilds its shortcuts.
//
// Every member is thread-safe (the list is only touched under the mutex); in practice all
// callers run on the GUI thread.
class HotkeyManager : public QObject
{
    Q_OBJECT

public:
    // Action ids, also the position of each record in the list.
    enum HotkeyId {
        StartStopRecording = 0,
        AreaSelect = 1,
        OpenRecordFolder = 2,
        SettingsDialog = 3,
        Information = 4,
        CheckUpdate = 5,
        Help = 6,
        BackgroundMode = 7,
        ScheduleDialog = 8,
        MacroDialog = 9,
        HotkeyDialog = 10,
        // Added later: a file with the eleven above gets its default.
        PauseResumeRecording = 11,
    };
    static constexpr int kHotkeyCount = 12;

    // The process-wide manager on AppConfigLocation/hotkeys.json, created on first use.
    static HotkeyManager& instance();

    // A manager of its own on another file (tests). Fills the defaults, then loads the file.
    explicit HotkeyManager(const QString& filePath, QObject* parent = nullptr);

    // The twelve records in id order, all enabled.
    static QList<HotkeyRecord> defaultHotkeys();
    // AppConfigLocation + "/hotkeys.json"; creates the folder (with parents) on every call.
    static QString defaultFilePath();
    // The records a hotkeys.json's bytes hold, in file order, unchecked; none when they are
    // not JSON.
    static QList<HotkeyRecord> recordsFromFile(const QByteArray& bytes);

    QString filePath() const { return filePath_; }

    // A copy of the list, in id order.
    QList<HotkeyRecord> hotkeys() const;
    // Replaces enabled and hotkey of the record with the same id; unknown ids change nothing.
    void updateHotkey(const HotkeyRecord& record);
    // updateHotkey, then saves the file, then emits requestUpdate(). False when the file could not
    // be written (logged): the old file stays whole and the change stays in memory.
    bool setHotkey(const HotkeyRecord& record);
    // The id of another enabled hotkey with the same key sequence as record, -1 when none (or
    // when record itself is off or empty): two shortcuts on one sequence both stay silent.
    int conflictingHotkey(const HotkeyRecord& record) const;

    // The global shortcuts, start/stop first; saved in the same file.
    QList<GlobalHotkey> globalHotkeys() const;
    // Replaces the one of the same action, saves and announces it like setHotkey().
    bool setGlobalHotkey(const GlobalHotkey& hotkey);

signals:
    void requestUpdate();

private:
    // A missing, unreadable or malformed file leaves the defaults in force.
    void load();
    bool save();

    const QString filePath_;
    mutable QMutex mutex_;
    QList<HotkeyRecord> hotkeys_;
    QList<GlobalHotkey> globals_;
};
