#pragma once

#include "FramePacer.h"
#include "platform/ScreenGrabber.h"
#include "platform/WindowSystem.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

// What the video capture thread takes from the system: its window queries, its grabbers, its
// sleeps and the pacing's time sources. Tests hand in fakes of all of them, so every rule of
// the capture loop runs without a display and without waiting.
struct CapturePlatform
{
    // Null, with the reason in *error, when there is no display.
    std::function<std::unique_ptr<WindowSystem>(QString* error)> openWindowSystem;
    // Null, with the reason in *error, when the kind cannot run here.
    std::function<std::unique_ptr<ScreenGrabber>(ScreenGrabber::Kind kind, QString* error)>
        createGrabber;
    // Reads the stream a desktop's screen-cast portal shared: fd is the PipeWire connection it
    // opened (taken over, closed also on failure), nodeId the stream on it. Null, with the reason
    // in *error, when the stream cannot be read.
    std::function<std::unique_ptr<ScreenGrabber>(int fd, std::uint32_t nodeId, QString* error)>
        openStream;
    // The fixed waits of the loop (a window settling after it was shown, a minimised window).
    std::function<void(int ms)> sleepMs;
    FramePacer::Seams pacing;

    // The display, the grabbers and the sleeps of the real system.
    static CapturePlatform system();
};
