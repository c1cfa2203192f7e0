// Feeds arbitrary bytes to the reader of hotkeys.json, applies what it read to a manager as its
// start-up does, and checks each record read against the shortcuts as the hotkey dialog does.
#include "hotkeys/HotkeyManager.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // No file there: the manager starts from the defaults.
    HotkeyManager manager(QStringLiteral("/nonexistent/hotkeys.json"));
    const QList<HotkeyRecord> records = HotkeyManager::recordsFromFile(bytes);
    for (const HotkeyRecord& record : records)
        manager.updateHotkey(record);
    // Whatever the file says, one record per action stays, in id order.
    const QList<HotkeyRecord> hotkeys = manager.hotkeys();
    if (hotkeys.size() != HotkeyManager::kHotkeyCount)
        std::abort();
    for (int id = 0; id < HotkeyManager::kHotkeyCount; ++id)
        if (hotkeys.at(id).hotkeyId != id)
            std::abort();
    for (const HotkeyRecord& record : records)
        (void)manager.conflictingHotkey(record);
    return 0;
}
