#include "hotkeys/HotkeyDialog.h"
#include "hotkeys/HotkeyLineEdit.h"
#include "hotkeys/HotkeyManager.h"
#include "hotkeys/HotkeyShortcuts.h"

#include <QCheckBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const char* const kRowNames[] = {
    "StartStopRecording", "AreaSelect", "OpenRecordFolder", "SettingsDialog", "Information",
    "CheckUpdate",        "Help",       "BackgroundMode",   "ScheduleDialog", "MacroDialog",
    "HotkeyDialog",
};

QCheckBox* checkBox(QDialog& dialog, int id)
{
    return dialog.findChild<QCheckBox*>(QStringLiteral("checkBoxHotkey%1").arg(kRowNames[id]));
}

HotkeyLineEdit* lineEdit(QDialog& dialog, int id)
{
    return dialog.findChild<HotkeyLineEdit*>(QStringLiteral("lineEditHotkey%1").arg(kRowNames[id]));
}

// The records as saved in the file, or an empty list when there is none.
QList<HotkeyRecord> savedRecords(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<HotkeyRecord> records;
    const QJsonArray array =
        QJsonDocument::fromJson(file.readAll()).object().value("hotkeys").toArray();
    for (const QJsonValue& value : array) {
        const QJsonObject o = value.toObject();
        records.append({o.value("enabled").toBool(), o.value("hotkeyId").toInt(),
                        o.value("hotkey").toString()});
    }
    return records;
}

} // namespace

class tst_HotkeyDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void showsEveryHotkeyWithoutWritingAnything();
    void eachRowWritesThroughToItsOwnHotkey_data();
    void eachRowWritesThroughToItsOwnHotkey();
    void clearingScheduleRowDisablesEditAndRemovesShortcut();
    void modifierAloneSavesNothing();
    void followsChangesMadeElsewhere();
    void okAccepts();

private:
    QString path() const { return dir_->filePath("hotkeys.json"); }

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<HotkeyManager> manager_;
};

void tst_HotkeyDialog::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    manager_ = std::make_unique<HotkeyManager>(path());
}

void tst_HotkeyDialog::showsEveryHotkeyWithoutWritingAnything()
{
    manager_->updateHotkey({false, HotkeyManager::CheckUpdate, "Alt+U"});
    QSignalSpy updates(manager_.get(), &HotkeyManager::requestUpdate);
    HotkeyDialog dialog(nullptr, manager_.get());

    QCOMPARE(dialog.windowTitle(), QString("Hotkeys"));
    QCOMPARE(dialog.findChild<QPushButton*>("pushButtonOK")->text(), QString("OK"));
    const QList<HotkeyRecord> records = manager_->hotkeys();
    for (const HotkeyRecord& record : records) {
        QCheckBox* box = checkBox(dialog, record.hotkeyId);
        HotkeyLineEdit* edit = lineEdit(dialog, record.hotkeyId);
        QVERIFY(box && edit);
        QCOMPARE(box->isChecked(), record.enabled);
        QCOMPARE(edit->text(), record.hotkey);
        QCOMPARE(edit->isEnabled(), record.enabled);
    }
    QCOMPARE(checkBox(dialog, HotkeyManager::Information)->text(), QString("Information "));
    // Filling the rows must not feed back into the manager.
    QCOMPARE(updates.count(), 0);
    QVERIFY(!QFile::exists(path()));
}

void tst_HotkeyDialog::eachRowWritesThroughToItsOwnHotkey_data()
{
    QTest::addColumn<int>("hotkeyId");
    for (int id = 0; id < HotkeyManager::kHotkeyCount; ++id)
        QTest::newRow(kRowNames[id]) << id;
}

void tst_HotkeyDialog::eachRowWritesThroughToItsOwnHotkey()
{
    QFETCH(int, hotkeyId);
    HotkeyDialog dialog(nullptr, manager_.get());
    QList<HotkeyRecord> expected = HotkeyManager::defaultHotkeys();

    // Toggling saves the row's current text too.
    checkBox(dialog, hotkeyId)->setChecked(false);
    expected[hotkeyId].enabled = false;
    QCOMPARE(savedRecords(path()), expected);
    QVERIFY(!lineEdit(dialog, hotkeyId)->isEnabled());

    checkBox(dialog, hotkeyId)->setChecked(true);
    expected[hotkeyId].enabled = true;
    QCOMPARE(savedRecords(path()), expected);
    QVERIFY(lineEdit(dialog, hotkeyId)->isEnabled());

    // Recording a key saves the row's current check state too.
    QTest::keyClick(lineEdit(dialog, hotkeyId), Qt::Key_X, Qt::ControlModifier | Qt::ShiftModifier);
    expected[hotkeyId].hotkey = "Ctrl+Shift+X";
    QCOMPARE(savedRecords(path()), expected);
    QCOMPARE(manager_->hotkeys(), expected);
}

void tst_HotkeyDialog::clearingScheduleRowDisablesEditAndRemovesShortcut()
{
    QWidget mainWindow;
    auto* shortcuts = new HotkeyShortcuts(&mainWindow, manager_.get());
    shortcuts->registerHotkeys();
    QVERIFY(shortcuts->shortcuts().contains(HotkeyManager::ScheduleDialog));

    HotkeyDialog dialog(&mainWindow, manager_.get());
    checkBox(dialog, HotkeyManager::ScheduleDialog)->setChecked(false);

    QVERIFY(!lineEdit(dialog, HotkeyManager::ScheduleDialog)->isEnabled());
    QCOMPARE(savedRecords(path()).value(HotkeyManager::ScheduleDialog),
             (HotkeyRecord{false, HotkeyManager::ScheduleDialog, "Ctrl+S"}));
    QVERIFY(!shortcuts->shortcuts().contains(HotkeyManager::ScheduleDialog));
    QCOMPARE(shortcuts->shortcuts().size(), 10);
}

void tst_HotkeyDialog::modifierAloneSavesNothing()
{
    HotkeyDialog dialog(nullptr, manager_.get());
    QSignalSpy updates(manager_.get(), &HotkeyManager::requestUpdate);
    QTest::keyClick(lineEdit(dialog, HotkeyManager::Help), Qt::Key_Control, Qt::ControlModifier);
    QCOMPARE(updates.count(), 0);
    QVERIFY(!QFile::exists(path()));

    QTest::keyClick(lineEdit(dialog, HotkeyManager::Help), Qt::Key_F5);
    QCOMPARE(updates.count(), 1);
    QCOMPARE(manager_->hotkeys().at(HotkeyManager::Help).hotkey, QString("F5"));
}

void tst_HotkeyDialog::followsChangesMadeElsewhere()
{
    HotkeyDialog dialog(nullptr, manager_.get());
    QSignalSpy updates(manager_.get(), &HotkeyManager::requestUpdate);

    manager_->setHotkey({false, HotkeyManager::MacroDialog, "Alt+M"});

    QVERIFY(!checkBox(dialog, HotkeyManager::MacroDialog)->isChecked());
    QCOMPARE(lineEdit(dialog, HotkeyManager::MacroDialog)->text(), QString("Alt+M"));
    QVERIFY(!lineEdit(dialog, HotkeyManager::MacroDialog)->isEnabled());
    // The refill wrote nothing back: one save, one announcement.
    QCOMPARE(updates.count(), 1);
}

void tst_HotkeyDialog::okAccepts()
{
    HotkeyDialog dialog(nullptr, manager_.get());
    dialog.show();
    QTest::mouseClick(dialog.findChild<QPushButton*>("pushButtonOK"), Qt::LeftButton);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(tst_HotkeyDialog)
#include "tst_HotkeyDialog.moc"
