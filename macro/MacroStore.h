#pragma once

#include "MacroItem.h"
#include "base/JsonListStore.h"

#include <cstdint>

// The process-wide owner of the macro list, kept in "macro.json" in the configuration folder.
class MacroStore : public JsonListStore<MacroItem>
{
public:
    static MacroStore& instance();

    QList<MacroItem> macros() const { return items(); }
    // The caller sets the id first (nextMacroId).
    void addMacro(const MacroItem& item) { add(item); }
    // Replace or remove the first macro with the id; false when there is none (saved anyway).
    bool updateMacro(const MacroItem& item) { return change(item.id, &item); }
    bool deleteMacro(std::uint64_t id) { return change(id, nullptr); }
    int enabledMacroCount() const { return enabledCount(); }
    // Ids start at 1 and are never reused, even after macro.json is removed.
    std::uint64_t nextMacroId();

private:
    MacroStore();
};
