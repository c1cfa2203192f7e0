#pragma once

#include "FakeDesktop.h"
#include "capture/CapturePlatform.h"
#include "media/CaptureClockQpc.h"

#include <QList>
#include <QSet>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

// A desktop, grabbers and a clock for the capture loop, all in one thread and on a fake
// timeline: every sleep moves the time on instead of waiting, so a recording of seconds runs in
// a moment and always the same way.
namespace testsupport {

// What the fake grabbers are asked and what they answer.
struct FakeCaptureWorld
{
    std::int64_t nowUs = 0;
    FakeDesktop desktop;
    // Kinds whose grabber cannot be made.
    QSet<ScreenGrabber::Kind> unavailable;
    // Kinds whose grabber refuses every target.
    QSet<ScreenGrabber::Kind> refusing;
    // The answer of each grab (the kind, how many it has made before); a new image by default.
    std::function<ScreenGrabber::Result(ScreenGrabber::Kind, int)> answer;
    // How long each grab takes.
    std::int64_t grabCostUs = 1000;
    std::int64_t prepareCostUs = 0;
    std::int64_t releaseCostUs = 0; // letting a grabber go
    // Called with the time at every grab and sleep: the test's events happen here.
    std::function<void(std::int64_t nowUs)> at;
    // "create Composite", "window 0x..", "rect x,y wxh", "grab" ... in order.
    QStringList calls;

    std::shared_ptr<CaptureClockQpc> clock();
    CapturePlatform platform();
    void advance(std::int64_t us);
};

} // namespace testsupport
