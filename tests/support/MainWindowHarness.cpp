#include "MainWindowHarness.h"

#include "ListedWindows.h"
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTimeEdit>
#include <QAction>
#include <QTest>
#include <QTimer>
#include <QToolButton>

namespace testsupport {

void MainWindowHarness::reset(const QString& recordingsFolder)
{
    SettingsStore& settings = SettingsStore::instance();
    settings.setValue(settings::kOutputGroup, settings::kRecordingPath, recordingsFolder);
    settings.setValue(settings::kOutputGroup, settings::kUserDefinedFileName, false);
    settings.setValue(settings::kVideoGroup, settings::kVideoFormat, settings::kFormatMp4);
    settings.setValue(settings::kUiGroup, settings::kEnablePreview, true);
    settings.setValue(settings::kUiGroup, settings::kMinimizeWhenRecording, false);
    calls = SessionCalls();
    boxes.clear();
    liveWindows = {kPickedWindow};
    pickerAccepts = true;
    pickerRuns = 0;
    pickedTitle = QStringLiteral("My Game: Level 2");
    trayAvailable = false;
}

void MainWindowHarness::closeLeftovers()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->inherits("AreaSelector"))
            delete widget;
}

std::unique_ptr<MainWindow> MainWindowHarness::makeWindow()
{
    auto window = std::make_unique<MainWindow>();
    window->setSessionControl(std::make_unique<RecordedSession>(&calls));
    const QRect monitor = QGuiApplication::primaryScreen()->geometry();
    window->setWindowSystem(std::make_unique<ListedWindows>(&liveWindows, kWindowPicture, monitor));
    window->setBoxHandler(
        [this](QMessageBox::Icon icon, const QString& title, const QString& text) {
            boxes.append({icon, title, text});
        });
    window->setWindowPicker([this](QWidget*, const QPoint&, QString* title, NativeWindow* id) {
        ++pickerRuns;
        if (!pickerAccepts)
            return false;
        *title = pickedTitle;
        *id = kPickedWindow;
        return true;
    });
    window->setTrayAvailabilityCheck([this] { return trayAvailable; });
    window->recordingSession()->setBoxHandler([](const SessionBox&) { return true; });
    return window;
}

void MainWindowHarness::verifyIdle(MainWindow& window)
{
    QVERIFY(!window.isRecording());
    QCOMPARE(window.clockText(), QStringLiteral("00:00:00"));
    QCOMPARE(label(window, "labelRecord")->text(), QStringLiteral("START"));
    QCOMPARE(window.trayRecordAction()->text(), QStringLiteral("Start Recording"));
    QVERIFY(!window.findChild<QTimer*>(QStringLiteral("tickTimer"))->isActive());
    QVERIFY(combo(window, "comboBoxCaptureType")->isEnabled());
    QVERIFY(combo(window, "comboBoxAudioDevice")->isEnabled());
    QVERIFY(checkBox(window, "checkBoxRecordingDuration")->isEnabled());
}

void MainWindowHarness::verifyRecording(MainWindow& window)
{
    QVERIFY(window.isRecording());
    QCOMPARE(label(window, "labelRecord")->text(), QStringLiteral("STOP"));
    QCOMPARE(window.trayRecordAction()->text(), QStringLiteral("Stop Recording"));
    QVERIFY(window.findChild<QTimer*>(QStringLiteral("tickTimer"))->isActive());
    for (const char* name : {"comboBoxCaptureType", "comboBoxScreenWindows", "comboBoxAudioDevice"})
        QVERIFY2(!combo(window, name)->isEnabled(), name);
    QVERIFY(!button(window, "toolButtonRefresh")->isEnabled());
    QVERIFY(!checkBox(window, "checkBoxRecordingDuration")->isEnabled());
    QVERIFY(!timeEdit(window, "timeEditRecordingDuration")->isEnabled());
}

QComboBox* MainWindowHarness::combo(MainWindow& window, const char* name)
{
    return window.findChild<QComboBox*>(QLatin1String(name));
}

QToolButton* MainWindowHarness::button(MainWindow& window, const char* name)
{
    return window.findChild<QToolButton*>(QLatin1String(name));
}

QLabel* MainWindowHarness::label(MainWindow& window, const char* name)
{
    return window.findChild<QLabel*>(QLatin1String(name));
}

QCheckBox* MainWindowHarness::checkBox(MainWindow& window, const char* name)
{
    return window.findChild<QCheckBox*>(QLatin1String(name));
}

QTimeEdit* MainWindowHarness::timeEdit(MainWindow& window, const char* name)
{
    return window.findChild<QTimeEdit*>(QLatin1String(name));
}

} // namespace testsupport
