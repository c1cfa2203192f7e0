#include "MainWindowSession.h"

#include "recording/screen_capture_win.h"

MainWindowSession::MainWindowSession(screen_capture_win* session) : session_(session) {}

void MainWindowSession::configure(const RecordingSettings& settings, const QString& audioSource,
                                  const QString& outputPath, QLabel* fpsLabel)
{
    if (session_)
        session_->configure(settings, audioSource, outputPath, fpsLabel);
}

void MainWindowSession::setTarget(const RecordingTarget& target)
{
    if (session_)
        session_->setTarget(target);
}

void MainWindowSession::setCaptureArea(int x, int y, int width, int height)
{
    if (session_)
        session_->setCaptureArea(x, y, width, height);
}

void MainWindowSession::setStartTrigger(StartTrigger trigger)
{
    if (session_)
        session_->setStartTrigger(trigger);
}

void MainWindowSession::setEndBoxShown(bool shown)
{
    if (session_)
        session_->setEndBoxShown(shown);
}

void MainWindowSession::setDurationLimit(std::int64_t microseconds)
{
    if (session_)
        session_->setDurationLimit(microseconds);
}

void MainWindowSession::setPreviewBox(QSize box)
{
    if (session_)
        session_->setPreviewBox(box);
}

void MainWindowSession::start()
{
    if (session_)
        session_->start();
}

bool MainWindowSession::isRunning() const
{
    return session_ && session_->isRunning();
}

void MainWindowSession::stop(bool quiet)
{
    if (session_)
        session_->stop(quiet);
}

void MainWindowSession::pause()
{
    if (session_)
        session_->pause();
}

void MainWindowSession::setMicrophoneMuted(bool muted)
{
    if (session_)
        session_->setMicrophoneMuted(muted);
}

void MainWindowSession::resume()
{
    if (session_)
        session_->resume();
}
