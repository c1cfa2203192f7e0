#pragma once

#include "ui/RecordingSessionControl.h"

#include <QList>
#include <QRect>
#include <QString>

namespace testsupport {

// What a window asked of its recording session.
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

// Stands in for the real session: records every call in calls and captures nothing.
class RecordedSession : public RecordingSessionControl
{
public:
    explicit RecordedSession(SessionCalls* calls) : calls_(calls) {}

    void configure(const QString& audioSource, const QString& outputPath,
                   QLabel* fpsLabel) override;
    void setTarget(const RecordingTarget& target) override;
    void setCaptureArea(int x, int y, int width, int height) override;
    void setStartTrigger(std::int32_t trigger) override;
    void start() override;
    bool isRunning() const override;
    void stop(bool quiet) override;
    void pause() override;
    void resume() override;

private:
    SessionCalls* calls_;
};

} // namespace testsupport
