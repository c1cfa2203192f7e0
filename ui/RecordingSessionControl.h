#pragma once

#include "capture/RecordingTarget.h"
#include "capture/StartTrigger.h"
#include "recording/RecordingSettings.h"

#include <QSize>
#include <QString>

#include <cstdint>

class QLabel;

// What the main window asks of the recording session. The program drives the real session
// through it; window tests put a recorder of the calls in its place, so that the window's
// procedures can be checked without capturing anything.
class RecordingSessionControl
{
public:
    virtual ~RecordingSessionControl() = default;

    virtual void configure(const RecordingSettings& settings, const QString& audioSource,
                           const QString& outputPath, QLabel* fpsLabel) = 0;
    virtual void setTarget(const RecordingTarget& target) = 0;
    virtual void setCaptureArea(int x, int y, int width, int height) = 0;
    virtual void setStartTrigger(StartTrigger trigger) = 0;
    // False: the end of a recording the user started is not told in a box (it was started from
    // outside the window, and the window announces it).
    virtual void setEndBoxShown(bool) {}
    // The file ends at this length of recording (microseconds, pauses left out; 0: none). One
    // that cannot end itself is stopped by the window's clock a second past it.
    virtual void setDurationLimit(std::int64_t) {}
    // Where the window shows the recording's preview: it comes at that size, not scaled there.
    virtual void setPreviewBox(QSize) {}
    virtual void start() = 0;
    // Whether the last start got as far as starting its threads.
    virtual bool isRunning() const = 0;
    // Returns when the file is complete.
    virtual void stop(bool quiet) = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    // Silences the microphone of this and later recordings (the system sound goes on); the file
    // carries silence meanwhile.
    virtual void setMicrophoneMuted(bool) {}
};
