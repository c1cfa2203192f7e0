#pragma once

#include "MacroItem.h"

#include <QList>
#include <QMutex>
#include <QString>

#include <cstdint>

// The process-wide owner of the macro list, kept in "macro.json" in the configuration folder.
// Every change is written through to the file at once. Thread-safe; lists are handed out as
// copies.
class MacroStore
{
public:
    static MacroStore& instance();

    // Reads the file (a missing one is an empty list). False when it cannot be read or parsed;
    // the list is then left as it was.
    bool load();
    // Writes the whole list; false when nothing was written.
    bool save();

    QList<MacroItem> macros() const;
    // The caller sets the id first (nextMacroId).
    void addMacro(const MacroItem& item);
    // Replace or remove the first macro with the id; false when there is none (saved anyway).
    bool updateMacro(const MacroItem& item);
    bool deleteMacro(std::uint64_t id);
    int enabledMacroCount() const;
    // Ids start at 1 and are never reused, even after macro.json is removed.
    std::uint64_t nextMacroId();

    QString filePath() const;
    // Where a load set aside the file it could not read, once: later calls return empty, so
    // that the list says it a single time.
    QString takeBrokenCopy();

private:
    MacroStore();

    mutable QMutex mutex_;
    QList<MacroItem> macros_;
    bool keepFile_ = false;
    QString brokenCopy_;
};
