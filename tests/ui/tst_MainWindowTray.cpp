// The main window around a recording, on two fake offscreen screens with the session's calls
// recorded: preview and CPU figure, background mode and the tray, the recordings folder, language
// change and closing.
#include "support/MainWindowHarness.h"
#include "support/OffscreenScreens.h"
#include "support/TestSupport.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"
#include "ui/BG_Mode_Window.h"
#include "ui/MainWindow.h"

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
#include <QDesktopServices>
#include <QSignalSpy>
#include <QUrl>

using testsupport::MainWindowHarness;

namespace {

const QRect firstScreen(0, 0, 1920, 1080);
const QRect secondScreen(1920, 0, 1280, 1024);
constexpr auto combo = &MainWindowHarness::combo;
constexpr auto button = &MainWindowHarness::button;
constexpr auto label = &MainWindowHarness::label;
constexpr auto checkBox = &MainWindowHarness::checkBox;
constexpr auto timeEdit = &MainWindowHarness::timeEdit;

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

class tst_MainWindowTray : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void recordingPreview_data();
    void recordingPreview();
    void idlePreviewAndCpuFigure();
    void backgroundMode_data();
    void backgroundMode();
    void openRecordingsFolder_data();
    void openRecordingsFolder();
    void languageChangeKeepsStateAndSelection();
    void closingMidRecordingFinishesTheFile();
    void minimizeWhenRecording();
    void audioToggleFlipsItsLook();

private:
    QTemporaryDir dir_;
    MainWindowHarness h_;
};

void tst_MainWindowTray::initTestCase()
{
    QVERIFY(dir_.isValid());
    QCOMPARE(QGuiApplication::screens().size(), 2);
}

void tst_MainWindowTray::init()
{
    h_.reset(dir_.filePath("videos"));
}

void tst_MainWindowTray::cleanup()
{
    MainWindowHarness::closeLeftovers();
}

void tst_MainWindowTray::recordingPreview_data()
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

void tst_MainWindowTray::recordingPreview()
{
    QFETCH(bool, recordingNow);
    QFETCH(bool, pausedNow);
    QFETCH(bool, previewSetting);
    QFETCH(bool, shown);

    auto window = h_.makeWindow();
    window->resize(900, 600);
    QLabel* frame = label(*window, "labelFrame");
    if (recordingNow)
        window->startStopRecording();
    if (pausedNow)
        emit window->recordingSession()->pauseRecording();
    auto* preview = checkBox(*window, "checkBoxPreview");
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

void tst_MainWindowTray::idlePreviewAndCpuFigure()
{
    auto window = h_.makeWindow();
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

    QTest::mouseClick(checkBox(*window, "checkBoxPreview"), Qt::LeftButton);
    window->updatePreviewWhenNotRecording();
    QVERIFY(frame->pixmap().isNull());
}

void tst_MainWindowTray::backgroundMode_data()
{
    QTest::addColumn<bool>("tray");
    QTest::addColumn<bool>("recordingNow");
    QTest::newRow("with a tray, idle") << true << false;
    QTest::newRow("with a tray, recording") << true << true;
    QTest::newRow("without a tray") << false << false;
}

void tst_MainWindowTray::backgroundMode()
{
    QFETCH(bool, tray);
    QFETCH(bool, recordingNow);
    h_.trayAvailable = tray;
    auto window = h_.makeWindow();
    window->show();
    if (recordingNow)
        window->startStopRecording();

    QTest::mouseClick(button(*window, "toolButtonBgMode"), Qt::LeftButton);
    if (!tray) {
        QCOMPARE(h_.boxes.size(), 1);
        QCOMPARE(h_.boxes.first().icon, QMessageBox::Critical);
        QCOMPARE(h_.boxes.first().title, QStringLiteral("System Tray Error"));
        QCOMPARE(h_.boxes.first().text,
                 QStringLiteral("System tray is not available on this system.\nPlease check your "
                                "system settings or try running as administrator."));
        QVERIFY(window->isVisible());
        QVERIFY(!window->backgroundWindow()->isVisible());
        return;
    }
    QVERIFY(h_.boxes.isEmpty());
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
        QCOMPARE(h_.calls.stops.size(), 1);
    }
    // The bar's restore button brings the window back.
    window->backgroundWindow()->findChild<QToolButton*>("toolButtonRestore")->click();
    QVERIFY(window->isVisible());
    QVERIFY(!window->backgroundWindow()->isVisible());
}

void tst_MainWindowTray::openRecordingsFolder_data()
{
    QTest::addColumn<bool>("creatable");
    QTest::newRow("missing folder is created and opened") << true;
    QTest::newRow("folder that cannot exist") << false;
}

void tst_MainWindowTray::openRecordingsFolder()
{
    QFETCH(bool, creatable);
    QFile blocker(dir_.filePath("not-a-folder"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    const QString folder = creatable ? dir_.filePath("open/me") : dir_.filePath("not-a-folder/x");
    SettingsStore::instance().setValue(settings::kOutputGroup, settings::kRecordingPath, folder);
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    auto window = h_.makeWindow();

    QTest::mouseClick(button(*window, "toolButtonShowFolder"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    if (creatable) {
        QVERIFY(QDir(folder).exists());
        QCOMPARE(catcher.urls, QList<QUrl>{QUrl::fromLocalFile(folder)});
        QVERIFY(h_.boxes.isEmpty());
    } else {
        QVERIFY(catcher.urls.isEmpty());
        QCOMPARE(h_.boxes.size(), 1);
        QCOMPARE(h_.boxes.first().title, QStringLiteral("Folder not found"));
        QCOMPARE(h_.boxes.first().text, folder + QStringLiteral("  folder does not exist."));
    }
}

void tst_MainWindowTray::languageChangeKeepsStateAndSelection()
{
    auto window = h_.makeWindow();
    QComboBox* audio = combo(*window, "comboBoxAudioDevice");
    audio->setCurrentIndex(audio->findData(QStringLiteral("No Audio")));
    window->startStopRecording();

    QEvent change(QEvent::LanguageChange);
    QApplication::sendEvent(window.get(), &change);
    QCOMPARE(audio->currentData().toString(), QStringLiteral("No Audio"));
    QCOMPARE(window->windowTitle(), QStringLiteral("QZT v2026.7.25.22"));
    VERIFY_RECORDING(*window);
    QCOMPARE(button(*window, "toolButtonRecord")->toolTip(), QStringLiteral("Stop Recording."));
}

void tst_MainWindowTray::closingMidRecordingFinishesTheFile()
{
    auto window = h_.makeWindow();
    window->show();
    window->startStopRecording();
    QVERIFY(window->isRecording());

    QVERIFY(window->close());
    // The session was told to finish before the window let go.
    QCOMPARE(h_.calls.stops, QList<bool>{false});
    QVERIFY(!window->isRecording());
    QVERIFY(!window->findChild<QTimer*>(QStringLiteral("previewTimer"))->isActive());
    QVERIFY(!window->findChild<QTimer*>(QStringLiteral("tickTimer"))->isActive());
    QVERIFY(!window->systemTrayIcon()->isVisible());
}

void tst_MainWindowTray::minimizeWhenRecording()
{
    h_.trayAvailable = true;
    SettingsStore::instance().setValue(settings::kUiGroup, settings::kMinimizeWhenRecording, true);
    auto window = h_.makeWindow();
    window->show();
    window->startStopRecording();
    VERIFY_RECORDING(*window);
    QVERIFY(!window->isVisible());
    QVERIFY(window->backgroundWindow()->isVisible());
    // The bar knows a recording runs: its button asks to stop (3), not to start (2).
    QSignalSpy requests(window->backgroundWindow(), &BG_Mode_Window::bg_mode_win_signal);
    window->backgroundWindow()->findChild<QToolButton*>("toolButtonRecord")->click();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().first().toInt(), 3);
    VERIFY_IDLE(*window);
}

void tst_MainWindowTray::audioToggleFlipsItsLook()
{
    auto window = h_.makeWindow();
    QToolButton* toggle = button(*window, "toolButtonAudiCapture");
    QVERIFY(window->toggleAudioCapture());
    QVERIFY(toggle->styleSheet().contains(QStringLiteral("#41A7F6")));
    QVERIFY(!window->toggleAudioCapture());
    QVERIFY(toggle->styleSheet().contains(QStringLiteral("#000000")));
    // The recording's sound still comes from the list.
    window->startStopRecording();
    QCOMPARE(h_.calls.audio, QStringLiteral("System Audio"));
}

OFFSCREEN_TEST_MAIN(tst_MainWindowTray, firstScreen, secondScreen)

#include "tst_MainWindowTray.moc"
