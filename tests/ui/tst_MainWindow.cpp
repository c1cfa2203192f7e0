// The main window's procedures on two fake offscreen screens, with the session's calls recorded
// instead of capturing: start checks and their boxes, what the session is given, the clock and
// the duration limit, stopping from every trigger, preview, tray, folder and close.
#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"
#include "ui/AreaSelector.h"
#include "ui/BG_Mode_Window.h"
#include "ui/MainWindow.h"
#include "ui/RecordingSessionControl.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QSet>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

namespace {

const QRect firstScreen(0, 0, 1920, 1080);
const QRect secondScreen(1920, 0, 1280, 1024);
constexpr NativeWindow kGameWindow = 42;

// What the window asked of the session.
struct SessionCalls
{
    int configured = 0;
    QString audio;
    QString path;
    RecordingTarget target;
    QRect captureArea;
    int trigger = -1;
    int started = 0;
    QList<bool> stops; // the quiet flag of each stop
    int pauses = 0;
    int resumes = 0;
    bool startRuns = true; // whether a start gets its threads going
    bool running = false;
};

class FakeSession : public RecordingSessionControl
{
public:
    explicit FakeSession(SessionCalls* calls) : calls_(calls) {}
    void configure(const QString& audio, const QString& path, QLabel*) override
    {
        ++calls_->configured;
        calls_->audio = audio;
        calls_->path = path;
    }
    void setTarget(const RecordingTarget& target) override { calls_->target = target; }
    void setCaptureArea(int x, int y, int width, int height) override
    {
        calls_->captureArea = QRect(x, y, width, height);
    }
    void setStartTrigger(std::int32_t trigger) override { calls_->trigger = trigger; }
    void start() override
    {
        ++calls_->started;
        calls_->running = calls_->startRuns;
    }
    bool isRunning() const override { return calls_->running; }
    void stop(bool quiet) override
    {
        calls_->stops.append(quiet);
        calls_->running = false;
    }
    void pause() override { ++calls_->pauses; }
    void resume() override { ++calls_->resumes; }

private:
    SessionCalls* calls_;
};

// Windows that exist are those in the set; every window pictures as a solid colour.
class FakeWindowSystem : public WindowSystem
{
public:
    explicit FakeWindowSystem(QSet<NativeWindow>* live) : live_(live) {}
    bool windowManagerRunning() const override { return true; }
    bool isWindow(NativeWindow window) const override { return live_->contains(window); }
    bool isVisible(NativeWindow window) const override { return isWindow(window); }
    bool isMinimised(NativeWindow) const override { return false; }
    void show(NativeWindow) override {}
    void restore(NativeWindow) override {}
    QRect outerRect(NativeWindow) const override { return QRect(10, 10, 640, 480); }
    QImage windowImage(NativeWindow window) const override
    {
        if (!isWindow(window))
            return {};
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        return image;
    }
    QList<MonitorInfo> monitors() const override { return {{"Screen1", firstScreen, true}}; }
    bool monitorFromPoint(QPoint, bool, MonitorInfo* out) const override
    {
        *out = monitors().first();
        return true;
    }
    bool monitorFromRect(const QRect&, MonitorInfo* out) const override
    {
        *out = monitors().first();
        return true;
    }

private:
    QSet<NativeWindow>* live_;
};

struct Box
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
};

enum class Setup { ClosedWindow, UncreatableFolder, NoScreen, NoWindow, ScreenWithoutGeometry };
enum class Trigger { RecordButton, TrayAction, BackgroundBar, SessionRequest };

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Trigger)

// Receives the URLs the window asks the desktop to open.
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

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void sourceListNamesEveryScreen();
    void windowKindTakesThePickedWindow_data();
    void windowKindTakesThePickedWindow();
    void refusedStartsShowTheirBoxAndChangeNothing_data();
    void refusedStartsShowTheirBoxAndChangeNothing();
    void startHandsTheSourceToTheSession_data();
    void startHandsTheSourceToTheSession();
    void areaModeHandsTheFramedRectangle();
    void everyTriggerStartsAndStops_data();
    void everyTriggerStartsAndStops();
    void startThatStartsNothingIsUndone();
    void durationLimit_data();
    void durationLimit();
    void recordingPreview_data();
    void recordingPreview();
    void idlePreviewAndCpuFigure();
    void backgroundMode_data();
    void backgroundMode();
    void openRecordingsFolder_data();
    void openRecordingsFolder();
    void languageChangeKeepsStateAndSelection();
    void closingMidRecordingFinishesTheFile();

private:
    std::unique_ptr<MainWindow> makeWindow();
    QComboBox* combo(MainWindow& window, const char* name)
    {
        return window.findChild<QComboBox*>(QLatin1String(name));
    }
    QToolButton* button(MainWindow& window, const char* name)
    {
        return window.findChild<QToolButton*>(QLatin1String(name));
    }
    QLabel* label(MainWindow& window, const char* name)
    {
        return window.findChild<QLabel*>(QLatin1String(name));
    }
    void verifyIdle(MainWindow& window);
    void verifyRecording(MainWindow& window);

    QTemporaryDir dir_;
    SessionCalls calls_;
    QList<Box> boxes_;
    QSet<NativeWindow> liveWindows_;
    bool pickerAccepts_ = true;
    int pickerRuns_ = 0;
    QString pickedTitle_;
    bool trayAvailable_ = false;
};

void tst_MainWindow::initTestCase()
{
    QVERIFY(dir_.isValid());
    QCOMPARE(QGuiApplication::screens().size(), 2);
}

void tst_MainWindow::init()
{
    calls_ = SessionCalls();
    boxes_.clear();
    liveWindows_ = {kGameWindow};
    pickerAccepts_ = true;
    pickerRuns_ = 0;
    pickedTitle_ = QStringLiteral("My Game: Level 2");
    trayAvailable_ = false;
    SettingsStore& settings = SettingsStore::instance();
    settings.setValue(settings::kOutputGroup, settings::kRecordingPath, dir_.filePath("videos"));
    settings.setValue(settings::kOutputGroup, settings::kUserDefinedFileName, false);
    settings.setValue(settings::kVideoGroup, settings::kVideoFormat, settings::kFormatMp4);
    settings.setValue(settings::kUiGroup, settings::kEnablePreview, true);
    settings.setValue(settings::kUiGroup, settings::kMinimizeWhenRecording, false);
}

void tst_MainWindow::cleanup()
{
    // An area selector left by a test would cover the next one.
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<AreaSelector*>(widget))
            delete widget;
}

std::unique_ptr<MainWindow> tst_MainWindow::makeWindow()
{
    auto window = std::make_unique<MainWindow>();
    window->setSessionControl(std::make_unique<FakeSession>(&calls_));
    window->setWindowSystem(std::make_unique<FakeWindowSystem>(&liveWindows_));
    window->setBoxHandler(
        [this](QMessageBox::Icon icon, const QString& title, const QString& text) {
            boxes_.append({icon, title, text});
        });
    window->setWindowPicker([this](QWidget*, const QPoint&, QString* title, NativeWindow* id) {
        ++pickerRuns_;
        if (!pickerAccepts_)
            return false;
        *title = pickedTitle_;
        *id = kGameWindow;
        return true;
    });
    window->setTrayAvailabilityCheck([this] { return trayAvailable_; });
    window->recordingSession()->setBoxHandler([](const SessionBox&) { return true; });
    return window;
}

void tst_MainWindow::verifyIdle(MainWindow& window)
{
    QVERIFY(!window.isRecording());
    QCOMPARE(window.clockText(), QStringLiteral("00:00:00"));
    QCOMPARE(label(window, "labelRecord")->text(), QStringLiteral("START"));
    QCOMPARE(window.trayRecordAction()->text(), QStringLiteral("Start Recording"));
    QVERIFY(!window.findChild<QTimer*>(QStringLiteral("tickTimer"))->isActive());
    QVERIFY(combo(window, "comboBoxCaptureType")->isEnabled());
    QVERIFY(combo(window, "comboBoxAudioDevice")->isEnabled());
    QVERIFY(window.findChild<QCheckBox*>(QStringLiteral("checkBoxRecordingDuration"))->isEnabled());
}

void tst_MainWindow::verifyRecording(MainWindow& window)
{
    QVERIFY(window.isRecording());
    QCOMPARE(label(window, "labelRecord")->text(), QStringLiteral("STOP"));
    QCOMPARE(window.trayRecordAction()->text(), QStringLiteral("Stop Recording"));
    QVERIFY(window.findChild<QTimer*>(QStringLiteral("tickTimer"))->isActive());
    for (const char* name : {"comboBoxCaptureType", "comboBoxScreenWindows", "comboBoxAudioDevice"})
        QVERIFY2(!combo(window, name)->isEnabled(), name);
    QVERIFY(!button(window, "toolButtonRefresh")->isEnabled());
    QVERIFY(
        !window.findChild<QCheckBox*>(QStringLiteral("checkBoxRecordingDuration"))->isEnabled());
    QVERIFY(
        !window.findChild<QTimeEdit*>(QStringLiteral("timeEditRecordingDuration"))->isEnabled());
}

void tst_MainWindow::sourceListNamesEveryScreen()
{
    auto window = makeWindow();
    QComboBox* sources = combo(*window, "comboBoxScreenWindows");
    QCOMPARE(sources->count(), 2);
    QCOMPARE(sources->itemText(0), QStringLiteral("\"Screen1\" 1920x1080, 96DPI"));
    QCOMPARE(sources->itemData(0).toRect(), firstScreen);
    QCOMPARE(sources->itemText(1), QStringLiteral("\"Screen2\" 1280x1024, 96DPI"));
    QCOMPARE(sources->itemData(1).toRect(), secondScreen);

    QComboBox* audio = combo(*window, "comboBoxAudioDevice");
    QVERIFY(audio->count() >= 2);
    QCOMPARE(audio->itemData(audio->count() - 2).toString(), QStringLiteral("System Audio"));
    QCOMPARE(audio->itemData(audio->count() - 1).toString(), QStringLiteral("No Audio"));
    QCOMPARE(audio->currentData().toString(), QStringLiteral("System Audio"));
    QCOMPARE(window->windowTitle(), QStringLiteral("QZT v2026.7.25.22"));
    QVERIFY(button(*window, "toolButtonAudiCapture")->isHidden());
    QVERIFY(button(*window, "toolButtonMicCapture")->isHidden());
}

void tst_MainWindow::windowKindTakesThePickedWindow_data()
{
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("entries");
    QTest::newRow("picked") << true << 1;
    QTest::newRow("cancelled leaves the list empty") << false << 0;
}

void tst_MainWindow::windowKindTakesThePickedWindow()
{
    QFETCH(bool, accepted);
    QFETCH(int, entries);
    pickerAccepts_ = accepted;
    auto window = makeWindow();
    combo(*window, "comboBoxAudioDevice")
        ->setCurrentIndex(
            combo(*window, "comboBoxAudioDevice")->findData(QStringLiteral("No Audio")));

    combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
    QComboBox* sources = combo(*window, "comboBoxScreenWindows");
    QCOMPARE(sources->count(), entries);
    if (accepted)
        QCOMPARE(sources->currentText(), pickedTitle_);
    QCOMPARE(combo(*window, "comboBoxAudioDevice")->currentData().toString(),
             QStringLiteral("System Audio"));
    QVERIFY(!button(*window, "toolButtonMarkRecordArea")->isEnabled());
    QCOMPARE(pickerRuns_, 1);

    // A click on the list picks again instead of opening the list.
    QTest::mouseClick(sources, Qt::LeftButton);
    QCOMPARE(pickerRuns_, 2);
    QCOMPARE(sources->count(), entries);

    // Back to screens: the area button is usable again.
    combo(*window, "comboBoxCaptureType")->setCurrentIndex(0);
    QCOMPARE(sources->count(), 2);
    QVERIFY(button(*window, "toolButtonMarkRecordArea")->isEnabled());
    QTest::mouseClick(sources, Qt::LeftButton);
    QCOMPARE(pickerRuns_, 2);
}

void tst_MainWindow::refusedStartsShowTheirBoxAndChangeNothing_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");

    QTest::newRow("source window closed") << Setup::ClosedWindow << "Recording failed!"
                                          << "Source window is closed or invalid.";
    QTest::newRow("output folder cannot be created")
        << Setup::UncreatableFolder << "Recording failed!"
        << "Cannot create output folder '%1', please change folder path in the app settings.";
    QTest::newRow("no screen") << Setup::NoScreen << "No screen selected!"
                               << "Please select a screen to record.";
    QTest::newRow("window kind with an empty list") << Setup::NoWindow << "No window selected!"
                                                    << "Please select a window to record.";
    QTest::newRow("screen entry without geometry")
        << Setup::ScreenWithoutGeometry << "Cannot get screen geometry!"
        << "Cannot get screen geometry information for selected screen.";
}

void tst_MainWindow::refusedStartsShowTheirBoxAndChangeNothing()
{
    QFETCH(Setup, setup);
    QFETCH(QString, title);
    QFETCH(QString, text);

    pickerAccepts_ = setup != Setup::NoWindow;
    auto window = makeWindow();
    QComboBox* sources = combo(*window, "comboBoxScreenWindows");
    switch (setup) {
    case Setup::ClosedWindow:
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
        liveWindows_.clear();
        break;
    case Setup::UncreatableFolder: {
        QFile blocker(dir_.filePath("plain-file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const QString folder = dir_.filePath("plain-file/videos");
        SettingsStore::instance().setValue(settings::kOutputGroup, settings::kRecordingPath,
                                           folder);
        text = text.arg(folder);
        break;
    }
    case Setup::NoScreen:
        sources->setCurrentIndex(-1);
        break;
    case Setup::NoWindow:
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
        break;
    case Setup::ScreenWithoutGeometry:
        sources->setItemData(0, QStringLiteral("not a rectangle"));
        break;
    }
    const bool areaButtonEnabled = button(*window, "toolButtonMarkRecordArea")->isEnabled();

    QTest::mouseClick(button(*window, "toolButtonRecord"), Qt::LeftButton);

    QCOMPARE(boxes_.size(), 1);
    QCOMPARE(boxes_.first().icon, QMessageBox::Warning);
    QCOMPARE(boxes_.first().title, title);
    QCOMPARE(boxes_.first().text, text);
    QCOMPARE(calls_.configured, 0);
    QCOMPARE(calls_.started, 0);
    verifyIdle(*window);
    QCOMPARE(window->elapsedTime(), QTime(0, 0, 0));
    QCOMPARE(button(*window, "toolButtonMarkRecordArea")->isEnabled(), areaButtonEnabled);
    QCOMPARE(button(*window, "toolButtonRecord")->toolTip(), QStringLiteral("Start Recording."));
}

void tst_MainWindow::startHandsTheSourceToTheSession_data()
{
    QTest::addColumn<int>("captureType");
    QTest::addColumn<int>("screenIndex");
    QTest::addColumn<QString>("audio");
    QTest::addColumn<bool>("userDefined");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("targetType");
    QTest::addColumn<QRect>("targetRect");
    QTest::addColumn<QString>("fileName"); // pattern

    const QString stamp = QStringLiteral("_\\d{8}_\\d{6}");
    QTest::newRow("first screen with system sound")
        << 0 << 0 << "System Audio" << false << "H264-AAC(MP4)" << int(TargetScreen) << firstScreen
        << "Screen1" + stamp + "\\.mp4";
    QTest::newRow("second screen without sound")
        << 0 << 1 << "No Audio" << false << "H264-AAC(MP4)" << int(TargetScreen) << secondScreen
        << "Screen2" + stamp + "\\.mp4";
    QTest::newRow("window by its title")
        << 1 << -1 << "System Audio" << false << "H264-AAC(MP4)" << int(TargetWindow) << QRect()
        << "MyGameLevel2" + stamp + "\\.mp4";
    QTest::newRow("user-defined name, Windows Media")
        << 0 << 0 << "No Audio" << true << "Windows Media" << int(TargetScreen) << firstScreen
        << "out_file\\.WMV";
}

void tst_MainWindow::startHandsTheSourceToTheSession()
{
    QFETCH(int, captureType);
    QFETCH(int, screenIndex);
    QFETCH(QString, audio);
    QFETCH(bool, userDefined);
    QFETCH(QString, format);
    QFETCH(int, targetType);
    QFETCH(QRect, targetRect);
    QFETCH(QString, fileName);

    SettingsStore& settings = SettingsStore::instance();
    settings.setValue(settings::kOutputGroup, settings::kUserDefinedFileName, userDefined);
    settings.setValue(settings::kOutputGroup, settings::kRecordingFileName, "out_file");
    settings.setValue(settings::kVideoGroup, settings::kVideoFormat, format);
    const QString folder = dir_.filePath(QStringLiteral("start_%1").arg(QTest::currentDataTag()));
    settings.setValue(settings::kOutputGroup, settings::kRecordingPath, folder);

    auto window = makeWindow();
    combo(*window, "comboBoxCaptureType")->setCurrentIndex(captureType);
    if (screenIndex >= 0)
        combo(*window, "comboBoxScreenWindows")->setCurrentIndex(screenIndex);
    QComboBox* audioList = combo(*window, "comboBoxAudioDevice");
    audioList->setCurrentIndex(audioList->findData(audio));

    QTest::mouseClick(button(*window, "toolButtonRecord"), Qt::LeftButton);

    QVERIFY2(boxes_.isEmpty(), boxes_.isEmpty() ? "" : qPrintable(boxes_.first().text));
    QVERIFY(QDir(folder).exists());
    QCOMPARE(calls_.configured, 1);
    QCOMPARE(calls_.started, 1);
    QCOMPARE(calls_.trigger, 0);
    QCOMPARE(calls_.audio, audio);
    QCOMPARE(QFileInfo(calls_.path).absolutePath(), QDir(folder).absolutePath());
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(fileName))
                 .match(QFileInfo(calls_.path).fileName())
                 .hasMatch(),
             qPrintable(calls_.path));
    QCOMPARE(int(calls_.target.targetType), targetType);
    QVERIFY(!calls_.target.areaMode);
    if (targetType == TargetScreen) {
        QCOMPARE(calls_.target.targetRect, targetRect);
    } else {
        QCOMPARE(calls_.target.targetTitle, pickedTitle_);
        QCOMPARE(calls_.target.targetWindow, kGameWindow);
    }
    verifyRecording(*window);
    QVERIFY(!button(*window, "toolButtonMarkRecordArea")->isEnabled());
}

void tst_MainWindow::areaModeHandsTheFramedRectangle()
{
    auto window = makeWindow();
    window->selectRecordingArea();
    QVERIFY(window->isAreaMode());
    AreaSelector* selector = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* candidate = qobject_cast<AreaSelector*>(widget))
            selector = candidate;
    QVERIFY(selector);
    // A selection on the second screen, as the overlay reports it.
    emit selector->areaSelected(QRect(2000, 100, 400, 300));
    delete selector;
    QVERIFY(window->currentAreaDisplay());

    window->startStopRecording();
    QCOMPARE(calls_.started, 1);
    QVERIFY(calls_.target.areaMode);
    QCOMPARE(int(calls_.target.targetType), int(TargetScreen));
    QCOMPARE(calls_.target.targetRect, secondScreen);
    QCOMPARE(calls_.captureArea, QRect(80, 100, 400, 300));

    window->startStopRecording();
    QCOMPARE(calls_.stops, QList<bool>{false});
    QVERIFY(!window->isAreaMode());
    QTRY_VERIFY(!window->currentAreaDisplay());
}

void tst_MainWindow::everyTriggerStartsAndStops_data()
{
    QTest::addColumn<Trigger>("startBy");
    QTest::addColumn<Trigger>("stopBy");
    QTest::newRow("record button") << Trigger::RecordButton << Trigger::RecordButton;
    QTest::newRow("tray action") << Trigger::TrayAction << Trigger::TrayAction;
    QTest::newRow("background bar") << Trigger::BackgroundBar << Trigger::BackgroundBar;
    QTest::newRow("session asks to stop") << Trigger::RecordButton << Trigger::SessionRequest;
}

void tst_MainWindow::everyTriggerStartsAndStops()
{
    QFETCH(Trigger, startBy);
    QFETCH(Trigger, stopBy);
    auto window = makeWindow();
    auto fire = [&](Trigger trigger) {
        switch (trigger) {
        case Trigger::RecordButton:
            QTest::mouseClick(button(*window, "toolButtonRecord"), Qt::LeftButton);
            break;
        case Trigger::TrayAction:
            window->trayRecordAction()->trigger();
            break;
        case Trigger::BackgroundBar:
            window->backgroundWindow()->startStopRecording();
            break;
        case Trigger::SessionRequest:
            emit window->recordingSession()->stopRecording();
            break;
        }
    };

    fire(startBy);
    QCOMPARE(calls_.started, 1);
    verifyRecording(*window);
    window->onTickTimeout();
    window->onTickTimeout();
    QCOMPARE(window->clockText(), QStringLiteral("00:00:02"));

    fire(stopBy);
    QCOMPARE(calls_.stops, QList<bool>{false});
    verifyIdle(*window);
    QCOMPARE(window->elapsedTime(), QTime(0, 0, 0));
    QVERIFY(button(*window, "toolButtonMarkRecordArea")->isEnabled());
    QCOMPARE(calls_.started, 1);
}

void tst_MainWindow::startThatStartsNothingIsUndone()
{
    calls_.startRuns = false;
    auto window = makeWindow();
    window->startStopRecording();
    QCOMPARE(calls_.started, 1);
    QCOMPARE(calls_.stops.size(), 1);
    verifyIdle(*window);
}

void tst_MainWindow::durationLimit_data()
{
    QTest::addColumn<QTime>("limit");
    QTest::addColumn<int>("pausedTicks"); // ticks while paused, after the second one
    QTest::addColumn<int>("stopTick");

    QTest::newRow("stops when 00:00:06 is reached") << QTime(0, 0, 5) << 0 << 6;
    QTest::newRow("paused seconds do not count") << QTime(0, 0, 5) << 3 << 9;
    QTest::newRow("one second") << QTime(0, 0, 1) << 0 << 2;
}

void tst_MainWindow::durationLimit()
{
    QFETCH(QTime, limit);
    QFETCH(int, pausedTicks);
    QFETCH(int, stopTick);

    auto window = makeWindow();
    window->findChild<QCheckBox*>(QStringLiteral("checkBoxRecordingDuration"))->setChecked(true);
    auto* edit = window->findChild<QTimeEdit*>(QStringLiteral("timeEditRecordingDuration"));
    QVERIFY(edit->isEnabled());
    edit->setTime(limit);
    window->startStopRecording();
    QVERIFY(window->isRecording());

    for (int tick = 1; tick < stopTick; ++tick) {
        if (tick == 3 && pausedTicks > 0)
            emit window->recordingSession()->pauseRecording();
        if (tick == 3 + pausedTicks && pausedTicks > 0)
            emit window->recordingSession()->resumeRecording();
        window->onTickTimeout();
        QVERIFY2(window->isRecording(), qPrintable(QStringLiteral("stopped on tick %1").arg(tick)));
    }
    QCOMPARE(window->elapsedTime(), limit);
    QCOMPARE(window->clockText(), limit.toString("hh:mm:ss"));
    window->onTickTimeout();
    QVERIFY(!window->isRecording());
    QCOMPARE(calls_.stops, QList<bool>{false});
    QCOMPARE(calls_.pauses, pausedTicks > 0 ? 1 : 0);
    QCOMPARE(calls_.resumes, pausedTicks > 0 ? 1 : 0);
    verifyIdle(*window);
    // The limit stays set for the next recording.
    QCOMPARE(edit->time(), limit);
    QVERIFY(edit->isEnabled());
}

void tst_MainWindow::recordingPreview_data()
{
    QTest::addColumn<bool>("recordingNow");
    QTest::addColumn<bool>("pausedNow");
    QTest::addColumn<bool>("previewSetting");
    QTest::addColumn<bool>("shown");
    QTest::newRow("recording") << true << false << true << true;
    QTest::newRow("paused") << true << true << true << false;
    QTest::newRow("preview off") << true << false << false << false;
    QTest::newRow("idle") << false << false << true << false;
}

void tst_MainWindow::recordingPreview()
{
    QFETCH(bool, recordingNow);
    QFETCH(bool, pausedNow);
    QFETCH(bool, previewSetting);
    QFETCH(bool, shown);

    auto window = makeWindow();
    window->resize(900, 600);
    QLabel* frame = label(*window, "labelFrame");
    if (recordingNow)
        window->startStopRecording();
    if (pausedNow)
        emit window->recordingSession()->pauseRecording();
    auto* preview = window->findChild<QCheckBox*>(QStringLiteral("checkBoxPreview"));
    if (preview->isChecked() != previewSetting)
        QTest::mouseClick(preview, Qt::LeftButton);
    QCOMPARE(SettingsStore::instance().value(settings::kUiGroup, settings::kEnablePreview).toBool(),
             previewSetting);
    frame->setPixmap(QPixmap()); // nothing shown before

    QImage image(320, 180, QImage::Format_RGB32);
    image.fill(Qt::red);
    emit window->recordingSession()->previewFrame(image);
    QCOMPARE(!frame->pixmap().isNull(), shown);
    if (shown) {
        // Scaled into the label with the aspect kept.
        const QSize size = frame->pixmap().size();
        QVERIFY(size.width() <= frame->width() && size.height() <= frame->height());
        QVERIFY(qAbs(size.width() * 9 - size.height() * 16) <= 16);
        QCOMPARE(frame->pixmap().toImage().pixelColor(size.width() / 2, size.height() / 2),
                 QColor(Qt::red));
    }
}

void tst_MainWindow::idlePreviewAndCpuFigure()
{
    auto window = makeWindow();
    window->resize(900, 600);
    combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
    window->updatePreviewWhenNotRecording();
    QLabel* frame = label(*window, "labelFrame");
    QVERIFY(!frame->pixmap().isNull());
    QCOMPARE(frame->pixmap().toImage().pixelColor(frame->pixmap().width() / 2,
                                                  frame->pixmap().height() / 2),
             QColor(Qt::darkGreen));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{1,3}\\.\\d%$"))
                .match(label(*window, "labelCPU")->text())
                .hasMatch());

    QTest::mouseClick(window->findChild<QCheckBox*>(QStringLiteral("checkBoxPreview")),
                      Qt::LeftButton);
    window->updatePreviewWhenNotRecording();
    QVERIFY(frame->pixmap().isNull());
}

void tst_MainWindow::backgroundMode_data()
{
    QTest::addColumn<bool>("tray");
    QTest::addColumn<bool>("recordingNow");
    QTest::newRow("with a tray, idle") << true << false;
    QTest::newRow("with a tray, recording") << true << true;
    QTest::newRow("without a tray") << false << false;
}

void tst_MainWindow::backgroundMode()
{
    QFETCH(bool, tray);
    QFETCH(bool, recordingNow);
    trayAvailable_ = tray;
    auto window = makeWindow();
    window->show();
    if (recordingNow)
        window->startStopRecording();

    QTest::mouseClick(button(*window, "toolButtonBgMode"), Qt::LeftButton);
    if (!tray) {
        QCOMPARE(boxes_.size(), 1);
        QCOMPARE(boxes_.first().icon, QMessageBox::Critical);
        QCOMPARE(boxes_.first().title, QStringLiteral("System Tray Error"));
        QCOMPARE(boxes_.first().text,
                 QStringLiteral("System tray is not available on this system.\nPlease check your "
                                "system settings or try running as administrator."));
        QVERIFY(window->isVisible());
        QVERIFY(!window->backgroundWindow()->isVisible());
        return;
    }
    QVERIFY(boxes_.isEmpty());
    QVERIFY(!window->isVisible());
    QVERIFY(window->backgroundWindow()->isVisible());
    if (recordingNow) {
        // The bar has the clock while it is shown; its record button stops.
        window->onTickTimeout();
        QCOMPARE(window->backgroundWindow()->findChild<QLabel*>("labelTimer")->text(),
                 QStringLiteral("00:00:01"));
        QCOMPARE(window->clockText(), QStringLiteral("00:00:00"));
        window->backgroundWindow()->findChild<QToolButton*>("toolButtonRecord")->click();
        QVERIFY(!window->isRecording());
        QCOMPARE(calls_.stops.size(), 1);
    }
    // The bar's restore button brings the window back.
    window->backgroundWindow()->findChild<QToolButton*>("toolButtonRestore")->click();
    QVERIFY(window->isVisible());
    QVERIFY(!window->backgroundWindow()->isVisible());
}

void tst_MainWindow::openRecordingsFolder_data()
{
    QTest::addColumn<bool>("creatable");
    QTest::newRow("missing folder is created and opened") << true;
    QTest::newRow("folder that cannot exist") << false;
}

void tst_MainWindow::openRecordingsFolder()
{
    QFETCH(bool, creatable);
    QFile blocker(dir_.filePath("not-a-folder"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    const QString folder = creatable ? dir_.filePath("open/me") : dir_.filePath("not-a-folder/x");
    SettingsStore::instance().setValue(settings::kOutputGroup, settings::kRecordingPath, folder);
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    auto window = makeWindow();

    QTest::mouseClick(button(*window, "toolButtonShowFolder"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    if (creatable) {
        QVERIFY(QDir(folder).exists());
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(folder)});
        QVERIFY(boxes_.isEmpty());
    } else {
        QVERIFY(catcher.urls.isEmpty());
        QCOMPARE(boxes_.size(), 1);
        QCOMPARE(boxes_.first().title, QStringLiteral("Folder not found"));
        QCOMPARE(boxes_.first().text, folder + QStringLiteral("  folder does not exist."));
    }
}

void tst_MainWindow::languageChangeKeepsStateAndSelection()
{
    auto window = makeWindow();
    QComboBox* audio = combo(*window, "comboBoxAudioDevice");
    audio->setCurrentIndex(audio->findData(QStringLiteral("No Audio")));
    window->startStopRecording();

    QEvent change(QEvent::LanguageChange);
    QApplication::sendEvent(window.get(), &change);
    QCOMPARE(audio->currentData().toString(), QStringLiteral("No Audio"));
    QCOMPARE(window->windowTitle(), QStringLiteral("QZT v2026.7.25.22"));
    verifyRecording(*window);
    QCOMPARE(button(*window, "toolButtonRecord")->toolTip(), QStringLiteral("Stop Recording."));
}

void tst_MainWindow::closingMidRecordingFinishesTheFile()
{
    auto window = makeWindow();
    window->show();
    window->startStopRecording();
    QVERIFY(window->isRecording());

    QVERIFY(window->close());
    // The session was told to finish before the window let go.
    QCOMPARE(calls_.stops, QList<bool>{false});
    QVERIFY(!window->isRecording());
    QVERIFY(!window->findChild<QTimer*>(QStringLiteral("previewTimer"))->isActive());
    QVERIFY(!window->findChild<QTimer*>(QStringLiteral("tickTimer"))->isActive());
    QVERIFY(!window->systemTrayIcon()->isVisible());
}

int main(int argc, char** argv)
{
    testsupport::isolateUserFolders();
    testsupport::useOffscreenScreens({firstScreen, secondScreen});
    QApplication app(argc, argv);
    tst_MainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MainWindow.moc"
