// Commands from outside the window (the command line through the single-instance socket): the
// same start, pause and stop procedures as the window's own buttons, refused while a start or a
// stop is under way, answered with the state they leave.
#include "MainWindow.h"

QString MainWindow::remoteState() const
{
    const QString clock = elapsed.toString(QStringLiteral("hh:mm:ss"));
    switch (phase_) {
    case RecordingPhase::Starting:
    case RecordingPhase::Recording:
        return QStringLiteral("recording ") + clock;
    case RecordingPhase::Paused:
        return QStringLiteral("paused ") + clock;
    case RecordingPhase::Idle:
    case RecordingPhase::Stopping:
        break;
    }
    return QStringLiteral("idle");
}

QString MainWindow::handleRemoteCommand(const QString& word, bool* ok)
{
    *ok = false;
    if (word == QLatin1String("status")) {
        *ok = true;
        return remoteState();
    }
    // A second start or stop now would cut a file before its first picture or start one
    // nobody asked for, as a second press would.
    if (phase_ == RecordingPhase::Starting)
        return tr("a recording is starting");
    if (phase_ == RecordingPhase::Stopping)
        return tr("a recording is stopping");
    const bool idle = owner_ == RecordingOwner::None && phase_ == RecordingPhase::Idle;
    const QString command =
        word == QLatin1String("toggle") ? QLatin1String(idle ? "start" : "stop") : word;
    if (command == QLatin1String("start")) {
        if (!idle)
            return tr("a recording is running already");
        setStartedFromOutside(true);
        startStopRecording();
        if (!isRecording()) {
            setStartedFromOutside(false);
            return tr("the recording could not start");
        }
    } else if (command == QLatin1String("stop")) {
        if (idle)
            return tr("no recording to stop");
        startStopRecording();
    } else if (command == QLatin1String("pause")) {
        if (phase_ != RecordingPhase::Recording)
            return phase_ == RecordingPhase::Paused ? tr("the recording is paused already")
                                                    : tr("no recording to pause");
        pauseRecording();
    } else if (command == QLatin1String("resume")) {
        if (phase_ != RecordingPhase::Paused)
            return tr("no paused recording to resume");
        resumeRecording();
    } else {
        return tr("unknown command");
    }
    *ok = true;
    return remoteState();
}
