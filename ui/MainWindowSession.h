#pragma once

#include "ui/RecordingSessionControl.h"

#include <QPointer>

class screen_capture_win;

// The main window's calls passed straight to the real recording session.
class MainWindowSession : public RecordingSessionControl
{
public:
    explicit MainWindowSession(screen_capture_win* session);

    void configure(const RecordingSettings& settings, const QString& audioSource,
                   const QString& outputPath, QLabel* fpsLabel) override;
    void setTarget(const RecordingTarget& target) override;
    void setCaptureArea(int x, int y, int width, int height) override;
    void setStartTrigger(StartTrigger trigger) override;
    void setEndBoxShown(bool shown) override;
    void setDurationLimit(std::int64_t microseconds) override;
    void setPreviewBox(QSize box) override;
    void start() override;
    bool isRunning() const override;
    void stop(bool quiet) override;
    void pause() override;
    void resume() override;
    void setMicrophoneMuted(bool muted) override;

private:
    QPointer<screen_capture_win> session_;
};
