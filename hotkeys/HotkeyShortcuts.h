#pragma once

#include <QMap>
#include <QObject>

#include <functional>

class HotkeyManager;
class QShortcut;
class QWidget;

// The live keyboard shortcuts of one window, rebuilt from HotkeyManager whenever a hotkey
// changes. Each shortcut has window context: it fires only while that window (or one of its
// children) is the active window, never system-wide.
//
// The main window gives one handler per action id, then calls registerHotkeys() once:
//
//     hotkeyShortcuts_ = new HotkeyShortcuts(this);
//     hotkeyShortcuts_->setHandler(HotkeyManager::StartStopRecording, [this] {
//     startStopRecording(); });
//     ... one line per id 0..11 ...
//     hotkeyShortcuts_->registerHotkeys();
//
// Before a handler runs, the shortcut logs its debug line ("Hotkey: Help triggered").
// GUI thread only.
class HotkeyShortcuts : public QObject
{
    Q_OBJECT

public:
    // window: parent of the shortcuts (and of this object). manager: null means
    // HotkeyManager::instance().
    explicit HotkeyShortcuts(QWidget* window, HotkeyManager* manager = nullptr);

    // The action run by the shortcut of this id. Takes effect at the next reload.
    void setHandler(int hotkeyId, std::function<void()> handler);

    // Builds the shortcuts and rebuilds them on every HotkeyManager::requestUpdate().
    void registerHotkeys();

    // The live shortcuts by hotkey id; disabled hotkeys have none.
    const QMap<int, QShortcut*>& shortcuts() const { return shortcuts_; }

    // The debug line logged when the shortcut of this id fires.
    static QString triggeredLogLine(int hotkeyId);

public slots:
    // Drops every shortcut and creates one for each enabled hotkey.
    void reload();

private:
    void trigger(int hotkeyId);

    QWidget* window_;
    HotkeyManager* manager_;
    bool registered_ = false;
    QMap<int, std::function<void()>> handlers_;
    QMap<int, QShortcut*> shortcuts_;
};
