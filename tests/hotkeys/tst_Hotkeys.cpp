// The keyboard shortcuts: the saved list, the dialog's rows and the window's shortcuts.
#include "hotkeys/HotkeyDialog.h"
#include "hotkeys/HotkeyLineEdit.h"
#include "hotkeys/HotkeyManager.h"
#include "hotkeys/HotkeyShortcuts.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "platform/GlobalShortcuts.h"

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(QList<HotkeyRecord>)
Q_DECLARE_METATYPE(QList<GlobalHotkey>)
Q_DECLARE_METATYPE(GlobalShortcuts::Status)

namespace {

QList<HotkeyRecord> defaultsWith(const QList<HotkeyRecord>& changes)
{
    QList<HotkeyRecord> records = HotkeyManager::defaultHotkeys();
    for (const HotkeyRecord& change : changes)
        records[change.hotkeyId] = change;
    return records;
}

// A desktop that reports one status for every shortcut.
struct FixedShortcuts : GlobalShortcuts
{
    explicit FixedShortcuts(Status status) { setStatuses({{"startStop", status}}); }
    void setShortcuts(const QList<Shortcut>&) override {}
};

} // namespace

class tst_Hotkeys : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<HotkeyManager> manager_;
    QString path() const { return dir_->filePath("hotkeys.json"); }

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        manager_ = std::make_unique<HotkeyManager>(path());
    }

    // The keyboard shortcuts and the global ones, each list over its defaults.
    void loadingMergesFileRecordsIntoDefaults_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<HotkeyRecord>>("expected");
        QTest::addColumn<QList<GlobalHotkey>>("global");
        const auto defaults = HotkeyManager::defaultHotkeys();
        const auto globals = GlobalHotkeys::defaults(); // also in a file from before them
        QTest::newRow("records under \"hotkeys\", unknown ids ignored")
            << QByteArray(R"({"hotkeys":[{"enabled":false,"hotkeyId":8,"hotkey":"Ctrl+S"},
                                         {"hotkeyId":42,"hotkey":"F9"},{"hotkeyId":-1}]})")
            << defaultsWith({{false, 8, "Ctrl+S"}}) << globals;
        QTest::newRow("bare array, missing keys, later record wins")
            << QByteArray(
                   R"([1, null, {}, {"hotkeyId":5,"hotkey":"F5"},{"hotkeyId":5,"hotkey":"F6"}])")
            << defaultsWith({{true, 0, ""}, {true, 5, "F6"}}) << globals;
        // Files from before pause had eleven records: the twelfth gets its default.
        QByteArray eleven = "[";
        QList<HotkeyRecord> elevenLoaded = defaults;
        for (int id = 0; id < 11; ++id) {
            elevenLoaded[id] = {false, id, ""};
            eleven +=
                (id ? ",{\"enabled\":false,\"hotkeyId\":" : "{\"enabled\":false,\"hotkeyId\":") +
                QByteArray::number(id) + '}';
        }
        QTest::newRow("eleven records") << eleven + "]" << elevenLoaded << globals;
        QTest::newRow("twelve records")
            << eleven + ",{\"hotkeyId\":11,\"enabled\":false,\"hotkey\":\"Ctrl+Shift+P\"}]"
            << elevenLoaded.mid(0, 11) + QList<HotkeyRecord>{{false, 11, "Ctrl+Shift+P"}}
            << globals;
        QTest::newRow("malformed")
            << QByteArray(R"({"hotkeys":[{"enabled":false,)") << defaults << globals;
        QTest::newRow("global, bad entries ignored")
            << QByteArray(R"({"global":[3,{"action":"startStop","hotkey":"Ctrl+Shift+R"},
                 {"action":"startStop","hotkey":"Alt+)" +
                          QByteArray(80, 'x') + R"("},
                 {"action":"other","hotkey":"Alt+X"},{"action":"pause","hotkey":"Meta+F9",
                 "enabled":false}]})")
            << defaults << QList<GlobalHotkey>{globals[0], {"pause", "Meta+F9", false}};
    }
    void loadingMergesFileRecordsIntoDefaults()
    {
        QFETCH(QByteArray, content);
        QVERIFY(testsupport::writeFile(path(), content));
        QTEST(HotkeyManager(path()).hotkeys(), "expected");
        QTEST(HotkeyManager(path()).globalHotkeys(), "global");
    }

    void savedListLoadsBackAndAnnounces()
    {
        HotkeyManager manager(dir_->filePath("nested/folder/hotkeys.json"));
        QSignalSpy updates(&manager, &HotkeyManager::requestUpdate);
        const QList<HotkeyRecord> changes{{false, 0, "Ctrl+R"}, {true, 6, "F5"}, {false, 10, ""}};
        for (const HotkeyRecord& change : changes)
            QVERIFY(manager.setHotkey(change));
        QCOMPARE(updates.count(), 3);
        manager.updateHotkey({false, 12, "F11"}); // no such hotkey
        QVERIFY(manager.setGlobalHotkey({"pause", "Ctrl+Alt+F9", false}));
        QCOMPARE(HotkeyManager(manager.filePath()).hotkeys(), defaultsWith(changes));
        QCOMPARE(HotkeyManager(manager.filePath()).globalHotkeys().last(),
                 (GlobalHotkey{"pause", "Ctrl+Alt+F9", false}));
    }

    // Each row of the dialog shows and writes its own hotkey, and only that one.
    void dialogRowsWriteThroughToTheirHotkey()
    {
        manager_->updateHotkey({false, HotkeyManager::CheckUpdate, "Alt+U"});
        HotkeyDialog dialog(nullptr, manager_.get());
        const auto boxes = dialog.findChildren<QCheckBox*>(QRegularExpression("^checkBoxHotkey"));
        QCOMPARE(boxes.size(), HotkeyManager::kHotkeyCount);
        int n = 0; // each row its own key, Alt+F1 to Alt+F12
        for (QCheckBox* box : boxes) {
            const QString row = box->objectName().mid(QStringLiteral("checkBoxHotkey").size());
            auto* edit = dialog.findChild<HotkeyLineEdit*>("lineEditHotkey" + row);
            const QList<HotkeyRecord> before = manager_->hotkeys();
            box->setChecked(false);
            QVERIFY(!edit->isEnabled());
            const QList<HotkeyRecord> off = HotkeyManager(path()).hotkeys();
            box->setChecked(true);
            QTest::keyClick(edit, Qt::Key(Qt::Key_F1 + n++), Qt::AltModifier);
            QList<HotkeyRecord> changed;
            for (const HotkeyRecord& record : HotkeyManager(path()).hotkeys())
                if (!before.contains(record))
                    changed.append(record);
            QCOMPARE(changed.size(), 1);
            QCOMPARE(changed.first(), (HotkeyRecord{true, changed.first().hotkeyId,
                                                    QStringLiteral("Alt+F%1").arg(n)}));
            QVERIFY(!off.at(changed.first().hotkeyId).enabled); // the row's box and edit agree
        }
        // Changes made elsewhere show at once.
        manager_->setHotkey({false, HotkeyManager::MacroDialog, "Alt+M"});
        auto* edit = dialog.findChild<HotkeyLineEdit*>("lineEditHotkeyHelp");
        const QString shown = edit->text();
        QCOMPARE(dialog.findChild<HotkeyLineEdit*>("lineEditHotkeyMacroDialog")->text(), "Alt+M");
        // A modifier alone records nothing; Escape is recorded instead of closing the dialog.
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_Control, Qt::ControlModifier);
        QCOMPARE(edit->text(), shown);
        QTest::keyClick(edit, Qt::Key_Escape);
        QCOMPARE(edit->text(), "Esc");
        QVERIFY(dialog.isVisible());
        dialog.findChild<QPushButton*>("pushButtonOK")->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }

    // A typed sequence is refused with a box, the row keeping its own: in the Hotkey Dialog row
    // when another enabled action has it (both shortcuts would stay silent), in the first global
    // row when other programs live on it (a global shortcut needs Alt or Super).
    void dialogRefusesSequences_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<bool>("otherEnabled"); // Start/Stop Recording's Ctrl+Shift+R
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("saved");
        QTest::addColumn<QString>("message");
        const auto row = [](const char* tag, const char* edit, bool otherEnabled, const char* keys,
                            const char* saved, const QString& message = {}) {
            QTest::newRow(tag) << QString(edit) << otherEnabled << QString(keys) << QString(saved)
                               << message;
        };
        const char* own = "lineEditHotkeyHotkeyDialog";
        row("an enabled action's", own, true, "Ctrl+Shift+R", "Ctrl+Shift+H",
            "Ctrl+Shift+R is already the shortcut of \"Start/Stop Recording\".");
        row("a disabled action's", own, false, "Ctrl+Shift+R", "Ctrl+Shift+R");
        row("its own", own, true, "Ctrl+Shift+H", "Ctrl+Shift+H");
        row("global Ctrl+Shift+R", "lineEditGlobal0", false, "Ctrl+Shift+R", "Ctrl+Alt+R",
            "Ctrl+Shift+R stays with the other programs: a global shortcut needs Alt or Super, "
            "for example Ctrl+Alt+R.");
        row("global Ctrl+Alt+K", "lineEditGlobal0", true, "Ctrl+Alt+K", "Ctrl+Alt+K");
    }
    void dialogRefusesSequences()
    {
        QFETCH(QString, row);
        QFETCH(bool, otherEnabled);
        QFETCH(QString, keys);
        manager_->setHotkey({otherEnabled, HotkeyManager::StartStopRecording, "Ctrl+Shift+R"});
        manager_->setHotkey({true, HotkeyManager::HotkeyDialog, "Ctrl+Shift+H"});
        HotkeyDialog dialog(nullptr, manager_.get());
        auto* edit = dialog.findChild<HotkeyLineEdit*>(row);
        const QKeyCombination typed = QKeySequence(keys)[0];
        QTest::keyClick(edit, typed.key(), typed.keyboardModifiers());
        QTEST(edit->text(), "saved");
        const HotkeyManager saved(path());
        QTEST(row == "lineEditGlobal0" ? saved.globalHotkeys().first().hotkey
                                       : saved.hotkeys().at(HotkeyManager::HotkeyDialog).hotkey,
              "saved");
        auto* box = dialog.findChild<QMessageBox*>();
        QTEST(box ? box->text() : QString(), "message");
    }

    void dialogSaysWhyAGlobalShortcutIsSilent_data()
    {
        QTest::addColumn<GlobalShortcuts::Status>("status");
        QTest::addColumn<QByteArray>("wayland");
        QTest::addColumn<QString>("line");
        QTest::newRow("active") << GlobalShortcuts::Status::Active << QByteArray() << "";
        QTest::newRow("taken") << GlobalShortcuts::Status::TakenByAnotherProgram << QByteArray()
                               << "Another program already uses Ctrl+Alt+R. Choose another "
                                  "combination.";
        QTest::newRow("GNOME 43") << GlobalShortcuts::Status::Unsupported << QByteArray("wl-0")
                                  << "This desktop does not offer global shortcuts. In the "
                                     "desktop's keyboard settings, bind a key to the command: "
                                     "torvane --toggle";
    }
    void dialogSaysWhyAGlobalShortcutIsSilent()
    {
        QFETCH(GlobalShortcuts::Status, status);
        QFETCH(QByteArray, wayland);
        qputenv("WAYLAND_DISPLAY", wayland);
        FixedShortcuts shortcuts(status);
        HotkeyDialog dialog(nullptr, manager_.get());
        qunsetenv("WAYLAND_DISPLAY");
        QTEST(dialog.findChild<QLabel*>("labelGlobalStatus0")->text(), "line");
    }

    void shortcutsRunTheirActionWhileTheWindowIsActive()
    {
        QWidget window;
        window.resize(200, 100);
        auto* shortcuts = new HotkeyShortcuts(&window, manager_.get());
        QMap<int, int> runs;
        for (int id = 0; id < HotkeyManager::kHotkeyCount; ++id)
            shortcuts->setHandler(id, [&runs, id] { ++runs[id]; });
        shortcuts->registerHotkeys();
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        testsupport::LogCapture log;
        for (const HotkeyRecord& record : manager_->hotkeys()) {
            const QKeyCombination keys = QKeySequence(record.hotkey)[0];
            QTest::keyClick(&window, keys.key(), keys.keyboardModifiers());
        }
        QCOMPARE(runs.keys(1).size(), HotkeyManager::kHotkeyCount);
        QVERIFY(log.take().contains("Hotkey: Help triggered"));

        // Off, moved, and rebuilt twice before any deferred delete runs: no stale shortcut left.
        manager_->setHotkey({false, HotkeyManager::ScheduleDialog, "Ctrl+S"});
        manager_->setHotkey({true, HotkeyManager::Help, "F5"});
        for (auto [key, modifiers] :
             {std::pair{Qt::Key_S, Qt::ControlModifier}, std::pair{Qt::Key_F1, Qt::NoModifier},
              std::pair{Qt::Key_F5, Qt::NoModifier}})
            QTest::keyClick(&window, key, modifiers);
        QCOMPARE(runs.value(HotkeyManager::ScheduleDialog), 1);
        QCOMPARE(runs.value(HotkeyManager::Help), 2);

        // Not while hidden, as in background mode.
        window.hide();
        QTest::keyClick(&window, Qt::Key_F5);
        QCOMPARE(runs.value(HotkeyManager::Help), 2);
    }
};

QTEST_MAIN(tst_Hotkeys)
#include "tst_Hotkeys.moc"
