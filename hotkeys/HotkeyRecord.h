#pragma once

#include <QString>

// One keyboard shortcut of the main window: which action, which keys, and whether it is on.
struct HotkeyRecord
{
    // The shortcut is created only when true.
    bool enabled = true;
    // Action id, 0..10 (HotkeyManager::HotkeyId).
    int hotkeyId = 0;
    // Key sequence text as QKeySequence parses it, for example "Ctrl+Shift+R".
    QString hotkey;

    friend bool operator==(const HotkeyRecord&, const HotkeyRecord&) = default;
};
