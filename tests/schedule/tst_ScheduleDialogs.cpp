// Schedules made in the editor as the store keeps them and the list shows them, what the editor
// refuses, its macro buttons, and the list's edit, enable switch and delete.
#include "macro/EventBus.h"
#include "macro/MacroBoxes.h"
#include "macro/MacroStore.h"
#include "macro/NewMacroDialog.h"
#include "platform/systemd/WindowsTaskScheduler.h"
#include "schedule/NewScheduleDialog.h"
#include "schedule/ScheduleListDialog.h"
#include "schedule/ScheduleRunner.h"
#include "schedule/ScheduleStore.h"
#include "support/TestSupport.h"
#include "ui/AreaSelector.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>
#include <QtWidgets>

namespace {

enum Source { Screen, Window, Rectangle, Macro };
const QStringList kRepeat = {"OneTime", "Daily", "Weekly"};

QDateTime at(const char* text)
{
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate);
}

template <typename T> T* child(QObject* parent, const QString& name)
{
    return parent->findChild<T*>(name);
}

// What a user types into the time fields; the end is left alone when it is null.
void setTimes(NewScheduleDialog* dialog, const QDateTime& start, const QDateTime& end)
{
    child<QDateEdit>(dialog, "dateEditStartTime")->setDate(start.date());
    child<QTimeEdit>(dialog, "timeEditStartTime")->setTime(start.time());
    if (end.isNull())
        return;
    child<QDateEdit>(dialog, "dateEditEndTime")->setDate(end.date());
    child<QTimeEdit>(dialog, "timeEditEndTime")->setTime(end.time());
}

MacroItem waits(const QString& name, QList<int> ms)
{
    MacroItem macro;
    macro.name = name;
    for (int wait : ms)
        macro.actions << MacroAction(MacroActionType::Wait, {{"duration_ms", wait}});
    return macro;
}

// Gives the macro dialog a macro and presses OK.
NewScheduleDialog::MacroDialogRunner macroDialogGiving(const MacroItem& macro)
{
    return [macro](NewMacroDialog* dialog) {
        MacroItem edited = macro;
        edited.id = dialog->item().id;
        dialog->setItem(edited);
        dialog->acceptDialog();
        return dialog->result() == QDialog::Accepted;
    };
}

} // namespace

class tst_ScheduleDialogs : public QObject
{
    Q_OBJECT

    QStringList warnings;
    static ScheduleStore& store() { return ScheduleStore::instance(); }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        ScheduleStore::setTaskSchedulerFactory([] { return nullptr; });
        macroboxes::setHandler(
            [this](QMessageBox::Icon, const QString& title, const QString& text) {
                warnings << title + ": " + text;
                return true;
            });
    }
    void init()
    {
        warnings.clear();
        for (const ScheduleItem& item : store().schedules())
            store().deleteSchedule(item.id);
    }

    // Each kind of schedule made through the list's Add button, as the store keeps it and the
    // table shows it.
    void create_data()
    {
        QTest::addColumn<int>("repeat");
        QTest::addColumn<int>("source");
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<QDateTime>("end");
        QTest::addColumn<QList<int>>("days");
        QTest::addColumn<QTime>("duration");
        QTest::addColumn<QStringList>("cells");
        QTest::newRow("once, screen and system sound, 25 hours")
            << 0 << int(Screen) << at("2030-01-01T10:00") << at("2030-01-02T11:00") << QList<int>{}
            << QTime() << QStringList{"Schedule 1", "2030-01-01 10:00", "01:00:00", "One-time"};
        QTest::newRow("daily window past midnight, by duration")
            << 1 << int(Window) << at("2030-01-01T23:00") << at("2030-01-02T01:00") << QList<int>{}
            << QTime(2, 0) << QStringList{"Schedule 1", "23:00", "02:00:00", "Daily"};
        QTest::newRow("weekly rectangle on Sunday and Monday")
            << 2 << int(Rectangle) << at("2030-01-01T08:00") << at("2030-01-01T09:30")
            << QList<int>{1, 7} << QTime()
            << QStringList{"Schedule 1", "08:00", "01:30:00", "Weekly"};
        QTest::newRow("once, a new macro, end field before the start")
            << 0 << int(Macro) << at("2030-02-01T12:00") << at("2030-01-31T12:30") << QList<int>{}
            << QTime() << QStringList{"Schedule 1", "2030-02-01 12:00", "00:01:30", "One-time"};
    }
    void create()
    {
        QFETCH(int, repeat);
        QFETCH(int, source);
        QFETCH(QDateTime, start);
        QFETCH(QDateTime, end);
        QFETCH(QList<int>, days);
        QFETCH(QTime, duration);
        ScheduleListDialog list;
        list.setEditorRunner([&](NewScheduleDialog* dialog) {
            dialog->setWindowPicker([](QWidget*, WindowIdentity* picked) {
                *picked = {4242, "XTerm", "xterm"};
                return true;
            });
            dialog->setMacroDialogRunner(macroDialogGiving(waits("Tour", {60000, 30000})));
            child<QRadioButton>(dialog, "radioButtonRepeat" + kRepeat[repeat])->setChecked(true);
            setTimes(dialog, start, duration.isValid() ? QDateTime() : end);
            for (int day : days)
                child<QCheckBox>(dialog, "checkBoxRepeat" + QLocale::c().dayName(day))
                    ->setChecked(true);
            if (duration.isValid()) {
                child<QCheckBox>(dialog, "checkBoxRecordingDuration")->setChecked(true);
                child<QTimeEdit>(dialog, "timeEditRecordingDuration")->setTime(duration);
            }
            if (source == Macro) {
                child<QTabWidget>(dialog, "tabWidget")->setCurrentIndex(1);
                auto* macros = child<QComboBox>(dialog, "comboBoxMacroList");
                macros->setCurrentIndex(macros->count() - 1);
                dialog->handleComboBoxMacroListActivated(macros->count() - 1);
            } else {
                child<QComboBox>(dialog, "comboBoxScreenType")->setCurrentIndex(source);
                dialog->handleComboBoxScreenTypeActivated(source);
                child<QCheckBox>(dialog, "checkBoxAudioInput")->setChecked(source == Screen);
                auto* audio = child<QComboBox>(dialog, "comboBoxAudioInput");
                audio->setCurrentIndex(audio->findData("System Audio"));
            }
            if (source == Rectangle)
                emit dialog->findChild<AreaSelector*>()->areaSelected(QRect(10, 20, 300, 200));
            dialog->acceptDialog();
            return dialog->result() == QDialog::Accepted;
        });
        list.addNewSchedule();
        QCOMPARE(warnings, QStringList{});
        QCOMPARE(store().schedules().size(), 1);
        const ScheduleItem s = store().schedules().first();
        QCOMPARE(int(s.repeatType), repeat);
        QCOMPARE(s.macroExecution, source == Macro);
        if (repeat == 0) {
            QCOMPARE(s.oneTimeStart, start);
            QCOMPARE(s.oneTimeEnd, source == Macro ? start.addSecs(90) : end);
        } else {
            QCOMPARE(s.startTime, start.time());
            QCOMPARE(s.endTime, end.time());
            QCOMPARE(s.daysOfWeek, days);
        }
        QCOMPARE(s.macroItemId, source == Macro ? MacroStore::instance().macros().last().id : 0);
        QCOMPARE(int(s.screenType), source == Macro ? 0 : source);
        QCOMPARE(s.audioEnabled, source == Screen);
        QCOMPARE(s.audioDeviceId, source == Macro ? "default" : "System Audio");
        QCOMPARE(s.windowClassName + s.windowExeName, source == Window ? "XTermxterm" : "");
        QCOMPARE(s.region, source == Rectangle ? QRect(10, 20, 300, 200) : QRect());
        const QAbstractItemModel* model = child<QTableView>(&list, "tableView")->model();
        QStringList cells;
        for (int column = 0; column < 4; ++column)
            cells << model->index(0, column).data().toString();
        QTEST(cells, "cells");
    }

    // Each refusal in turn, beside a stored one-time schedule of 10:00-11:00; that schedule
    // edited in place is no overlap with itself.
    void refusals_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("tab");
        QTest::addColumn<bool>("screen");
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<QDateTime>("end");
        QTest::addColumn<QString>("message");
        const QDateTime otherDay = at("2030-03-02T10:00");
        QTest::newRow("blank name") << "  " << 0 << true << otherDay << otherDay.addSecs(60)
                                    << "Schedule name cannot be empty. Please enter a name for "
                                       "your schedule.";
        QTest::newRow("end before start")
            << "A" << 0 << true << otherDay << otherDay.addSecs(-60)
            << "End time must be greater than start time for one-time schedules.";
        QTest::newRow("overlap") << "A" << 0 << true << at("2030-03-01T10:30")
                                 << at("2030-03-01T11:30")
                                 << "This schedule overlaps with an existing schedule. Please "
                                    "choose different times or days.";
        QTest::newRow("stored one edited in place")
            << "A" << 0 << true << at("2030-03-01T10:00") << at("2030-03-01T11:00") << QString();
        QTest::newRow("macro tab without a macro")
            << "A" << 1 << true << otherDay << otherDay.addSecs(60)
            << "Please select a macro you want to execute at the scheduled time";
        QTest::newRow("neither screen nor sound")
            << "A" << 0 << false << otherDay << otherDay.addSecs(60)
            << "Please select screen or audio input to record at the scheduled time";
    }
    void refusals()
    {
        QFETCH(QString, name);
        QFETCH(int, tab);
        QFETCH(bool, screen);
        QFETCH(QDateTime, start);
        QFETCH(QDateTime, end);
        QFETCH(QString, message);
        ScheduleItem stored;
        stored.id = store().nextScheduleId();
        stored.oneTimeStart = at("2030-03-01T10:00");
        stored.oneTimeEnd = at("2030-03-01T11:00");
        store().addSchedule(stored);
        NewScheduleDialog dialog;
        dialog.setEditMode(QTest::currentDataTag() == QByteArray("stored one edited in place"));
        dialog.setItem(stored);
        child<QLineEdit>(&dialog, "lineEditScheduleName")->setText(name);
        child<QTabWidget>(&dialog, "tabWidget")->setCurrentIndex(tab);
        auto* macros = child<QComboBox>(&dialog, "comboBoxMacroList");
        macros->setCurrentIndex(macros->count() - 1);
        child<QCheckBox>(&dialog, "checkBoxScreen")->setChecked(screen);
        child<QCheckBox>(&dialog, "checkBoxAudioInput")->setChecked(false);
        setTimes(&dialog, start, end);
        dialog.acceptDialog();
        QCOMPARE(warnings,
                 message.isEmpty() ? QStringList{} : QStringList{"Validation Error: " + message});
        QCOMPARE(dialog.result() == QDialog::Accepted, message.isEmpty());
    }

    // The editor's macro side: a cancelled new macro leaves no choice, Settings edits the
    // chosen macro in the store, Execute hands it to the main window.
    void macroButtons()
    {
        MacroItem clip = waits("Clip", {5000});
        clip.id = MacroStore::instance().nextMacroId();
        MacroStore::instance().addMacro(clip);
        NewScheduleDialog dialog;
        auto* macros = child<QComboBox>(&dialog, "comboBoxMacroList");
        auto* duration = child<QLabel>(&dialog, "labelMacroDuration");
        dialog.setMacroDialogRunner([](NewMacroDialog*) { return false; });
        dialog.handleComboBoxMacroListActivated(macros->count() - 1);
        QCOMPARE(macros->currentIndex(), -1);
        QCOMPARE(duration->text(), "00:00:00");

        macros->setCurrentIndex(macros->findData(qulonglong(clip.id)));
        dialog.handleComboBoxMacroListActivated(macros->currentIndex());
        QCOMPARE(duration->text(), "00:00:05");
        dialog.setMacroDialogRunner(macroDialogGiving(waits("Clip", {65000})));
        child<QPushButton>(&dialog, "pushButtonMacroSettings")->click();
        QCOMPARE(duration->text(), "00:01:05");
        QCOMPARE(MacroStore::instance().macros().last().macroDuration(), 65000);

        QSignalSpy started(EventBus::instance(), &EventBus::requestStartMacroExecutionToMainWindow);
        child<QPushButton>(&dialog, "pushButtonMacroExecute")->click();
        QCOMPARE(started.size(), 1);
        QCOMPARE(started.first().first().value<MacroItem>().id, clip.id);
    }

    // The list opens the editor on a stored schedule and keeps its id and times; the status box
    // writes the file at once; a finished scheduled run and Delete rebuild the table.
    void listEditsSwitchesDeletes()
    {
        ScheduleItem morning;
        morning.id = store().nextScheduleId();
        morning.name = "Morning";
        morning.repeatType = ScheduleRepeatType::Daily;
        morning.startTime = QTime(9, 0);
        morning.endTime = QTime(10, 0);
        morning.updatedAt = at("2029-01-01T00:00");
        morning.audioDeviceId = "System Audio";
        store().addSchedule(morning);
        ScheduleListDialog list;
        const QAbstractItemModel* model = child<QTableView>(&list, "tableView")->model();
        auto* table = child<QTableView>(&list, "tableView");
        const auto button = [&](int row, int which) {
            return table->indexWidget(model->index(row, 5))->findChildren<QPushButton*>().at(which);
        };
        NewScheduleDialog fresh;
        QCOMPARE(child<QLineEdit>(&fresh, "lineEditScheduleName")->text(),
                 QString("Schedule %1").arg(morning.id + 1));

        QString opened;
        list.setEditorRunner([&opened](NewScheduleDialog* dialog) {
            auto* name = child<QLineEdit>(dialog, "lineEditScheduleName");
            opened = name->text();
            name->setText("Evening");
            dialog->acceptDialog();
            return dialog->result() == QDialog::Accepted;
        });
        button(0, 0)->click();
        QCOMPARE(opened, "Morning");
        ScheduleItem evening = morning;
        evening.name = "Evening";
        QCOMPARE(store().schedules(), QList<ScheduleItem>{evening});

        table->indexWidget(model->index(0, 4))->findChild<QCheckBox*>()->click();
        QFile file(store().filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonArray written = QJsonDocument::fromJson(file.readAll())["schedules"].toArray();
        QCOMPARE(written.at(0)["enabled"].toBool(true), false);

        ScheduleItem other = morning;
        other.id = store().nextScheduleId();
        store().addSchedule(other);
        emit ScheduleRunner::instance()->requestStop(other.id);
        QCOMPARE(model->rowCount(), 2);
        button(0, 1)->click();
        QCOMPARE(store().schedules(), QList<ScheduleItem>{other});
        QCOMPARE(model->rowCount(), 1);
    }
};

QTEST_MAIN(tst_ScheduleDialogs)
#include "tst_ScheduleDialogs.moc"
