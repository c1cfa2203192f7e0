#include "HotkeyShortcuts.h"

#include "hotkeys/HotkeyManager.h"

#include <QDebug>
#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

HotkeyShortcuts::HotkeyShortcuts(QWidget* window, HotkeyManager* manager)
    : QObject(window), window_(window), manager_(manager ? manager : &HotkeyManager::instance())
{
}

void HotkeyShortcuts::setHandler(int hotkeyId, std::function<void()> handler)
{
    handlers_.insert(hotkeyId, std::move(handler));
}

void HotkeyShortcuts::registerHotkeys()
{
    if (!registered_) {
        connect(manager_, &HotkeyManager::requestUpdate, this, &HotkeyShortcuts::reload);
        registered_ = true;
    }
    reload();
}

QString HotkeyShortcuts::triggeredLogLine(int hotkeyId)
{
    switch (hotkeyId) {
    case HotkeyManager::StartStopRecording:
        return QStringLiteral("Hotkey: Start/Stop Recording triggered");
    case HotkeyManager::AreaSelect:
        return QStringLiteral("Hotkey: Area Select triggered");
    case HotkeyManager::OpenRecordFolder:
        return QStringLiteral("Hotkey: Open Record Folder triggered");
    case HotkeyManager::SettingsDialog:
        return QStringLiteral("Hotkey: Open Settings Dialog triggered");
    case HotkeyManager::Information:
        return QStringLiteral("Hotkey: Information triggered");
    case HotkeyManager::CheckUpdate:
        return QStringLiteral("Hotkey: Check Update triggered");
    case HotkeyManager::Help:
        return QStringLiteral("Hotkey: Help triggered");
    case HotkeyManager::BackgroundMode:
        return QStringLiteral("Hotkey: Background Window triggered");
    case HotkeyManager::ScheduleDialog:
        return QStringLiteral("Hotkey: Schedule Dialog triggered");
    case HotkeyManager::MacroDialog:
        return QStringLiteral("Hotkey: Macro Dialog triggered");
    case HotkeyManager::HotkeyDialog:
        return QStringLiteral("Hotkey: Hotkey Dialog triggered");
    case HotkeyManager::PauseResumeRecording:
        return QStringLiteral("Hotkey: Pause/Resume Recording triggered");
    default:
        return QStringLiteral("Hotkey: %1 triggered").arg(hotkeyId);
    }
}

void HotkeyShortcuts::reload()
{
    for (QShortcut* shortcut : std::as_const(shortcuts_)) {
        // Off at once: until the deferred delete runs, a key press would otherwise still reach
        // the old shortcut, or find it and its replacement ambiguous and fire neither.
        shortcut->setEnabled(false);
        shortcut->deleteLater();
    }
    shortcuts_.clear();

    const QList<HotkeyRecord> records = manager_->hotkeys();
    for (const HotkeyRecord& record : records) {
        if (!record.enabled)
            continue;
        auto* shortcut = new QShortcut(QKeySequence(record.hotkey), window_);
        shortcut->setContext(Qt::WindowShortcut);
        const int id = record.hotkeyId;
        connect(shortcut, &QShortcut::activated, this, [this, id] { trigger(id); });
        shortcuts_.insert(id, shortcut);
    }
}

void HotkeyShortcuts::trigger(int hotkeyId)
{
    qDebug().noquote() << triggeredLogLine(hotkeyId);
    // A copy: the handler may open a dialog that changes the hotkeys and so the handlers' owner.
    const std::function<void()> handler = handlers_.value(hotkeyId);
    if (handler)
        handler();
}
