#include "MacroStore.h"

MacroStore& MacroStore::instance()
{
    static MacroStore store;
    return store;
}

MacroStore::MacroStore()
    : JsonListStore(QStringLiteral("macro.json"), QStringLiteral("macros"),
                    QStringLiteral("Macros"))
{
    load();
}

std::uint64_t MacroStore::nextMacroId()
{
    return nextId(QStringLiteral("MacroSett"), QStringLiteral("NextMacroId"));
}
