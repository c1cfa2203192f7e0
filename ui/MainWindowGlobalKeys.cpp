#include "MainWindow.h"

#include "hotkeys/GlobalHotkeys.h"
#include "hotkeys/HotkeyManager.h"
#include "platform/portal/PortalGlobalShortcuts.h"
#include "platform/portal/PortalScreenCast.h"
#include "platform/x11/X11GlobalShortcuts.h"

#include <QGuiApplication>
#include <QKeySequence>

void MainWindow::registerGlobalShortcuts()
{
    // Decided as the capture decides: a Wayland session hides other clients' keys from X11.
    if (PortalScreenCast::isWaylandSession())
        globalShortcuts = new PortalGlobalShortcuts(QDBusConnection::sessionBus(), this);
    else if (QGuiApplication::platformName() == QLatin1String("xcb"))
        globalShortcuts = new X11GlobalShortcuts(this);
    else
        return; // No desktop (offscreen): nothing could press the keys.
    connect(globalShortcuts, &GlobalShortcuts::activated, this, [this](const QString& id) {
        if (id == GlobalHotkeys::kStartStop) {
            // Pressed over another program: its end is a notification, not a box over it.
            if (phase_ == RecordingPhase::Idle)
                setStartedFromOutside(true);
            startStopRecording();
        } else if (id == GlobalHotkeys::kPause)
            pauseFromGlobalKey();
    });
    connect(&HotkeyManager::instance(), &HotkeyManager::requestUpdate, this,
            &MainWindow::applyGlobalShortcuts);
    applyGlobalShortcuts();
}

void MainWindow::applyGlobalShortcuts()
{
    QList<GlobalShortcuts::Shortcut> shortcuts;
    QStringList keys;
    for (const GlobalHotkey& hotkey : HotkeyManager::instance().globalHotkeys()) {
        if (!hotkey.enabled || !GlobalHotkeys::refusal(hotkey.hotkey).isEmpty())
            continue;
        const QString description = hotkey.action == GlobalHotkeys::kStartStop
                                        ? tr("Start/Stop Recording")
                                        : tr("Pause/Resume");
        shortcuts.append({hotkey.action, QKeySequence(hotkey.hotkey), description});
        keys << hotkey.action + QLatin1Char('=') + hotkey.hotkey;
    }
    // Every change of any hotkey lands here; a desktop portal would ask the user again for
    // shortcuts that did not change.
    const QString joined = keys.join(QLatin1Char(';'));
    if (joined == appliedGlobalKeys_ && !appliedGlobalKeys_.isEmpty())
        return;
    appliedGlobalKeys_ = joined;
    globalShortcuts->setShortcuts(shortcuts);
}

void MainWindow::pauseFromGlobalKey()
{
    togglePause();
}
