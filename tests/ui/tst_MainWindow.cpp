// The main window's source lists and start and stop procedures on two fake offscreen screens,
// with the session's calls recorded instead of capturing: start checks and their boxes, what the
// session is given, area mode, every trigger, the clock and the duration limit.
#include "support/MainWindowHarness.h"
#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"
#include "ui/BG_Mode_Window.h"
#include "ui/MainWindow.h"
#include "ui/AreaSelector.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QRegularExpression>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeEdit>
#include <QTimer>
#include <QToolButton>

using testsupport::MainWindowHarness;

namespace {

const QRect firstScreen(0, 0, 1920, 1080);
const QRect secondScreen(1920, 0, 1280, 1024);
constexpr auto combo = &MainWindowHarness::combo;
constexpr auto button = &MainWindowHarness::button;
constexpr auto label = &MainWindowHarness::label;
constexpr auto checkBox = &MainWindowHarness::checkBox;
constexpr auto timeEdit = &MainWindowHarness::timeEdit;

enum class Setup { ClosedWindow, UncreatableFolder, NoScreen, NoWindow, ScreenWithoutGeometry };
enum class Trigger { RecordButton, TrayAction, BackgroundBar, SessionRequest };

} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Trigger)

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

private:
    QTemporaryDir dir_;
    MainWindowHarness h_;
};

void tst_MainWindow::initTestCase()
{
    QVERIFY(dir_.isValid());
    QCOMPARE(QGuiApplication::screens().size(), 2);
}

void tst_MainWindow::init()
{
    h_.reset(dir_.filePath("videos"));
}

void tst_MainWindow::cleanup()
{
    MainWindowHarness::closeLeftovers();
}

void tst_MainWindow::sourceListNamesEveryScreen()
{
    auto window = h_.makeWindow();
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
    h_.pickerAccepts = accepted;
    auto window = h_.makeWindow();
    combo(*window, "comboBoxAudioDevice")
        ->setCurrentIndex(
            combo(*window, "comboBoxAudioDevice")->findData(QStringLiteral("No Audio")));

    combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
    QComboBox* sources = combo(*window, "comboBoxScreenWindows");
    QCOMPARE(sources->count(), entries);
    if (accepted)
        QCOMPARE(sources->currentText(), h_.pickedTitle);
    QCOMPARE(combo(*window, "comboBoxAudioDevice")->currentData().toString(),
             QStringLiteral("System Audio"));
    QVERIFY(!button(*window, "toolButtonMarkRecordArea")->isEnabled());
    QCOMPARE(h_.pickerRuns, 1);

    // A click on the list picks again instead of opening the list.
    QTest::mouseClick(sources, Qt::LeftButton);
    QCOMPARE(h_.pickerRuns, 2);
    QCOMPARE(sources->count(), entries);

    // Back to screens: the area button is usable again.
    combo(*window, "comboBoxCaptureType")->setCurrentIndex(0);
    QCOMPARE(sources->count(), 2);
    QVERIFY(button(*window, "toolButtonMarkRecordArea")->isEnabled());
    QTest::mouseClick(sources, Qt::LeftButton);
    QCOMPARE(h_.pickerRuns, 2);
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

    h_.pickerAccepts = setup != Setup::NoWindow;
    auto window = h_.makeWindow();
    QComboBox* sources = combo(*window, "comboBoxScreenWindows");
    switch (setup) {
    case Setup::ClosedWindow:
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
        h_.liveWindows.clear();
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

    QCOMPARE(h_.boxes.size(), 1);
    QCOMPARE(h_.boxes.first().icon, QMessageBox::Warning);
    QCOMPARE(h_.boxes.first().title, title);
    QCOMPARE(h_.boxes.first().text, text);
    QCOMPARE(h_.calls.configured, 0);
    QCOMPARE(h_.calls.started, 0);
    VERIFY_IDLE(*window);
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

    auto window = h_.makeWindow();
    combo(*window, "comboBoxCaptureType")->setCurrentIndex(captureType);
    if (screenIndex >= 0)
        combo(*window, "comboBoxScreenWindows")->setCurrentIndex(screenIndex);
    QComboBox* audioList = combo(*window, "comboBoxAudioDevice");
    audioList->setCurrentIndex(audioList->findData(audio));

    QTest::mouseClick(button(*window, "toolButtonRecord"), Qt::LeftButton);

    QVERIFY2(h_.boxes.isEmpty(), h_.boxes.isEmpty() ? "" : qPrintable(h_.boxes.first().text));
    QVERIFY(QDir(folder).exists());
    QCOMPARE(h_.calls.configured, 1);
    QCOMPARE(h_.calls.started, 1);
    QCOMPARE(h_.calls.trigger, 0);
    QCOMPARE(h_.calls.audio, audio);
    QCOMPARE(QFileInfo(h_.calls.path).absolutePath(), QDir(folder).absolutePath());
    QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(fileName))
                 .match(QFileInfo(h_.calls.path).fileName())
                 .hasMatch(),
             qPrintable(h_.calls.path));
    QCOMPARE(int(h_.calls.target.targetType), targetType);
    QVERIFY(!h_.calls.target.areaMode);
    if (targetType == TargetScreen) {
        QCOMPARE(h_.calls.target.targetRect, targetRect);
    } else {
        QCOMPARE(h_.calls.target.targetTitle, h_.pickedTitle);
        QCOMPARE(h_.calls.target.targetWindow, MainWindowHarness::kPickedWindow);
    }
    VERIFY_RECORDING(*window);
    QVERIFY(!button(*window, "toolButtonMarkRecordArea")->isEnabled());
}

void tst_MainWindow::areaModeHandsTheFramedRectangle()
{
    auto window = h_.makeWindow();
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
    QCOMPARE(h_.calls.started, 1);
    QVERIFY(h_.calls.target.areaMode);
    QCOMPARE(int(h_.calls.target.targetType), int(TargetScreen));
    QCOMPARE(h_.calls.target.targetRect, secondScreen);
    QCOMPARE(h_.calls.captureArea, QRect(80, 100, 400, 300));

    window->startStopRecording();
    QCOMPARE(h_.calls.stops, QList<bool>{false});
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
    auto window = h_.makeWindow();
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
    QCOMPARE(h_.calls.started, 1);
    VERIFY_RECORDING(*window);
    window->onTickTimeout();
    window->onTickTimeout();
    QCOMPARE(window->clockText(), QStringLiteral("00:00:02"));

    fire(stopBy);
    QCOMPARE(h_.calls.stops, QList<bool>{false});
    VERIFY_IDLE(*window);
    QCOMPARE(window->elapsedTime(), QTime(0, 0, 0));
    QVERIFY(button(*window, "toolButtonMarkRecordArea")->isEnabled());
    QCOMPARE(h_.calls.started, 1);
}

void tst_MainWindow::startThatStartsNothingIsUndone()
{
    h_.calls.startRuns = false;
    auto window = h_.makeWindow();
    window->startStopRecording();
    QCOMPARE(h_.calls.started, 1);
    QCOMPARE(h_.calls.stops.size(), 1);
    VERIFY_IDLE(*window);
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

    auto window = h_.makeWindow();
    checkBox(*window, "checkBoxRecordingDuration")->setChecked(true);
    auto* edit = timeEdit(*window, "timeEditRecordingDuration");
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
    QCOMPARE(h_.calls.stops, QList<bool>{false});
    QCOMPARE(h_.calls.pauses, pausedTicks > 0 ? 1 : 0);
    QCOMPARE(h_.calls.resumes, pausedTicks > 0 ? 1 : 0);
    VERIFY_IDLE(*window);
    // The limit stays set for the next recording.
    QCOMPARE(edit->time(), limit);
    QVERIFY(edit->isEnabled());
}

OFFSCREEN_TEST_MAIN(tst_MainWindow, firstScreen, secondScreen)

#include "tst_MainWindow.moc"
