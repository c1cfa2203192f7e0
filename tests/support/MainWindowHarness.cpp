#include "MainWindowHarness.h"

#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "capture/screen_capture_win.h"
#include "ui/RecordingSessionControl.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QTimer>

namespace testsupport {

namespace {

class RecordedSession : public RecordingSessionControl
{
public:
    explicit RecordedSession(SessionCalls* calls) : c_(calls) {}

    void configure(const QString& audio, const QString& path, QLabel*) override
    {
        c_->audio = audio;
        c_->path = path;
    }
    void setTarget(const RecordingTarget& target) override { c_->target = target; }
    void setCaptureArea(int x, int y, int w, int h) override { c_->captureArea = {x, y, w, h}; }
    void setStartTrigger(std::int32_t) override {}
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
    }
    void pause() override { ++c_->pauses; }
    void resume() override { ++c_->resumes; }

private:
    SessionCalls* c_;
};

} // namespace

void MainWindowHarness::reset(const QString& recordingsFolder)
{
    SettingsStore& settings = SettingsStore::instance();
    settings.setValue(settings::kOutputGroup, settings::kRecordingPath, recordingsFolder);
    settings.setValue(settings::kUiGroup, settings::kEnablePreview, true);
    calls = SessionCalls();
    boxes.clear();
    desktop = FakeDesktop();
    desktop.shown = {{kPickedWindow, kPickedTitle}};
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::darkGreen);
    desktop.pictures.insert(kPickedWindow, picture);
    pickerAccepts = true;
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
    window->setWindowSystem(std::make_unique<FakeWindowSystem>(&desktop));
    window->setBoxHandler(
        [this](QMessageBox::Icon icon, const QString& title, const QString& text) {
            boxes.append({icon, title, text});
        });
    window->setWindowPicker([this](QWidget*, const QPoint&, QString* title, NativeWindow* id) {
        *title = kPickedTitle;
        *id = kPickedWindow;
        return pickerAccepts;
    });
    window->setTrayAvailabilityCheck([this] { return trayAvailable; });
    window->recordingSession()->setBoxHandler([](const SessionBox&) { return true; });
    return window;
}

QString MainWindowHarness::state(MainWindow& window)
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
    return wrong.isEmpty() ? (recording ? "recording" : "idle") : wrong.join(", ");
}

} // namespace testsupport
