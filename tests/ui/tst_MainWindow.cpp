// The main window and its background bar on two fake offscreen screens, with the session's calls
// recorded instead of capturing: start checks, what the session is given, every trigger, the
// clock and its limit, preview and background mode.
#include "support/FakeDesktop.h"
#include "support/LogCapture.h"
#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "base/LanguageManager.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "capture/AudioChoice.h"
#include "recording/screen_capture_win.h"
#include "hotkeys/HotkeyDialog.h"
#include "macro/EventBus.h"
#include "macro/MacroExecutor.h"
#include "platform/dbus/DesktopNotifications.h"
#include "schedule/ScheduleStore.h"
#include "tabcapture/TabCaptureServerWin.h"
#include "widgets/AreaSelector.h"
#include "ui/BG_Mode_Window.h"
#include "ui/MainWindow.h"
#include "ui/RecordingSessionControl.h"
#include "update/AutoUpdater.h"
#include "widgets/AudioLevelMeter.h"
#include "widgets/SourceLists.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

using testsupport::FakeDesktop;

namespace {

const QRect firstScreen(0, 0, 1920, 1080);
const QRect secondScreen(1920, 0, 1280, 1024);
constexpr NativeWindow kPickedWindow = 42;

template <class T> T* child(QWidget& window, const char* name)
{
    return window.findChild<T*>(QLatin1String(name));
}

QComboBox* combo(MainWindow& window, const char* name)
{
    return child<QComboBox>(window, name);
}

void click(QWidget& window, const char* button)
{
    child<QToolButton>(window, button)->click();
}

void setSetting(const char* group, const char* key, const QVariant& value)
{
    SettingsStore::instance().setValue(group, key, value);
}

// What the window asked of its recording session, which captures nothing.
struct SessionCalls
{
    QString audio;
    QString path;
    RecordingTarget target;
    QRect captureArea;
    int started = 0;
    QList<bool> stops; // the quiet flag of each stop
    int pauses = 0;
    int resumes = 0;
    bool startRuns = true; // whether a start gets its threads going
    bool running = false;
    QList<bool> mutes;
    QList<bool> endBoxes;         // whether each start's end is told in the session's box
    std::function<void()> onStop; // what happens while the file is finished
};

class RecordedSession : public RecordingSessionControl
{
public:
    explicit RecordedSession(SessionCalls* calls) : c_(calls) {}
    void configure(const RecordingSettings&, const QString& audio, const QString& path,
                   QLabel*) override
    {
        c_->audio = audio;
        c_->path = path;
    }
    void setTarget(const RecordingTarget& target) override { c_->target = target; }
    void setCaptureArea(int x, int y, int w, int h) override { c_->captureArea = {x, y, w, h}; }
    void setStartTrigger(StartTrigger) override {}
    void setEndBoxShown(bool shown) override { c_->endBoxes.append(shown); }
    void start() override
    {
        ++c_->started;
        c_->running = c_->startRuns;
    }
    bool isRunning() const override { return c_->running; }
    void stop(bool quiet) override
    {
        c_->stops.append(quiet);
        c_->running = false;
        if (c_->onStop)
            c_->onStop();
    }
    void pause() override { ++c_->pauses; }
    void resume() override { ++c_->resumes; }
    void setMicrophoneMuted(bool muted) override { c_->mutes.append(muted); }

private:
    SessionCalls* c_;
};

// Notes each notification as "summary|body"; false: no notification service.
struct FakeNotifications : DesktopNotifications
{
    QStringList* shown;
    bool available;
    FakeNotifications(QStringList* list, bool on) : shown(list), available(on) {}
    bool notify(const QString& s, const QString& b, const QString&, std::function<void()>) override
    {
        return available && (shown->append(s + '|' + b), true);
    }
};

// Peaks the test sets; remembers what it was asked to measure.
struct FakeProbe : AudioLevelProbe
{
    static inline std::vector<AudioSourceChoice> watched;
    static inline std::vector<float> peaks;
    void watch(const std::vector<AudioSourceChoice>& sources) override { watched = sources; }
    std::vector<float> levels() const override { return peaks; }
};

// "recording" or "idle" when every sign of it the user sees agrees (labels, tray text, clock,
// tick timer, the controls locked while recording), else the signs that disagree.
QString state(MainWindow& window)
{
    const bool recording = window.isRecording();
    QStringList wrong;
    if ((child<QLabel>(window, "labelRecord")->text() == "STOP") != recording)
        wrong << "record label";
    if ((window.trayRecordAction()->text() == "Stop Recording") != recording)
        wrong << "tray action";
    if (child<QTimer>(window, "tickTimer")->isActive() != recording)
        wrong << "tick timer";
    if (!recording && window.clockText() != "00:00:00")
        wrong << "clock";
    for (const char* name : {"comboBoxCaptureType", "comboBoxScreenWindows", "comboBoxAudioDevice",
                             "toolButtonRefresh", "checkBoxRecordingDuration"})
        if (child<QWidget>(window, name)->isEnabled() == recording)
            wrong << name;
    if (window.tabCaptureServer()->screenRecordingActive() != recording) // "busy" to a browser tab
        wrong << "tab busy";
    return wrong.isEmpty() ? (recording ? "recording" : "idle") : wrong.join(", ");
}

// The recording's first picture: its start is no longer under way.
void firstPicture(MainWindow& window)
{
    emit window.recordingSession()->previewFrame(QImage(8, 8, QImage::Format_RGB32));
}

} // namespace

// Receives the addresses the window asks the desktop to open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls.append(url); }
};

class tst_MainWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    SessionCalls calls_;
    QStringList boxes_; // the title of each box the window showed
    QString boxText_;   // the last one's text
    FakeDesktop desktop_;
    bool pickerAccepts_ = true;
    bool trayAvailable_ = false;
    AudioSourceListing sound_;

    // The window picker, window list and tray answer what the test set.
    std::unique_ptr<MainWindow> makeWindow()
    {
        auto window = std::make_unique<MainWindow>();
        window->setSessionControl(std::make_unique<RecordedSession>(&calls_));
        window->setWindowSystem(std::make_unique<testsupport::FakeWindowSystem>(&desktop_));
        window->setBoxHandler([this](QMessageBox::Icon, const QString& title, const QString& text) {
            boxes_.append(title);
            boxText_ = text;
        });
        window->setWindowPicker([this](QWidget*, const QPoint&, QString* title, NativeWindow* id) {
            *title = desktop_.shown.value(0).title;
            *id = kPickedWindow;
            return pickerAccepts_;
        });
        window->setTrayAvailabilityCheck([this] { return trayAvailable_; });
        window->setLevelProbeFactory([] { return std::make_unique<FakeProbe>(); });
        window->recordingSession()->setBoxHandler([](const SessionBox&) { return true; });
        return window;
    }

private Q_SLOTS:
    void init()
    {
        setSetting(settings::kOutputGroup, settings::kRecordingPath, dir_.filePath("videos"));
        setSetting(settings::kUiGroup, settings::kEnablePreview, true);
        // A port of its own for the tab server, free whatever else runs on this machine.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        setSetting(settings::kTabCaptureGroup, settings::kWebSocketPort, probe.serverPort());
        probe.close();
        calls_ = SessionCalls();
        boxes_.clear();
        desktop_ = FakeDesktop();
        desktop_.shown = {{kPickedWindow, "My Game: Level 2"}};
        desktop_.pictures.insert(kPickedWindow, QImage(64, 48, QImage::Format_RGB32));
        desktop_.pictures[kPickedWindow].fill(Qt::darkGreen);
        pickerAccepts_ = true;
        trayAvailable_ = false;
        sound_ = {true, {{"alsa_input.usb", "USB Mic"}}, {{"Firefox", ""}}};
        sourcelists::setAudioLister([this] { return sound_; });
    }
    // An area selector left open would cover the next test's window.
    void cleanup()
    {
        LanguageManager::instance().setLanguage("en");
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (qobject_cast<AreaSelector*>(widget))
                delete widget;
    }

    // Each refused start shows one warning and leaves the window idle.
    void refusedStarts_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("title");
        const QString failed = QStringLiteral("Recording failed!");
        QTest::newRow("source window closed") << QString("closed window") << failed;
        QTest::newRow("output folder cannot be made") << QString("folder") << failed;
        QTest::newRow("no screen") << QString("no screen") << "No screen selected!";
        QTest::newRow("window kind, none picked") << QString("no window") << "No window selected!";
        QTest::newRow("screen without geometry")
            << QString("geometry") << "Cannot get screen geometry!";
    }
    void refusedStarts()
    {
        QFETCH(QString, setup);
        pickerAccepts_ = setup != "no window";
        auto window = makeWindow();
        QComboBox* sources = combo(*window, "comboBoxScreenWindows");
        if (setup.contains("window"))
            combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
        if (setup == "closed window")
            desktop_.shown.clear();
        if (setup == "no screen")
            sources->setCurrentIndex(-1);
        if (setup == "geometry")
            sources->setItemData(0, QStringLiteral("not a rectangle"));
        QFile blocker(dir_.filePath("plain-file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        if (setup == "folder")
            setSetting(settings::kOutputGroup, settings::kRecordingPath, blocker.fileName() + "/x");

        click(*window, "toolButtonRecord");
        QCOMPARE(boxes_.size(), 1);
        QTEST(boxes_.first(), "title");
        QCOMPARE(calls_.started, 0);
        QCOMPARE(state(*window), "idle");
    }

    void startHandsTheSourceToTheSession_data()
    {
        QTest::addColumn<int>("captureType");
        QTest::addColumn<QString>("audio");
        QTest::newRow("second screen without sound") << 0 << "No Audio";
        QTest::newRow("window with system sound") << 1 << "System Audio";
    }
    void startHandsTheSourceToTheSession()
    {
        QFETCH(int, captureType);
        QFETCH(QString, audio);
        const QString folder = dir_.filePath(QStringLiteral("new/%1").arg(captureType));
        setSetting(settings::kOutputGroup, settings::kRecordingPath, folder);
        auto window = makeWindow();
        QCOMPARE(combo(*window, "comboBoxScreenWindows")->itemText(1),
                 QStringLiteral("\"Screen2\" 1280x1024, 96DPI"));
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(captureType);
        combo(*window, "comboBoxScreenWindows")->setCurrentIndex(captureType == 0 ? 1 : 0);
        QComboBox* audioList = combo(*window, "comboBoxAudioDevice");
        QCOMPARE(audioList->currentData(), QVariant("System Audio"));
        audioList->setCurrentIndex(audioList->findData(audio));

        click(*window, "toolButtonRecord");
        QCOMPARE(calls_.started, 1);
        QCOMPARE(calls_.audio, audio);
        QCOMPARE(QFileInfo(calls_.path).absolutePath(), QDir(folder).absolutePath());
        QVERIFY(!calls_.target.areaMode);
        QCOMPARE(int(calls_.target.targetType), captureType == 0 ? TargetScreen : TargetWindow);
        if (captureType == 0)
            QCOMPARE(calls_.target.targetRect, secondScreen);
        else
            QCOMPARE(calls_.target.targetWindow, kPickedWindow);
        QCOMPARE(state(*window), "recording");
    }

    void areaModeHandsTheFramedRectangle()
    {
        auto window = makeWindow();
        window->selectRecordingArea();
        AreaSelector* selector = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            selector = selector ? selector : qobject_cast<AreaSelector*>(widget);
        QVERIFY(selector);
        // A selection at the second screen's left edge, as the overlay reports it: its frame
        // starts on the first screen, the area itself does not.
        emit selector->areaSelected(QRect(1920, 100, 400, 300));
        delete selector;

        window->startStopRecording();
        QVERIFY(calls_.target.areaMode);
        QCOMPARE(calls_.target.targetRect, secondScreen);
        QCOMPARE(calls_.captureArea, QRect(0, 100, 400, 300));
        firstPicture(*window);
        window->startStopRecording();
        QVERIFY(!window->isAreaMode());
        QTRY_VERIFY(!window->currentAreaDisplay());
    }

    void everyTriggerStartsAndStops_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("stop");
        QTest::newRow("record button") << "button" << QString("button");
        QTest::newRow("tray action") << "tray" << QString("tray");
        QTest::newRow("start/stop shortcut") << "shortcut" << QString("shortcut");
        QTest::newRow("session asks to stop") << "button" << QString("session");
        QTest::newRow("a start that starts nothing is undone") << "nothing" << QString("none");
    }
    void everyTriggerStartsAndStops()
    {
        QFETCH(QString, start);
        QFETCH(QString, stop);
        auto window = makeWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        const auto fire = [&](const QString& trigger) {
            if (trigger == "button")
                click(*window, "toolButtonRecord");
            else if (trigger == "tray")
                window->trayRecordAction()->trigger();
            else if (trigger == "shortcut")
                QTest::keyClick(window.get(), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
            else if (trigger == "session")
                emit window->recordingSession()->stopRecording();
        };
        calls_.startRuns = start != "nothing";
        fire(start == "nothing" ? "button" : start);
        QCOMPARE(calls_.started, 1);
        QCOMPARE(state(*window), stop == "none" ? "idle" : "recording");
        firstPicture(*window);
        fire(stop);
        // The window must not count a recording that does not exist: stopped at once, quietly.
        QCOMPARE(calls_.stops, QList<bool>{stop == "none"});
        QCOMPARE(state(*window), "idle");
    }

    // A press while a start or a stop is under way is left out: the start lasts until the
    // recording's first picture, the stop until the session has finished the file.
    void pressesWhileStartingOrStopping()
    {
        auto window = makeWindow();
        calls_.onStop = [&] { window->startStopRecording(); };
        window->startStopRecording();
        window->startStopRecording();
        QVERIFY(calls_.stops.isEmpty());
        firstPicture(*window);
        window->startStopRecording();
        QCOMPARE(calls_.stops.size(), 1);
        QCOMPARE(calls_.started, 1);
        QCOMPARE(state(*window), "idle");
    }

    // Commands from outside answer with the state they leave ("! " before a refusal). "picture"
    // and "tick" are the first picture and a clock second; "dead" makes starts fail.
    void remoteCommands_data()
    {
        QTest::addColumn<QStringList>("steps"); // word, answer, word, answer...
        QTest::addColumn<QList<int>>("calls");  // started, stopped, paused, resumed
        QTest::newRow("each in turn") << QStringList{"status",  "idle",
                                                     "start",   "recording 00:00:00",
                                                     "stop",    "! a recording is starting",
                                                     "toggle",  "! a recording is starting",
                                                     "picture", "",
                                                     "tick",    "",
                                                     "start",   "! a recording is running already",
                                                     "pause",   "paused 00:00:01",
                                                     "pause",   "! the recording is paused already",
                                                     "tick",    "",
                                                     "status",  "paused 00:00:01",
                                                     "resume",  "recording 00:00:01",
                                                     "resume",  "! no paused recording to resume",
                                                     "toggle",  "idle",
                                                     "stop",    "! no recording to stop"}
                                      << QList<int>{1, 1, 1, 1};
        QTest::newRow("refused while idle")
            << QStringList{"pause",  "! no recording to pause",
                           "resume", "! no paused recording to resume",
                           "record", "! unknown command",
                           "dead",   "",
                           "toggle", "! the recording could not start"}
            << QList<int>{1, 1, 0, 0};
    }
    void remoteCommands()
    {
        QFETCH(QStringList, steps);
        QFETCH(QList<int>, calls);
        auto window = makeWindow();
        for (qsizetype i = 0; i < steps.size(); i += 2) {
            bool ok = false;
            QString answer;
            if (steps[i] == "picture")
                firstPicture(*window);
            else if (steps[i] == "tick")
                window->onTickTimeout();
            else if (steps[i] == "dead")
                calls_.startRuns = false;
            else
                answer = window->handleRemoteCommand(steps[i], &ok);
            QCOMPARE((ok || answer.isEmpty() ? "" : "! ") + answer, steps[i + 1]);
        }
        QCOMPARE(
            (QList<int>{calls_.started, int(calls_.stops.size()), calls_.pauses, calls_.resumes}),
            calls);
        QCOMPARE(state(*window), "idle");
    }

    // A limit of 00:00:05 stops on the sixth second; paused seconds do not count.
    void durationLimit()
    {
        auto window = makeWindow();
        child<QCheckBox>(*window, "checkBoxRecordingDuration")->setChecked(true);
        child<QTimeEdit>(*window, "timeEditRecordingDuration")->setTime(QTime(0, 0, 5));
        window->startStopRecording();
        for (int tick = 1; tick <= 8; ++tick) {
            if (tick == 3)
                emit window->recordingSession()->pauseRecording();
            if (tick == 6)
                emit window->recordingSession()->resumeRecording();
            window->onTickTimeout();
        }
        QCOMPARE(window->clockText(), QStringLiteral("00:00:05"));
        QCOMPARE(calls_.pauses + calls_.resumes, 2);
        QVERIFY(calls_.stops.isEmpty());
        window->onTickTimeout();
        QCOMPARE(calls_.stops, QList<bool>{false});
        QCOMPARE(state(*window), "idle");
    }

    // The pause button, tray entry, shortcut and background bar pause and resume once the start
    // is over; the clock stands still and the tray and preview say so meanwhile.
    void pauseAndResume_data()
    {
        QTest::addColumn<QString>("trigger");
        for (const char* trigger : {"button", "tray", "shortcut", "bar"})
            QTest::newRow(trigger) << QString(trigger);
    }
    void pauseAndResume()
    {
        QFETCH(QString, trigger);
        auto window = makeWindow();
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        auto* button = child<QToolButton>(*window, "toolButtonPause");
        auto* barButton = child<QToolButton>(*window->backgroundWindow(), "toolButtonPause");
        const auto fire = [&] {
            if (trigger == "button")
                button->click();
            else if (trigger == "tray")
                window->trayPauseAction()->trigger();
            else if (trigger == "shortcut")
                QTest::keyClick(window.get(), Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
            else
                barButton->click();
        };
        window->startStopRecording();
        fire(); // still starting: nothing to pause
        QVERIFY(!button->isEnabled() && !barButton->isEnabled());
        firstPicture(*window);
        window->onTickTimeout();
        fire();
        window->onTickTimeout();
        QCOMPARE(window->clockText(), "00:00:01");
        QCOMPARE(button->toolTip(), "Resume recording");
        QCOMPARE(barButton->toolTip(), "Resume recording");
        QCOMPARE(window->systemTrayIcon()->toolTip(), "Paused 00:00:01");
        QCOMPARE(child<QLabel>(*window, "labelFrame")->text(), "Paused");
        fire();
        window->onTickTimeout();
        QCOMPARE(window->clockText(), "00:00:02");
        QCOMPARE(QPair(calls_.pauses, calls_.resumes), QPair(1, 1));
        window->startStopRecording();
        QVERIFY(!button->isEnabled() && !window->trayPauseAction()->isEnabled());
    }

    // The end of a recording started from outside the window, or by a schedule, is a desktop
    // notification naming the file (a box without a notification service); the user's next
    // start keeps the session's box.
    void endOfRecordingAnnounced_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<bool>("service");
        QTest::newRow("from outside: notification") << "outside" << true;
        QTest::newRow("schedule: notification") << "schedule" << true;
        QTest::newRow("schedule, no notification service: box") << "schedule" << false;
    }
    void endOfRecordingAnnounced()
    {
        QFETCH(QString, start);
        QFETCH(bool, service);
        auto window = makeWindow();
        QStringList notes;
        window->setDesktopNotifications(std::make_unique<FakeNotifications>(&notes, service));
        ScheduleItem item;
        window->setStartedFromOutside(start == "outside");
        if (start == "schedule")
            window->onScheduleRequestStart(item);
        else
            window->startStopRecording();
        firstPicture(*window);
        window->startStopRecording();
        window->startStopRecording(); // the user's start after it
        QCOMPARE(calls_.endBoxes, (QList<bool>{false, true}));
        const QString path = dir_.filePath("videos/a.mp4");
        emit window->recordingSession()->fileFinished(path);
        QCOMPARE(notes, service ? QStringList{"Video write finished.|a.mp4"} : QStringList());
        QCOMPARE(boxes_, service ? QStringList() : QStringList{"Info"});
        QVERIFY(service || boxText_ == "Video write finished.\n" + path);
    }

    void preview()
    {
        auto window = makeWindow();
        window->resize(900, 600);
        auto* frame = child<QLabel>(*window, "labelFrame");
        const auto shown = [frame] {
            const QImage image = frame->pixmap().toImage();
            return image.isNull() ? QColor() : image.pixelColor(image.rect().center());
        };
        // Idle: the picked window's picture.
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
        window->updatePreviewWhenNotRecording();
        QCOMPARE(shown(), QColor(Qt::darkGreen));
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(0);
        window->updatePreviewWhenNotRecording(); // a screen: what the screen shows
        QVERIFY(!frame->pixmap().isNull());
        // Recording: the session's frames, none with the preview off.
        QImage image(320, 180, QImage::Format_RGB32);
        image.fill(Qt::red);
        window->startStopRecording();
        emit window->recordingSession()->previewFrame(image);
        QCOMPARE(shown(), QColor(Qt::red));
        QTest::mouseClick(child<QCheckBox>(*window, "checkBoxPreview"), Qt::LeftButton);
        emit window->recordingSession()->previewFrame(image);
        QCOMPARE(shown(), QColor());
    }

    void backgroundMode_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::addColumn<QString>("how");
        QTest::newRow("recording") << true << "button recording";
        QTest::newRow("minimise when recording") << true << "setting";
        QTest::newRow("without a tray") << false << "button";
    }
    void backgroundMode()
    {
        QFETCH(bool, tray);
        QFETCH(QString, how);
        trayAvailable_ = tray;
        setSetting(settings::kUiGroup, settings::kMinimizeWhenRecording, how == "setting");
        auto window = makeWindow();
        window->show();
        BG_Mode_Window* bar = window->backgroundWindow();
        if (how != "button")
            window->startStopRecording();
        if (how != "setting")
            click(*window, "toolButtonBgMode");
        QVERIFY(boxes_.isEmpty() && !window->isVisible() && bar->isVisible());
        QCOMPARE(window->findChild<QObject*>("trayIcon")->property("visible"), QVariant(tray));
        if (window->isRecording()) {
            // The bar has the clock while it is shown; its record button stops.
            window->onTickTimeout();
            QCOMPARE(child<QLabel>(*bar, "labelTimer")->text(), QStringLiteral("00:00:01"));
            click(*bar, "toolButtonRecord");
            QCOMPARE(state(*window), "idle");
            QCOMPARE(child<QLabel>(*bar, "labelTimer")->text(), QStringLiteral("00:00:00"));
        }
        click(*bar, "toolButtonRestore");
        QVERIFY(window->isVisible());
    }

    // Boxes, dialogs and control marks are dark and readable (WCAG 4.5:1 on the first pixel).
    void darkThemeContrast_data()
    {
        QTest::addColumn<QString>("name");
        for (const char* name : {"qt_msgbox_label", "lineEditHotkeyStartStopRecording",
                                 "timeEditRecordingDuration", "checkBoxPreview"})
            QTest::newRow(name) << QString(name);
    }
    void darkThemeContrast()
    {
        QFETCH(QString, name);
        auto window = makeWindow();
        QMessageBox box(QMessageBox::Information, "Torvane", "Video write finished.",
                        QMessageBox::Ok, window.get());
        HotkeyDialog hotkeys(window.get());
        QWidget* widget = nullptr;
        for (QWidget* top : std::initializer_list<QWidget*>{window.get(), &box, &hotkeys}) {
            top->show();
            widget = widget ? widget : top->findChild<QWidget*>(name);
        }
        widget->setEnabled(true);
        QRect area = widget->rect().adjusted(3, 3, -3, -3); // inside any frame
        if (name.startsWith("timeEdit"))                    // the up button
            area = QRect(widget->width() - 16, 3, 12, widget->height() / 2 - 3);
        if (name.startsWith("checkBox")) // inside the box
            area = QRect(3, widget->height() / 2 - 3, 7, 7);
        area.translate(widget->mapTo(widget->window(), QPoint()));
        const QImage image = widget->window()->grab(area).toImage();
        QList<double> light; // relative luminance + 0.05 of each pixel
        for (int i = 0; i < image.width() * image.height(); ++i) {
            const QColor c = image.pixelColor(i % image.width(), i / image.width());
            light << 0.05 + 0.2126 * std::pow(c.redF(), 2.2) + 0.7152 * std::pow(c.greenF(), 2.2) +
                         0.0722 * std::pow(c.blueF(), 2.2);
        }
        QVERIFY(light.first() < 0.2);
        QCOMPARE_GE(*std::max_element(light.begin(), light.end()) / light.first(), 4.5);
    }

    // The audio list follows the sound server, "No Audio" last. The choice survives a refresh;
    // a vanished microphone falls back to the system sound, a program gone quiet stays.
    void audioListFollowsTheSoundServer_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<bool>("kept"); // else the system sound
        QTest::newRow("no sound") << "No Audio" << true;
        QTest::newRow("microphone unplugged") << "alsa_input.usb" << false;
        QTest::newRow("both, unplugged") << "System Audio + alsa_input.usb" << false;
        QTest::newRow("program gone quiet") << "Application: Firefox" << true;
    }
    void audioListFollowsTheSoundServer()
    {
        QFETCH(QString, chosen);
        auto window = makeWindow();
        QComboBox* audio = combo(*window, "comboBoxAudioDevice");
        QCOMPARE(audio->itemData(4).toString(), "No Audio"); // after the shared entries
        audio->setCurrentIndex(audio->findData(chosen));
        sound_ = {true, {{"alsa_input.hdmi", "HDMI"}}, {}};
        QMetaObject::invokeMethod(child<QTimer>(*window, "audioDeviceTimer"), "timeout");
        QCOMPARE(audio->itemText(0), "HDMI");
        click(*window, "toolButtonRefresh");
        QFETCH(bool, kept);
        QCOMPARE(audio->currentData().toString(), kept ? chosen : "System Audio");
    }

    // The meter shows each chosen source's peak (-60..0 dB as 0..100). "Mute microphone"
    // (Ctrl+Shift+U, also in the tray) mutes the session's microphone and empties its bar; it is
    // offered while the chosen sound includes a microphone.
    void meterAndMute_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QList<int>>("bars");
        QTest::addColumn<QList<int>>("muted");
        QTest::newRow("system sound") << "System Audio" << QList<int>{90} << QList<int>{90};
        QTest::newRow("microphone") << "alsa_input.usb" << QList<int>{90} << QList<int>{0};
        QTest::newRow("both") << "System Audio + alsa_input.usb" << QList<int>{90, 67}
                              << QList<int>{90, 0};
        QTest::newRow("no sound") << "No Audio" << QList<int>{} << QList<int>{};
    }
    void meterAndMute()
    {
        QFETCH(QString, chosen);
        FakeProbe::peaks = {0.5f, 0.1f};
        auto window = makeWindow();
        window->show();
        QComboBox* audio = combo(*window, "comboBoxAudioDevice");
        audio->setCurrentIndex(audio->findData(chosen));
        QVERIFY(FakeProbe::watched == audiochoice::sourcesOf(chosen));
        auto* meter = child<AudioLevelMeter>(*window, "widgetAudioLevel");
        const auto bars = [meter] {
            meter->poll();
            QList<int> values;
            for (const QProgressBar* bar : meter->findChildren<QProgressBar*>())
                values << bar->value();
            return values;
        };
        QTEST(bars(), "bars");
        QAction* mute = window->muteMicrophone();
        QCOMPARE(mute->isEnabled(), chosen.contains("usb"));
        QCOMPARE(mute->shortcut(), QKeySequence("Ctrl+Shift+U"));
        QVERIFY(window->systemTrayIcon()->contextMenu()->actions().contains(mute));
        if (mute->isEnabled())
            mute->trigger();
        QTEST(bars(), "muted");
        QCOMPARE(calls_.mutes, mute->isEnabled() ? QList<bool>{true} : QList<bool>{});
    }

    // The window fits a 1024 px wide screen in German, the wider language, long entries included.
    void fitsNarrowScreen()
    {
        LanguageManager::instance().setLanguagesDirectory(QFileInfo(TORVANE_EXE).path() +
                                                          "/Languages");
        LanguageManager::instance().setLanguage("de");
        auto window = makeWindow();
        for (const char* list : {"comboBoxScreenWindows", "comboBoxAudioDevice"})
            combo(*window, list)->addItem(QString(200, 'W'));
        QCOMPARE_LE(window->minimumSizeHint().width(), 1000);
    }

    // The other buttons answer with a box or with a folder or page the desktop opens; the
    // recordings folder is made first when missing.
    void otherButtonsAnswer()
    {
        const QString folder = dir_.filePath("open/me");
        setSetting(settings::kOutputGroup, settings::kRecordingPath, folder);
        UrlCatcher catcher;
        for (const char* scheme : {"file", "https"})
            QDesktopServices::setUrlHandler(scheme, &catcher, "open");
        // Without xdg-open on the path, the desktop's handlers (the catcher) are asked.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", dir_.path().toUtf8());
        AutoUpdater::setBoxHandler([](auto...) { return false; });
        auto window = makeWindow();
        for (const char* button : {"toolButtonAbout", "toolButtonShowFolder", "toolButtonHelp"})
            click(*window, button);
        click(*window, "toolButtonShowFolder2"); // an update check, its box answered above
        QVERIFY(window->findChild<AutoUpdater*>());
        QTRY_VERIFY(!window->findChild<AutoUpdater*>());
        qputenv("PATH", path);
        for (const char* scheme : {"file", "https"})
            QDesktopServices::unsetUrlHandler(scheme);
        QCOMPARE(boxes_, (QStringList{"About QZT"}));
        // The settings, schedule and macro lists open as dialogs of their own.
        for (const char* button :
             {"toolButtonSettings", "toolButtonSchedule", "toolButtonMacros"}) {
            QTimer::singleShot(0, [this] {
                if (QWidget* dialog = QApplication::activeModalWidget()) {
                    boxes_.append(dialog->metaObject()->className());
                    dialog->close();
                }
            });
            click(*window, button);
        }
        QCOMPARE(boxes_.mid(1),
                 (QStringList{"settings_win", "ScheduleListDialog", "MacroListDialog"}));
        QCOMPARE(catcher.urls.size(), 2);
        QCOMPARE(catcher.urls.first(), QUrl::fromLocalFile(folder));
    }

    void openFailsWithABox_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("where"); // named in the box; empty: xdg-open succeeds, no box
        const QString folder = "toolButtonShowFolder";
        const QString manual = "https://torvane.github.io/manual/torvane-manual.pdf";
        QTest::newRow("no file manager") << folder << dir_.filePath("videos");
        QTest::newRow("no browser") << QString("toolButtonHelp") << manual;
        QTest::newRow("opened") << folder << QString();
    }
    // When xdg-open fails (no file manager or browser is installed), a box says where to go.
    void openFailsWithABox()
    {
        QFETCH(QString, button);
        QFETCH(QString, where);
        const QString exit = where.isEmpty() ? "true" : "false";
        QDir(dir_.path()).mkpath(exit);
        QFile::link("/bin/" + exit, dir_.filePath(exit + "/xdg-open"));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", dir_.filePath(exit).toUtf8());
        auto window = makeWindow();
        click(*window, qPrintable(button));
        qputenv("PATH", path);
        QTRY_VERIFY(!window->findChild<QProcess*>());
        QCOMPARE(boxes_.size(), where.isEmpty() ? 0 : 1);
        QVERIFY2(where.isEmpty() || boxText_.endsWith("\n" + where), qPrintable(boxText_));
    }

    // A macro drives the window through its own procedures and ends idle with its box, the
    // user's source and sound back; it is refused while a recording runs or when its steps
    // cannot record, stops where its window has gone, and ends with the window.
    void macroRequests_data()
    {
        QTest::addColumn<QString>("run");
        QTest::newRow("runs to the end") << "end";
        QTest::newRow("refused while recording") << "recording";
        QTest::newRow("a wait of \"abc\"") << "cannot record";
        QTest::newRow("window gone") << "window gone";
        QTest::newRow("window closed while it waits") << "close";
    }
    void macroRequests()
    {
        QFETCH(QString, run);
        auto window = makeWindow();
        const auto act = [](MacroActionType type, QVariantMap p = {}) {
            return MacroAction(type, p);
        };
        MacroItem macro;
        macro.name = "Demo";
        macro.actions = {
            act(MacroActionType::SelectSource, {{"recordScreen", true},
                                                {"areaCaptureMode", run == "window gone" ? 1 : 0},
                                                {"screenIndex", 1},
                                                {"selectedWindow_pid", 99},
                                                {"recordAudioInput", false}}),
            act(MacroActionType::StartRecording),
            act(MacroActionType::PauseRecording),
            act(MacroActionType::ResumeRecording),
            act(MacroActionType::Wait,
                {{"duration_ms", run == "cannot record" ? QVariant("abc")
                                                        : QVariant(run == "close" ? 600000 : 0)}}),
            act(MacroActionType::StopRecording)};
        if (run == "recording")
            click(*window, "toolButtonRecord");
        testsupport::LogCapture log;
        emit EventBus::instance()->requestStartMacroExecutionToMainWindow(macro);
        if (run == "recording" || run == "cannot record") {
            QVERIFY(!MacroExecutor::instance()->isExecuting());
            QCOMPARE(boxes_, QStringList{"Warning"});
            QVERIFY(run == "recording" || boxText_.startsWith("Step 5 (Wait)"));
            QCOMPARE(calls_.started, run == "recording" ? 1 : 0);
            QCOMPARE(state(*window), run == "recording" ? "recording" : "idle");
            return;
        }
        if (run == "window gone") {
            QVERIFY(!MacroExecutor::instance()->isExecuting());
            QVERIFY(log.take().join('\n').contains(
                "Window not found for macro execution: Select Source\n"
                "Looking for - PID: 99 Exe:  Class: "));
            QCOMPARE(calls_.started, 0);
            QCOMPARE(state(*window), "idle");
            return;
        }
        QCOMPARE(child<QLabel>(*window, "labelRecord")->text(), "STOP");
        if (run == "close") {
            QTRY_COMPARE(calls_.started, 1);
            QVERIFY(window->close());
            QCOMPARE(calls_.stops.size(), 1);
            QVERIFY(!MacroExecutor::instance()->isExecuting());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(boxes_, QStringList{"Finished"}, 10000);
        QCOMPARE(boxText_, "Macro Recording Finished");
        QCOMPARE(calls_.started, 1);
        QCOMPARE(calls_.target.targetRect, secondScreen);
        QCOMPARE(calls_.audio, "No Audio");
        QCOMPARE(calls_.pauses, 1);
        QCOMPARE(calls_.resumes, 1);
        QCOMPARE(calls_.stops.size(), 1);
        QCOMPARE(state(*window), "idle");
        QCOMPARE(combo(*window, "comboBoxAudioDevice")->currentData(), QVariant("System Audio"));
    }

    void nextRecordingCountdown_data()
    {
        QTest::addColumn<qint64>("seconds"); // from now to the next start; 0: none
        QTest::addColumn<QString>("text");
        QTest::newRow("none") << qint64(0) << "";
        QTest::newRow("a week") << qint64(7 * 86400) << "Next Recording starts 2026-12-14";
        QTest::newRow("three days")
            << qint64(3 * 86400 + 5) << "Next Recording starts 3 days later";
        QTest::newRow("a day and a bit")
            << qint64(86400 + 7200) << "Next Recording starts 26 hours later";
        QTest::newRow("an hour") << qint64(3723) << "Next Recording starts 01:02:03 later";
    }
    void nextRecordingCountdown()
    {
        QFETCH(qint64, seconds);
        const QDateTime now(QDate(2026, 12, 7), QTime(12, 0));
        QTEST(MainWindow::nextRecordingText(seconds ? now.addSecs(seconds) : QDateTime(), now),
              "text");
    }

    // A schedule records its source until its own stop or the user's, and then the user's
    // choices are back; a one-time schedule has had its run, a daily one waits for its next.
    // Refused while something records, a one-time schedule is disabled; one whose window has
    // gone starts nothing.
    void scheduleRequests_data()
    {
        QTest::addColumn<QString>("run");
        QTest::newRow("records until its stop") << "records";
        QTest::newRow("the user stops it") << "user";
        QTest::newRow("the user stops a daily one") << "daily";
        QTest::newRow("refused while recording") << "busy";
        QTest::newRow("window gone") << "window gone";
    }
    void scheduleRequests()
    {
        QFETCH(QString, run);
        auto window = makeWindow();
        ScheduleItem item;
        item.name = "Nightly";
        item.id = ScheduleStore::instance().nextScheduleId();
        item.screenIndex = 1;
        item.screenType =
            run == "window gone" ? ScreenSourceType::Window : ScreenSourceType::Fullscreen;
        item.windowPid = 77;
        if (run == "daily")
            item.repeatType = ScheduleRepeatType::Daily;
        ScheduleStore::instance().addSchedule(item);
        if (run == "busy")
            click(*window, "toolButtonRecord");
        const int startsBefore = calls_.started;
        window->onScheduleRequestStart(item);
        const auto stored = [&] {
            for (const ScheduleItem& s : ScheduleStore::instance().schedules())
                if (s.id == item.id)
                    return s;
            return ScheduleItem();
        };
        if (run == "busy" || run == "window gone") {
            QCOMPARE(calls_.started, startsBefore);
            QCOMPARE(stored().enabled, run != "busy");
            return;
        }
        QCOMPARE(calls_.started, 1);
        QCOMPARE(calls_.target.targetRect, secondScreen);
        QCOMPARE(calls_.audio, "No Audio");
        firstPicture(*window);
        if (run == "records")
            window->onScheduleRequestStop(item.id);
        else
            window->startStopRecording();
        QCOMPARE(calls_.stops, QList<bool>{false});
        QCOMPARE(state(*window), "idle");
        window->onScheduleRequestStop(item.id); // the period's end: nothing left to stop
        QCOMPARE(calls_.stops.size(), 1);
        QCOMPARE(stored().enabled, run == "daily");
        window->startStopRecording();
        QCOMPARE(calls_.target.targetRect, firstScreen);
        QCOMPARE(calls_.audio, "System Audio");
    }

    // Recordings rebuilt at start, or that could not be, are named to the user, in a box when
    // there is no tray.
    void announcesRepairedRecordings()
    {
        auto window = makeWindow();
        window->announceRepairedRecordings({});
        window->announceRepairedRecordings({dir_.filePath("screen_1.mp4")});
        window->announceRepairedRecordings({}, {dir_.filePath("screen_2.mp4")});
        QCOMPARE(boxes_, (QStringList{"Recording repaired", "Recording not repaired"}));
    }

    // A tab recorded through the server looks like any recording; a screen recording tells the
    // server so that it refuses tabs meanwhile; a taken port gets its warning.
    void tabCapture()
    {
        auto window = makeWindow();
        TabCaptureServerWin* server = window->tabCaptureServer();
        QTRY_VERIFY(server->serverPort() != 0);
        emit server->recordingStarted("tab.mp4");
        QCOMPARE(state(*window), "recording");
        QVERIFY(server->screenRecordingActive());
        emit server->recordingStopped("tab.mp4");
        QCOMPARE(state(*window), "idle");
        QVERIFY(!server->screenRecordingActive());
        click(*window, "toolButtonRecord");
        QVERIFY(server->screenRecordingActive());
        firstPicture(*window);
        click(*window, "toolButtonRecord");
        QVERIFY(!server->screenRecordingActive());
        QVERIFY(boxes_.isEmpty());
        emit server->session()->errorMessage("No space left on device"); // the session's reports
        emit server->session()->errorMessage("No space left on device"); // one notice for both
        QCOMPARE(boxes_, QStringList{"Tab Capture"});
        boxes_.clear();

        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost));
        setSetting(settings::kTabCaptureGroup, settings::kWebSocketPort, taken.serverPort());
        auto second = makeWindow();
        QTRY_COMPARE(boxes_, QStringList{"Tab Capture"});

        // A free port and no preview saved in the settings dialog: the server moves, the check
        // follows.
        const quint16 freed = taken.serverPort();
        taken.close();
        QTimer::singleShot(0, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            dialog->findChild<QSpinBox*>("spinBoxTabCapturePort")->setValue(freed);
            dialog->findChild<QCheckBox*>("checkBoxPrevie")->setChecked(false);
            dialog->findChild<QPushButton*>("pushButtonSave")->click();
        });
        click(*second, "toolButtonSettings");
        QCOMPARE(second->tabCaptureServer()->serverPort(), freed);
        QVERIFY(!second->findChild<QCheckBox*>("checkBoxPreview")->isChecked());
        QCOMPARE(boxes_.size(), 1);
    }
};

OFFSCREEN_TEST_MAIN(tst_MainWindow, firstScreen, secondScreen)

#include "tst_MainWindow.moc"
