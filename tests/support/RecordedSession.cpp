#include "RecordedSession.h"

namespace testsupport {

void RecordedSession::configure(const QString& audioSource, const QString& outputPath, QLabel*)
{
    ++calls_->configured;
    calls_->audio = audioSource;
    calls_->path = outputPath;
}

void RecordedSession::setTarget(const RecordingTarget& target)
{
    calls_->target = target;
}

void RecordedSession::setCaptureArea(int x, int y, int width, int height)
{
    calls_->captureArea = QRect(x, y, width, height);
}

void RecordedSession::setStartTrigger(std::int32_t trigger)
{
    calls_->trigger = trigger;
}

void RecordedSession::start()
{
    ++calls_->started;
    calls_->running = calls_->startRuns;
}

bool RecordedSession::isRunning() const
{
    return calls_->running;
}

void RecordedSession::stop(bool quiet)
{
    calls_->stops.append(quiet);
    calls_->running = false;
}

void RecordedSession::pause()
{
    ++calls_->pauses;
}

void RecordedSession::resume()
{
    ++calls_->resumes;
}

} // namespace testsupport
