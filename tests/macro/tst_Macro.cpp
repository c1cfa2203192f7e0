// The macro file as users and other tools write it, the executor's order of requests on a fake
// clock, and making, editing and deleting a macro in the dialogs.
#include "macro/EventBus.h"
#include "macro/MacroActionSelectSourceDialog.h"
#include "macro/MacroBoxes.h"
#include "macro/MacroExecutor.h"
#include "macro/MacroListDialog.h"
#include "macro/MacroStore.h"
#include "macro/NewMacroDialog.h"
#include "support/TestSupport.h"
#include "widgets/AreaSelector.h"

#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QtTest>
#include <QtWidgets>

#include <map>

using testsupport::json;

namespace {

// Timers on a clock that moves only when the test says so.
struct FakeClock
{
    qint64 now = 0;
    std::multimap<qint64, std::function<void()>> due;
    qint64 waitEnd = -1;

    MacroExecutor::Timers timers()
    {
        return {[this](int ms) { waitEnd = now + ms; }, [this] { waitEnd = -1; },
                [this](int ms, std::function<void()> step) { due.emplace(now + ms, step); }};
    }
    // Runs everything due up to now + ms, in time order.
    void advance(qint64 ms)
    {
        const qint64 end = now + ms;
        for (;;) {
            const qint64 next = std::min(due.empty() ? end + 1 : due.begin()->first,
                                         waitEnd < 0 ? end + 1 : waitEnd);
            if (next > end)
                break;
            now = next;
            if (waitEnd == next) {
                waitEnd = -1;
                MacroExecutor::instance()->onWaitTimerFinished();
            } else {
                auto step = due.begin()->second;
                due.erase(due.begin());
                step();
            }
        }
        now = end;
    }
};

MacroAction act(MacroActionType type, int waitMs = -1)
{
    return MacroAction(type, waitMs < 0 ? QVariantMap{} : QVariantMap{{"duration_ms", waitMs}});
}

MacroItem macro(std::uint64_t id, const QString& name, QList<MacroAction> actions, int repeat = 1)
{
    MacroItem item;
    item.id = id;
    item.name = name;
    item.actions = std::move(actions);
    item.repeatCount = repeat;
    return item;
}

} // namespace

class tst_Macro : public QObject
{
    Q_OBJECT

    QString path() const { return MacroStore::instance().filePath(); }
    void write(const QByteArray& text) { QVERIFY(testsupport::writeFile(path(), text)); }

private Q_SLOTS:
    void initTestCase() { testsupport::isolateUserFolders(); }

    // A hand-written file (a bare array too) reads back as the editor would have made it, and
    // is written again in the one format; ids keep counting past removed files.
    void fileFormat()
    {
        write(json("[{'id': 7, 'name': 'Demo', 'repeatCount': 3, 'actions': ["
                   "{'type': ' WAIT ', 'parameters': {'duration_ms': 1500}},"
                   "{'type': 'teleport', 'parameters': {'duration_ms': 2500}},"
                   "{'type': 'select_source', 'parameters': {'recordScreen': true,"
                   "'areaCaptureMode': 0, 'screenIndex': 1, 'AudioInputDeviceId': 'System Audio'}},"
                   "'not an action']}, 42]"));
        MacroStore& store = MacroStore::instance();
        QVERIFY(store.load());
        QCOMPARE(store.macros().size(), 1);
        QCOMPARE(store.macros().first().macroDuration(), 12000);
        QCOMPARE(MacroItem{}.repeatable, true); // false above: missing in the file
        QCOMPARE(macro(0, "No actions", {}).validationErrors(),
                 QStringList{"Actions are not empty"});

        QVERIFY(store.save());
        QCOMPARE(QJsonDocument::fromJson(testsupport::readFile(path())),
                 QJsonDocument::fromJson(json(
                     "{'macros': [{'id': 7, 'name': 'Demo', 'description': '', 'enabled': true,"
                     "'repeatCount': 3, 'repeatable': false, 'actions': ["
                     "{'type': 'wait', 'name': '', 'description': '', 'enabled': true,"
                     "'parameters': {'duration_ms': 1500}},"
                     "{'type': 'teleport', 'name': '', 'description': '', 'enabled': true,"
                     "'parameters': {'duration_ms': 2500}},"
                     "{'type': 'select_source', 'name': '', 'description': '', 'enabled': true,"
                     "'parameters': {'recordScreen': true, 'areaCaptureMode': 0,"
                     "'screenIndex': 1, 'AudioInputDeviceId': 'System Audio'}}]}]}")));

        const std::uint64_t id = store.nextMacroId();
        QFile::remove(path());
        QVERIFY(store.load());
        QCOMPARE(store.nextMacroId(), id + 1);
    }

    // A file that is not JSON is kept aside before anything else is written; the list says so
    // once.
    void brokenFileIsKept()
    {
        const QByteArray text = json("{'macros': [{'name': 'half a");
        write(text);
        MacroStore& store = MacroStore::instance();
        QVERIFY(!store.load());
        QVERIFY(!QFile::exists(path()));
        QCOMPARE(testsupport::readFile(path() + ".broken"), text);
        QStringList boxes;
        macroboxes::setHandler([&](auto, auto, const QString& box) {
            boxes << box;
            return true;
        });
        for (int open = 0; open < 2; ++open) {
            MacroListDialog list;
            QCoreApplication::processEvents();
        }
        macroboxes::setHandler({});
        QCOMPARE(boxes, QStringList{"macro.json could not be read, so the list started empty. "
                                    "The file was kept as " +
                                    path() + ".broken."});
        store.addMacro(macro(9, "New", {act(MacroActionType::Wait)}));
        QVERIFY(store.load());
        QCOMPARE(store.macros().last().name, "New");
    }

    // A hand-edited macro whose steps cannot record is told by its first wrong step.
    void stepErrors_data()
    {
        QTest::addColumn<QString>("steps"); // "start_" is start_recording...; "wait=<JSON>"
        QTest::addColumn<int>("repeat");
        QTest::addColumn<QString>("error"); // how it begins
        QTest::newRow("records") << "start_ wait=1 pause_ wait resume_ stop_" << 3 << "";
        QTest::newRow("wait as text") << "start_ wait=\"3s\"" << 1 << "Step 2 (Wait): \"3s\" is";
        QTest::newRow("negative wait") << "start_ wait=-5000" << 1 << "Step 2 (Wait): \"-5000\" is";
        QTest::newRow("unknown") << "start_ teleport" << 1 << "Step 2: \"teleport\" is not a kind";
        QTest::newRow("only stop") << "stop_" << 1 << "Step 1 (Stop Recording): no recording is";
        QTest::newRow("no start") << "wait=100" << 1 << "No step starts a recording, so the";
        QTest::newRow("starts again") << "start_ wait" << 2 << "Step 1 (Start Recording): a record";
        QTest::newRow("paused twice") << "start_ pause_ pause_" << 1 << "Step 3 (Pause Recording)";
        QTest::newRow("resumed") << "start_ resume_" << 1 << "Step 2 (Resume Recording): the";
    }
    void stepErrors()
    {
        QFETCH(QString, steps);
        QFETCH(int, repeat);
        QFETCH(QString, error);
        QStringList actions;
        for (const QString& step : steps.split(' '))
            actions << QString("{'type': '%1', 'parameters': {%2}}")
                           .arg(step.section('=', 0, 0) + (step.endsWith('_') ? "recording" : ""),
                                step.contains('=') ? "'duration_ms': " + step.section('=', 1) : "");
        write(json(qPrintable(QString("[{'name': 'M', 'repeatCount': %1, 'actions': [%2]}]")
                                  .arg(repeat)
                                  .arg(actions.join(',')))));
        QVERIFY(MacroStore::instance().load());
        const QString said = MacroStore::instance().macros().first().stepError();
        QVERIFY2(error.isEmpty() ? said.isEmpty() : said.startsWith(error), qPrintable(said));
    }

    // Requests come in order with their waits, the list runs repeatCount times, and a stop
    // during a wait ends it without a finish.
    void executorSequence()
    {
        FakeClock clock;
        MacroExecutor* executor = MacroExecutor::instance();
        executor->setTimers(clock.timers());
        QStringList events;
        QList<QMetaObject::Connection> links;
        const auto log = [&](auto signal, const char* name) {
            links << connect(executor, signal, this, [&events, &clock, name] {
                events << QString("%1@%2").arg(name).arg(clock.now);
            });
        };
        log(&MacroExecutor::requestStartRecording, "start");
        log(&MacroExecutor::requestPauseRecording, "pause");
        log(&MacroExecutor::requestResumeRecording, "resume");
        log(&MacroExecutor::requestStopRecording, "stop");
        log(&MacroExecutor::requestExecutionStopped, "stopped");
        QSignalSpy finished(executor, &MacroExecutor::requestExecutionFinished);

        MacroItem item =
            macro(1, "Pause in the middle",
                  {act(MacroActionType::StartRecording), act(MacroActionType::Wait, 2000),
                   act(MacroActionType::PauseRecording), act(MacroActionType::Wait, 1000),
                   act(MacroActionType::ResumeRecording), act(MacroActionType::Wait),
                   act(MacroActionType::StopRecording)},
                  2);
        QVERIFY(executor->startExecution(item));
        QVERIFY(!executor->startExecution(item)); // one at a time
        clock.advance(100000);
        QCOMPARE(events, (QStringList{"start@0", "pause@2600", "resume@3700", "stop@4800",
                                      "start@4900", "pause@7500", "resume@8600", "stop@9700"}));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toBool(), true);
        QVERIFY(!executor->isExecuting());

        // A repeat count in the billions stops like any other; an unnamed macro never starts.
        events.clear();
        item.repeatCount = 2000000000;
        QVERIFY(executor->startExecution(item));
        clock.advance(1000);
        executor->stopExecution();
        clock.advance(100000);
        QCOMPARE(events, (QStringList{"start@100000", "stopped@101000"}));
        QCOMPARE(finished.size(), 1);
        QVERIFY(!executor->startExecution(macro(2, {}, item.actions)));
        for (const auto& link : links)
            disconnect(link);
    }

    // Each kind of source as the source dialog writes it and the action table sums it up.
    void selectSource_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("sound");
        QTest::addColumn<QString>("summary");
        QTest::newRow("screen with system sound") << 0 << true << "Screen 1, System Audio";
        QTest::newRow("picked window, no sound") << 1 << false << "window - xterm";
        QTest::newRow("dragged area") << 2 << false << "X:10, Y:20, 300 X 200";
        QTest::newRow("nothing") << -1 << false << "No source selected";
    }
    void selectSource()
    {
        QFETCH(int, type);
        QFETCH(bool, sound);
        MacroActionSelectSourceDialog dialog;
        dialog.setWindowPicker([](QWidget*, WindowIdentity* picked) {
            *picked = {4242, "XTerm", "xterm"};
            return true;
        });
        dialog.findChild<QCheckBox*>("checkBoxScreen")->setChecked(type >= 0);
        dialog.findChild<QCheckBox*>("checkBoxAudioInput")->setChecked(sound);
        if (type >= 0) {
            dialog.findChild<QComboBox*>("comboBoxScreenType")->setCurrentIndex(type);
            dialog.handleComboBoxScreenTypeActivated(type);
        }
        if (type == 2)
            emit dialog.findChild<AreaSelector*>()->areaSelected(QRect(10, 20, 300, 200));
        dialog.acceptDialog();
        QCOMPARE(dialog.windowTitle(), "Select Source");
        const QVariantMap p = dialog.item().parameters;
        QTEST(NewMacroDialog::sourceSummary(p), "summary");
        if (type == 1)
            QCOMPARE(p.value("selectedWindow_pid").toUInt(), 4242u);
        // Opened again on its own parameters, it writes the same.
        MacroActionSelectSourceDialog again;
        again.setItem(dialog.item());
        again.acceptDialog();
        QCOMPARE(again.item().parameters, p);
    }

    // A macro made, edited, run and deleted through the dialogs lands in the store each time;
    // the macro dialog refuses what cannot run.
    void dialogs()
    {
        QStringList boxes;
        bool answer = false;
        macroboxes::setHandler([&](QMessageBox::Icon, const QString&, const QString& text) {
            boxes << text;
            return answer;
        });
        NewMacroDialog editor;
        editor.acceptDialog();
        editor.findChild<QLineEdit*>("lineEditMacroName")->setText("Demo");
        editor.acceptDialog();
        for (int n = 0; n < 3; ++n)
            editor.addAction();
        // The wait field takes whole milliseconds only.
        const auto* table = editor.findChild<QTableView*>("tableView");
        for (auto [row, text] : {std::pair(1, "2s5.00"), std::pair(2, "soon")}) {
            auto* field = table->indexWidget(table->model()->index(row, 2))->findChild<QSpinBox*>();
            field->selectAll();
            QTest::keyClicks(field, text);
        }
        editor.onTypeChanged(2, int(MacroActionType::StopRecording));
        editor.findChild<QLineEdit*>("lineEditMacroDescription")->setText("Short one");
        editor.acceptDialog();
        editor.onTypeChanged(0, int(MacroActionType::StartRecording));
        editor.acceptDialog();
        QCOMPARE(boxes, (QStringList{"Name is required", "Create actions",
                                     "Step 3 (Stop Recording): no recording is running at that "
                                     "point."}));
        QCOMPARE(editor.result(), int(QDialog::Accepted));
        const MacroItem made = editor.item();
        QCOMPARE(made.macroDuration(), 2500);
        QCOMPARE(made.actions.at(2).parameters.value("duration_ms").toInt(), 1000); // kept, unused

        QFile::remove(MacroStore::instance().filePath());
        QVERIFY(MacroStore::instance().load());
        MacroListDialog list;
        std::optional<MacroItem> next = made;
        list.setEditor([&](QWidget*, const MacroItem*) { return next; });
        list.findChild<QPushButton*>("pushButton")->click();
        const auto* model = list.findChild<QTableView*>("tableView")->model();
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->index(0, 1).data().toString(), "00:00:02");
        QCOMPARE(model->index(0, 3).data().toString(), "Short one");

        const auto button = [&](const QString& text) {
            for (auto* b : list.findChildren<QPushButton*>())
                if (b->text() == text)
                    return b;
            return static_cast<QPushButton*>(nullptr);
        };
        QSignalSpy started(EventBus::instance(), &EventBus::requestStartMacroExecutionToMainWindow);
        button("Execute")->click();
        QCOMPARE(started.size(), 1);
        next->name = "Renamed";
        next->id = MacroStore::instance().macros().first().id;
        button("Edit")->click();
        QTRY_COMPARE(model->index(0, 0).data().toString(), "Renamed");
        button("Delete")->click(); // declined
        QCOMPARE(MacroStore::instance().macros().size(), 1);
        answer = true;
        button("Delete")->click();
        QVERIFY(MacroStore::instance().macros().isEmpty());
        QTRY_COMPARE(model->rowCount(), 0);
        macroboxes::setHandler({});
    }
};

QTEST_MAIN(tst_Macro)
#include "tst_Macro.moc"
