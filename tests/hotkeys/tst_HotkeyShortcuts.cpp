#include "hotkeys/HotkeyManager.h"
#include "hotkeys/HotkeyShortcuts.h"
#include "support/LogCapture.h"

#include <QShortcut>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>

namespace {

// A window with a shortcut set that counts how often each action ran.
struct ShortcutWindow
{
    explicit ShortcutWindow(HotkeyManager& manager)
    {
        window.resize(200, 100);
        shortcuts = new HotkeyShortcuts(&window, &manager);
        for (int id = 0; id < HotkeyManager::kHotkeyCount; ++id)
            shortcuts->setHandler(id, [this, id] { ++runs[id]; });
        shortcuts->registerHotkeys();
    }

    QWidget window;
    HotkeyShortcuts* shortcuts = nullptr;
    QMap<int, int> runs;
};

} // namespace

class tst_HotkeyShortcuts : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void oneWindowShortcutPerEnabledHotkey();
    void keyRunsItsActionAndLogsIt_data();
    void keyRunsItsActionAndLogsIt();
    void disablingRemovesTheShortcutAtOnce();
    void newSequenceReplacesTheOld();
    void firesOnlyWhileTheWindowIsActive();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<HotkeyManager> manager_;
};

void tst_HotkeyShortcuts::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    manager_ = std::make_unique<HotkeyManager>(dir_->filePath("hotkeys.json"));
}

void tst_HotkeyShortcuts::oneWindowShortcutPerEnabledHotkey()
{
    manager_->updateHotkey({false, HotkeyManager::ScheduleDialog, "Ctrl+S"});
    ShortcutWindow w(*manager_);

    const QMap<int, QShortcut*>& shortcuts = w.shortcuts->shortcuts();
    QCOMPARE(shortcuts.size(), 10);
    QVERIFY(!shortcuts.contains(HotkeyManager::ScheduleDialog));
    for (const HotkeyRecord& record : manager_->hotkeys()) {
        if (!record.enabled)
            continue;
        QShortcut* shortcut = shortcuts.value(record.hotkeyId);
        QVERIFY(shortcut);
        QCOMPARE(shortcut->key(), QKeySequence(record.hotkey));
        QCOMPARE(shortcut->context(), Qt::WindowShortcut);
        QCOMPARE(shortcut->parent(), &w.window);
    }
}

void tst_HotkeyShortcuts::keyRunsItsActionAndLogsIt_data()
{
    QTest::addColumn<int>("hotkeyId");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("logLine");

    const auto ctrlShift = int(Qt::ControlModifier | Qt::ShiftModifier);
    QTest::newRow("0") << 0 << int(Qt::Key_R) << ctrlShift
                       << "Hotkey: Start/Stop Recording triggered";
    QTest::newRow("1") << 1 << int(Qt::Key_A) << ctrlShift << "Hotkey: Area Select triggered";
    QTest::newRow("2") << 2 << int(Qt::Key_O) << ctrlShift
                       << "Hotkey: Open Record Folder triggered";
    QTest::newRow("3") << 3 << int(Qt::Key_S) << ctrlShift
                       << "Hotkey: Open Settings Dialog triggered";
    QTest::newRow("4") << 4 << int(Qt::Key_I) << ctrlShift << "Hotkey: Information triggered";
    QTest::newRow("5") << 5 << int(Qt::Key_C) << ctrlShift << "Hotkey: Check Update triggered";
    QTest::newRow("6") << 6 << int(Qt::Key_F1) << int(Qt::NoModifier) << "Hotkey: Help triggered";
    QTest::newRow("7") << 7 << int(Qt::Key_B) << ctrlShift << "Hotkey: Background Window triggered";
    QTest::newRow("8") << 8 << int(Qt::Key_S) << int(Qt::ControlModifier)
                       << "Hotkey: Schedule Dialog triggered";
    QTest::newRow("9") << 9 << int(Qt::Key_M) << ctrlShift << "Hotkey: Macro Dialog triggered";
    QTest::newRow("10") << 10 << int(Qt::Key_H) << int(Qt::ControlModifier)
                        << "Hotkey: Hotkey Dialog triggered";
}

void tst_HotkeyShortcuts::keyRunsItsActionAndLogsIt()
{
    QFETCH(int, hotkeyId);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, logLine);

    ShortcutWindow w(*manager_);
    w.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));

    testsupport::LogCapture log;
    QTest::keyClick(&w.window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

    QCOMPARE(w.runs, (QMap<int, int>{{hotkeyId, 1}}));
    QCOMPARE(log.take(), QStringList{logLine});
}

void tst_HotkeyShortcuts::disablingRemovesTheShortcutAtOnce()
{
    ShortcutWindow w(*manager_);
    w.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));

    manager_->setHotkey({false, HotkeyManager::ScheduleDialog, "Ctrl+S"});
    QVERIFY(!w.shortcuts->shortcuts().contains(HotkeyManager::ScheduleDialog));
    // No event loop turn in between: the old shortcut must already be dead.
    QTest::keyClick(&w.window, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(w.runs.value(HotkeyManager::ScheduleDialog), 0);

    manager_->setHotkey({true, HotkeyManager::ScheduleDialog, "Ctrl+S"});
    QTest::keyClick(&w.window, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(w.runs.value(HotkeyManager::ScheduleDialog), 1);
}

void tst_HotkeyShortcuts::newSequenceReplacesTheOld()
{
    ShortcutWindow w(*manager_);
    w.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));

    // Rebuilt twice before any deferred delete runs: stale copies must not make keys ambiguous.
    manager_->setHotkey({true, HotkeyManager::Help, "F5"});
    manager_->setHotkey({true, HotkeyManager::AreaSelect, "Ctrl+Shift+A"});
    QTest::keyClick(&w.window, Qt::Key_F1);
    QTest::keyClick(&w.window, Qt::Key_F5);
    QTest::keyClick(&w.window, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(w.runs, (QMap<int, int>{{HotkeyManager::Help, 1}, {HotkeyManager::AreaSelect, 1}}));
}

void tst_HotkeyShortcuts::firesOnlyWhileTheWindowIsActive()
{
    ShortcutWindow w(*manager_);
    w.window.show();
    QWidget other;
    other.resize(100, 100);
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));

    QTest::keyClick(&other, Qt::Key_F1);
    QTest::keyClick(&w.window, Qt::Key_F1);
    QCOMPARE(w.runs.value(HotkeyManager::Help), 0);

    // Hidden, as in background mode.
    w.window.hide();
    QTest::keyClick(&w.window, Qt::Key_F1);
    QCOMPARE(w.runs.value(HotkeyManager::Help), 0);

    w.window.show();
    w.window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));
    QTest::keyClick(&w.window, Qt::Key_F1);
    QCOMPARE(w.runs.value(HotkeyManager::Help), 1);
}

QTEST_MAIN(tst_HotkeyShortcuts)
#include "tst_HotkeyShortcuts.moc"
