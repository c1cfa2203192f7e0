// Schedules made in the editor as the store keeps them and the list shows them, what the editor
// refuses, its macro buttons, and the list's edit, enable switch and delete.
#include "macro/EventBus.h"
#include "macro/MacroActionSelectSourceDialog.h"
#include "macro/MacroBoxes.h"
#include "macro/MacroStore.h"
#include "macro/NewMacroDialog.h"
#include "platform/systemd/WindowsTaskScheduler.h"
#include "schedule/NewScheduleDialog.h"
#include "schedule/ScheduleListDialog.h"
#include "schedule/ScheduleRunner.h"
#include "schedule/ScheduleStore.h"
#include "support/TestSupport.h"
#include "widgets/AreaSelector.h"
#include "widgets/SourceLists.h"
#include "ui/DarkTheme.h"

#include <QSignalSpy>
#include <QtTest>
#include <QtWidgets>

namespace {

enum Source { Screen, Window, Rectangle, Macro };
const QStringList kRepeat = {"OneTime", "Daily", "Weekly"};
const AudioSourceListing kSound{true, {{"alsa_input.usb", "USB Mic"}}, {{"Firefox", "firefox"}}};

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
    macro.actions << MacroAction(MacroActionType::StartRecording, {});
    for (int wait : ms)
        macro.actions << MacroAction(MacroActionType::Wait, {{"duration_ms", wait}});
    macro.actions << MacroAction(MacroActionType::StopRecording, {});
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
    bool answer = true;
    static ScheduleStore& store() { return ScheduleStore::instance(); }

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        ScheduleStore::setTaskSchedulerFactory([] { return nullptr; });
        sourcelists::setAudioLister([] { return kSound; });
        macroboxes::setHandler(
            [this](QMessageBox::Icon, const QString& title, const QString& text) {
                warnings << title + ": " + text;
                return answer;
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
            << QStringList{"Schedule 1", "08:00", "01:30:00", "Weekly: Mon, Sun"};
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

    // Each refusal in turn, beside a stored one-time schedule "Talk" of 10:00-11:00; that
    // schedule edited in place is no overlap with itself.
    void refusals_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("repeat");
        QTest::addColumn<int>("tab"); // 2: the macro tab with a macro of no length
        QTest::addColumn<bool>("screen");
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<QDateTime>("end");
        QTest::addColumn<QString>("message");
        const QDateTime otherDay = at("2030-03-02T10:00");
        QTest::newRow("blank name") << "  " << 0 << 0 << true << otherDay << otherDay.addSecs(60)
                                    << "Schedule name cannot be empty. Please enter a name for "
                                       "your schedule.";
        QTest::newRow("end before start")
            << "A" << 0 << 0 << true << otherDay << otherDay.addSecs(-60)
            << "End time must be greater than start time for one-time schedules.";
        QTest::newRow("one time in the past")
            << "A" << 0 << 0 << true << at("2020-03-01T10:00") << at("2020-03-01T11:00")
            << "This one-time schedule has already ended, so it would never run. Please choose a "
               "time to come.";
        for (int repeat : {1, 2})
            QTest::addRow("%s ending at its start", qPrintable(kRepeat[repeat]))
                << "A" << repeat << 0 << true << otherDay << otherDay.addDays(1)
                << "End time must differ from start time for daily and weekly schedules.";
        QTest::newRow("daily macro of no length")
            << "A" << 1 << 2 << true << otherDay << otherDay.addSecs(60)
            << "The macro's waits add up to no time or to whole days, so a daily or weekly "
               "schedule would never end. Please change its waits.";
        QTest::newRow("overlap") << "A" << 0 << 0 << true << at("2030-03-01T10:30")
                                 << at("2030-03-01T11:30")
                                 << "This schedule overlaps with the schedule 'Talk'. Please "
                                    "choose different times or days.";
        QTest::newRow("stored one edited in place")
            << "A" << 0 << 0 << true << at("2030-03-01T10:00") << at("2030-03-01T11:00")
            << QString();
        QTest::newRow("macro tab without a macro")
            << "A" << 0 << 1 << true << otherDay << otherDay.addSecs(60)
            << "Please select a macro you want to execute at the scheduled time";
        QTest::newRow("neither screen nor sound")
            << "A" << 0 << 0 << false << otherDay << otherDay.addSecs(60)
            << "Please select screen or audio input to record at the scheduled time";
    }
    void refusals()
    {
        QFETCH(QString, name);
        QFETCH(int, repeat);
        QFETCH(int, tab);
        QFETCH(bool, screen);
        QFETCH(QDateTime, start);
        QFETCH(QDateTime, end);
        QFETCH(QString, message);
        ScheduleItem stored;
        stored.id = store().nextScheduleId();
        stored.name = "Talk";
        stored.oneTimeStart = at("2030-03-01T10:00");
        stored.oneTimeEnd = at("2030-03-01T11:00");
        store().addSchedule(stored);
        MacroItem instant = waits("Instant", {});
        instant.id = MacroStore::instance().nextMacroId();
        MacroStore::instance().addMacro(instant);
        NewScheduleDialog dialog;
        dialog.setEditMode(QTest::currentDataTag() == QByteArray("stored one edited in place"));
        dialog.setItem(stored);
        child<QLineEdit>(&dialog, "lineEditScheduleName")->setText(name);
        child<QRadioButton>(&dialog, "radioButtonRepeat" + kRepeat[repeat])->setChecked(true);
        child<QTabWidget>(&dialog, "tabWidget")->setCurrentIndex(std::min(tab, 1));
        auto* macros = child<QComboBox>(&dialog, "comboBoxMacroList");
        macros->setCurrentIndex(tab == 2 ? macros->findData(qulonglong(instant.id))
                                         : macros->count() - 1);
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

    // Schedules and macros offer every sound source. A choice stored by name, by an older
    // version's microphone description, or naming a program not playing now, is shown and kept.
    void storedAudioChoices_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("kept");
        const char* rows[][3] = {
            {"USB Mic", "USB Mic", "alsa_input.usb"}, // an older version's description
            {"alsa_input.usb", "USB Mic", "alsa_input.usb"},
            {"System Audio + alsa_input.usb", "System Audio + USB Mic",
             "System Audio + alsa_input.usb"},
            {"Application: vlc", "Application: vlc", "Application: vlc"}};
        for (const auto& row : rows)
            QTest::newRow(row[0]) << QString(row[0]) << QString(row[1]) << QString(row[2]);
    }
    void storedAudioChoices()
    {
        QFETCH(QString, stored);
        ScheduleItem item;
        item.audioEnabled = true;
        item.audioDeviceId = stored;
        NewScheduleDialog schedule;
        schedule.setEditMode(true);
        schedule.setItem(item);
        MacroAction action;
        action.parameters = {{"recordAudioInput", true}, {"AudioInputDeviceId", stored}};
        MacroActionSelectSourceDialog macro;
        macro.setItem(action);
        for (QObject* dialog : {(QObject*)&schedule, (QObject*)&macro}) {
            auto* list = child<QComboBox>(dialog, "comboBoxAudioInput");
            QStringList entries;
            for (int i = 0; i < 4; ++i)
                entries << list->itemText(i) + "=" + list->itemData(i).toString();
            QCOMPARE(entries, QStringList({"USB Mic=alsa_input.usb", "System Audio=System Audio",
                                           "System Audio + USB Mic=System Audio + alsa_input.usb",
                                           "Application: Firefox=Application: Firefox"}));
            QTEST(list->currentText(), "shown");
            QTEST(list->currentData().toString(), "kept");
        }
        macro.acceptDialog();
        QTEST(macro.item().parameters.value("AudioInputDeviceId").toString(), "kept");
        QTEST(NewMacroDialog::sourceSummary(macro.item().parameters, kSound), "shown");
    }

    // The list opens the editor on a stored schedule and keeps its id and times; the status
    // switch, plain to see when off, writes the file at once; an ended one-time schedule shows as
    // done; a finished scheduled run and Delete, once confirmed, rebuild the table.
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

        auto* status = table->indexWidget(model->index(0, 4))->findChild<QCheckBox*>();
        status->click();
        QVERIFY(!ScheduleStore(nullptr).schedules().first().enabled); // as the file says
        applyDarkTheme();
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        const QImage shot =
            list.grab(QRect(status->mapTo(&list, QPoint()), status->size())).toImage();
        int seen = 0; // pixels far from the dark background
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x)
                seen += std::abs(qGray(shot.pixel(x, y)) - qGray(0x181D3D)) > 100;
        QVERIFY(seen > 20);
        QCOMPARE(status->text(), "Off");
        QTest::mouseClick(status, Qt::LeftButton);
        QVERIFY(ScheduleStore(nullptr).schedules().first().enabled);

        ScheduleItem other = morning;
        other.id = store().nextScheduleId();
        other.repeatType = ScheduleRepeatType::OneTime;
        other.oneTimeStart = at("2020-01-01T10:00");
        other.oneTimeEnd = at("2020-01-01T11:00");
        store().addSchedule(other);
        emit ScheduleRunner::instance()->requestStop(other.id);
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->index(1, 4).data().toString(), "Done");
        answer = false;
        button(0, 1)->click();
        answer = true;
        button(0, 1)->click();
        QCOMPARE(warnings, QStringList(2, "Delete Schedule: Are you sure you want to delete the "
                                          "schedule 'Evening'?\n\nThis action cannot be undone."));
        QCOMPARE(store().schedules(), QList<ScheduleItem>{other});
        QCOMPARE(model->rowCount(), 1);
    }
};

QTEST_MAIN(tst_ScheduleDialogs)
#include "tst_ScheduleDialogs.moc"
