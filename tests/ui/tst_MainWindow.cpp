// The main window and its background bar on two fake offscreen screens, with the session's calls
// recorded instead of capturing: start checks, what the session is given, every trigger, the
// clock and its limit, preview and background mode.
#include "support/MainWindowHarness.h"
#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"
#include "ui/AreaSelector.h"
#include "ui/BG_Mode_Window.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QToolButton>

using testsupport::child;
using testsupport::MainWindowHarness;

namespace {

const QRect firstScreen(0, 0, 1920, 1080);
const QRect secondScreen(1920, 0, 1280, 1024);

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

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    MainWindowHarness h_;

private Q_SLOTS:
    void init() { h_.reset(dir_.filePath("videos")); }
    void cleanup() { MainWindowHarness::closeLeftovers(); }

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
        h_.pickerAccepts = setup != "no window";
        auto window = h_.makeWindow();
        QComboBox* sources = combo(*window, "comboBoxScreenWindows");
        if (setup.contains("window"))
            combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
        if (setup == "closed window")
            h_.desktop.shown.clear();
        if (setup == "no screen")
            sources->setCurrentIndex(-1);
        if (setup == "geometry")
            sources->setItemData(0, QStringLiteral("not a rectangle"));
        QFile blocker(dir_.filePath("plain-file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        if (setup == "folder")
            setSetting(settings::kOutputGroup, settings::kRecordingPath, blocker.fileName() + "/x");

        click(*window, "toolButtonRecord");
        QCOMPARE(h_.boxes.size(), 1);
        QCOMPARE(h_.boxes.first().icon, QMessageBox::Warning);
        QTEST(h_.boxes.first().title, "title");
        QCOMPARE(h_.calls.started, 0);
        QCOMPARE(MainWindowHarness::state(*window), "idle");
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
        auto window = h_.makeWindow();
        QCOMPARE(combo(*window, "comboBoxScreenWindows")->itemText(1),
                 QStringLiteral("\"Screen2\" 1280x1024, 96DPI"));
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(captureType);
        combo(*window, "comboBoxScreenWindows")->setCurrentIndex(captureType == 0 ? 1 : 0);
        QComboBox* audioList = combo(*window, "comboBoxAudioDevice");
        QCOMPARE(audioList->currentData(), QVariant("System Audio"));
        audioList->setCurrentIndex(audioList->findData(audio));

        click(*window, "toolButtonRecord");
        QCOMPARE(h_.calls.started, 1);
        QCOMPARE(h_.calls.audio, audio);
        QCOMPARE(QFileInfo(h_.calls.path).absolutePath(), QDir(folder).absolutePath());
        QVERIFY(!h_.calls.target.areaMode);
        QCOMPARE(int(h_.calls.target.targetType), captureType == 0 ? TargetScreen : TargetWindow);
        if (captureType == 0)
            QCOMPARE(h_.calls.target.targetRect, secondScreen);
        else
            QCOMPARE(h_.calls.target.targetWindow, MainWindowHarness::kPickedWindow);
        QCOMPARE(MainWindowHarness::state(*window), "recording");
    }

    void areaModeHandsTheFramedRectangle()
    {
        auto window = h_.makeWindow();
        window->selectRecordingArea();
        AreaSelector* selector = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets())
            selector = selector ? selector : qobject_cast<AreaSelector*>(widget);
        QVERIFY(selector);
        // A selection on the second screen, as the overlay reports it.
        emit selector->areaSelected(QRect(2000, 100, 400, 300));
        delete selector;

        window->startStopRecording();
        QVERIFY(h_.calls.target.areaMode);
        QCOMPARE(h_.calls.target.targetRect, secondScreen);
        QCOMPARE(h_.calls.captureArea, QRect(80, 100, 400, 300));
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
        auto window = h_.makeWindow();
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
        h_.calls.startRuns = start != "nothing";
        fire(start == "nothing" ? "button" : start);
        QCOMPARE(h_.calls.started, 1);
        QCOMPARE(MainWindowHarness::state(*window), stop == "none" ? "idle" : "recording");
        fire(stop);
        // The window must not count a recording that does not exist: stopped at once, quietly.
        QCOMPARE(h_.calls.stops, QList<bool>{stop == "none"});
        QCOMPARE(MainWindowHarness::state(*window), "idle");
    }

    // A limit of 00:00:05 stops on the sixth second; paused seconds do not count.
    void durationLimit()
    {
        auto window = h_.makeWindow();
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
        QCOMPARE(h_.calls.pauses + h_.calls.resumes, 2);
        QVERIFY(h_.calls.stops.isEmpty());
        window->onTickTimeout();
        QCOMPARE(h_.calls.stops, QList<bool>{false});
        QCOMPARE(MainWindowHarness::state(*window), "idle");
        QVERIFY(child<QTimeEdit>(*window, "timeEditRecordingDuration")->isEnabled());
    }

    void preview()
    {
        auto window = h_.makeWindow();
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
        QTest::newRow("idle") << true << "button";
        QTest::newRow("recording") << true << "button recording";
        QTest::newRow("minimise when recording") << true << "setting";
        QTest::newRow("without a tray") << false << "button";
    }
    void backgroundMode()
    {
        QFETCH(bool, tray);
        QFETCH(QString, how);
        h_.trayAvailable = tray;
        setSetting(settings::kUiGroup, settings::kMinimizeWhenRecording, how == "setting");
        auto window = h_.makeWindow();
        window->show();
        BG_Mode_Window* bar = window->backgroundWindow();
        if (how != "button")
            window->startStopRecording();
        if (how != "setting")
            click(*window, "toolButtonBgMode");
        QCOMPARE(h_.boxes.size(), tray ? 0 : 1);
        QCOMPARE(window->isVisible(), !tray);
        QCOMPARE(bar->isVisible(), tray);
        if (window->isRecording()) {
            // The bar has the clock while it is shown; its record button stops.
            window->onTickTimeout();
            QCOMPARE(child<QLabel>(*bar, "labelTimer")->text(), QStringLiteral("00:00:01"));
            click(*bar, "toolButtonRecord");
            QCOMPARE(MainWindowHarness::state(*window), "idle");
        }
        click(*bar, "toolButtonRestore");
        QVERIFY(window->isVisible());
    }
};

OFFSCREEN_TEST_MAIN(tst_MainWindow, firstScreen, secondScreen)

#include "tst_MainWindow.moc"
