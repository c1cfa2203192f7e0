// The main window and its background bar on two fake offscreen screens, with the session's calls
// recorded instead of capturing: source lists, start checks, what the session is given, every
// trigger, the clock and its limit, preview, background mode and the recordings folder.
#include "support/MainWindowHarness.h"
#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"
#include "ui/AreaSelector.h"
#include "ui/BG_Mode_Window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

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

    QTemporaryDir dir_;
    MainWindowHarness h_;

private Q_SLOTS:
    void init() { h_.reset(dir_.filePath("videos")); }
    void cleanup() { MainWindowHarness::closeLeftovers(); }

    void sourceLists()
    {
        auto window = h_.makeWindow();
        QComboBox* sources = combo(*window, "comboBoxScreenWindows");
        QCOMPARE(sources->count(), 2);
        QCOMPARE(sources->itemText(1), QStringLiteral("\"Screen2\" 1280x1024, 96DPI"));
        QCOMPARE(combo(*window, "comboBoxAudioDevice")->currentData(), QVariant("System Audio"));
        QCOMPARE(window->windowTitle(), QStringLiteral("QZT v2026.7.25.22"));
        // The hidden sound toggle only flips; the recording's sound comes from the list.
        QVERIFY(window->toggleAudioCapture());
        QVERIFY(!window->toggleAudioCapture());
    }

    void windowKindTakesThePickedWindow_data()
    {
        QTest::addColumn<bool>("accepted");
        QTest::newRow("picked") << true;
        QTest::newRow("cancelled leaves the list empty") << false;
    }
    void windowKindTakesThePickedWindow()
    {
        QFETCH(bool, accepted);
        h_.pickerAccepts = accepted;
        auto window = h_.makeWindow();
        auto* area = child<QToolButton>(*window, "toolButtonMarkRecordArea");
        QComboBox* sources = combo(*window, "comboBoxScreenWindows");
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
        QCOMPARE(sources->currentText(), accepted ? h_.pickedTitle : QString());
        QVERIFY(!area->isEnabled());
        // A click on the list picks again instead of opening it; not so for screens.
        QTest::mouseClick(sources, Qt::LeftButton);
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(0);
        QTest::mouseClick(sources, Qt::LeftButton);
        QCOMPARE(h_.pickerRuns, 2);
        QCOMPARE(sources->count(), 2);
        QVERIFY(area->isEnabled());
    }

    // Each refused start shows one warning and leaves the window idle, as it was.
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
        const bool areaEnabled =
            child<QToolButton>(*window, "toolButtonMarkRecordArea")->isEnabled();

        click(*window, "toolButtonRecord");
        QCOMPARE(h_.boxes.size(), 1);
        QCOMPARE(h_.boxes.first().icon, QMessageBox::Warning);
        QTEST(h_.boxes.first().title, "title");
        QCOMPARE(h_.calls.started, 0);
        QCOMPARE(child<QToolButton>(*window, "toolButtonMarkRecordArea")->isEnabled(), areaEnabled);
        QCOMPARE(MainWindowHarness::state(*window), "idle");
    }

    void startHandsTheSourceToTheSession_data()
    {
        QTest::addColumn<int>("captureType");
        QTest::addColumn<QString>("audio");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("second screen without sound") << 0 << "No Audio" << QString("Screen2_");
        QTest::newRow("window by its title") << 1 << "System Audio" << QString("MyGameLevel2_");
    }
    void startHandsTheSourceToTheSession()
    {
        QFETCH(int, captureType);
        QFETCH(QString, audio);
        QFETCH(QString, fileName);
        const QString folder = dir_.filePath(QStringLiteral("new/%1").arg(captureType));
        setSetting(settings::kOutputGroup, settings::kRecordingPath, folder);
        auto window = h_.makeWindow();
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(captureType);
        combo(*window, "comboBoxScreenWindows")->setCurrentIndex(captureType == 0 ? 1 : 0);
        QComboBox* audioList = combo(*window, "comboBoxAudioDevice");
        audioList->setCurrentIndex(audioList->findData(audio));

        click(*window, "toolButtonRecord");
        QCOMPARE(h_.calls.started, 1);
        QCOMPARE(h_.calls.audio, audio);
        const QFileInfo path(h_.calls.path);
        QCOMPARE(path.absolutePath(), QDir(folder).absolutePath());
        QVERIFY2(path.fileName().startsWith(fileName), qPrintable(h_.calls.path));
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
        QTest::newRow("background bar") << "bar" << QString("bar");
        QTest::newRow("start/stop shortcut") << "shortcut" << QString("shortcut");
        QTest::newRow("session asks to stop") << "button" << QString("session");
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
            else if (trigger == "bar")
                window->backgroundWindow()->startStopRecording();
            else if (trigger == "shortcut")
                QTest::keyClick(window.get(), Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
            else
                emit window->recordingSession()->stopRecording();
        };
        fire(start);
        QCOMPARE(h_.calls.started, 1);
        QCOMPARE(MainWindowHarness::state(*window), "recording");
        window->onTickTimeout();
        QCOMPARE(window->clockText(), QStringLiteral("00:00:01"));
        fire(stop);
        QCOMPARE(h_.calls.stops, QList<bool>{false});
        QVERIFY(child<QToolButton>(*window, "toolButtonMarkRecordArea")->isEnabled());
        QCOMPARE(MainWindowHarness::state(*window), "idle");
    }

    void startThatStartsNothingIsUndone()
    {
        h_.calls.startRuns = false;
        auto window = h_.makeWindow();
        window->startStopRecording();
        QCOMPARE(h_.calls.stops, QList<bool>{true});
        QCOMPARE(MainWindowHarness::state(*window), "idle");
    }

    // A limit of 00:00:05 stops on the sixth second; paused seconds do not count.
    void durationLimit()
    {
        auto window = h_.makeWindow();
        child<QCheckBox>(*window, "checkBoxRecordingDuration")->setChecked(true);
        auto* edit = child<QTimeEdit>(*window, "timeEditRecordingDuration");
        edit->setTime(QTime(0, 0, 5));
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
        // The limit stays set for the next recording.
        QCOMPARE(edit->time(), QTime(0, 0, 5));
        QVERIFY(edit->isEnabled());
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
        // Idle: the picked window's picture, and the CPU figure.
        combo(*window, "comboBoxCaptureType")->setCurrentIndex(1);
        window->updatePreviewWhenNotRecording();
        QCOMPARE(shown(), QColor(Qt::darkGreen));
        QVERIFY(child<QLabel>(*window, "labelCPU")->text().endsWith('%'));

        // Recording: the session's frames, scaled into the label with the aspect kept.
        QImage image(320, 180, QImage::Format_RGB32);
        image.fill(Qt::red);
        window->startStopRecording();
        emit window->recordingSession()->previewFrame(image);
        QCOMPARE(shown(), QColor(Qt::red));
        const QSize size = frame->pixmap().size();
        QVERIFY(size.width() <= frame->width() && qAbs(size.width() * 9 - size.height() * 16) < 16);
        // Nothing new while paused, nothing with the preview off.
        emit window->recordingSession()->pauseRecording();
        image.fill(Qt::blue);
        emit window->recordingSession()->previewFrame(image);
        QCOMPARE(shown(), QColor(Qt::red));
        emit window->recordingSession()->resumeRecording();
        QTest::mouseClick(child<QCheckBox>(*window, "checkBoxPreview"), Qt::LeftButton);
        QCOMPARE(SettingsStore::instance().value(settings::kUiGroup, settings::kEnablePreview),
                 QVariant(false));
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
        QVERIFY(!bar->isVisible());
    }

    // The bar shows at the top centre of its screen, follows a drag, and fades out while the
    // pointer is away, staying on screen to be found again.
    void backgroundBarPlacementDragAndFade()
    {
        BG_Mode_Window bar;
        bar.setFixedWidth(301);
        bar.move(2500, 600);
        bar.show();
        QCOMPARE(bar.pos(), QPoint(2409, 0));
        for (auto [type, at] : {std::pair{QEvent::MouseButtonPress, QPoint(2500, 20)},
                                std::pair{QEvent::MouseMove, QPoint(2600, 500)},
                                std::pair{QEvent::MouseButtonRelease, QPoint(2600, 500)}}) {
            QMouseEvent event(type, bar.mapFromGlobal(QPointF(at)), QPointF(at),
                              type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                              type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                              {});
            QApplication::sendEvent(&bar, &event);
        }
        QTRY_COMPARE(bar.pos(), QPoint(2509, 480));

        auto* hideTimer = bar.findChild<QTimer*>("hideTimer");
        auto* fade = bar.findChild<QPropertyAnimation*>("fade");
        QVERIFY(hideTimer->isActive()); // a bar nobody touches fades too
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&bar, &leave);
        QMetaObject::invokeMethod(hideTimer, "timeout");
        fade->setCurrentTime(fade->duration());
        QVERIFY(bar.windowOpacity() < 0.02 && bar.isVisible());
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(2514, 485));
        QApplication::sendEvent(&bar, &enter);
        QVERIFY(!hideTimer->isActive());
        fade->setCurrentTime(fade->duration());
        QCOMPARE(bar.windowOpacity(), 1.0);
        bar.hide();
        bar.show();
        QCOMPARE(bar.pos(), QPoint(2409, 0));
    }

    void openRecordingsFolder_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("missing folder is made and opened") << "open/me";
        QTest::newRow("folder that cannot exist") << "plain-file/x";
    }
    void openRecordingsFolder()
    {
        QFETCH(QString, folder);
        QFile blocker(dir_.filePath("plain-file"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        setSetting(settings::kOutputGroup, settings::kRecordingPath, dir_.filePath(folder));
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
        auto window = h_.makeWindow();
        click(*window->backgroundWindow(), "toolButtonShowFolder");
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        const bool made = QDir(dir_.filePath(folder)).exists();
        QCOMPARE(made, folder == "open/me");
        QCOMPARE(catcher.urls,
                 made ? QList{QUrl::fromLocalFile(dir_.filePath(folder))} : QList<QUrl>());
        QCOMPARE(h_.boxes.size(), made ? 0 : 1);
    }

    void languageChangeKeepsStateAndSelection()
    {
        auto window = h_.makeWindow();
        QComboBox* audio = combo(*window, "comboBoxAudioDevice");
        audio->setCurrentIndex(audio->findData("No Audio"));
        window->startStopRecording();
        QEvent change(QEvent::LanguageChange);
        QApplication::sendEvent(window.get(), &change);
        QCOMPARE(audio->currentData(), QVariant("No Audio"));
        QCOMPARE(window->windowTitle(), QStringLiteral("QZT v2026.7.25.22"));
        QCOMPARE(MainWindowHarness::state(*window), "recording");
    }
};

OFFSCREEN_TEST_MAIN(tst_MainWindow, firstScreen, secondScreen)

#include "tst_MainWindow.moc"
