#pragma once

#include "capture/CapturePlatform.h"
#include "media/CaptureClockQpc.h"

#include <QHash>
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

struct FakeWindow
{
    bool visible = true;
    bool minimised = false;
    QRect outer{100, 100, 640, 480};
    int shows = 0;
    int restores = 0;
};

struct FakeDesktop
{
    QHash<NativeWindow, FakeWindow> windows;
    QList<MonitorInfo> monitors{{QStringLiteral("Screen1"), QRect(0, 0, 1920, 1080), true}};
};

// The one fake window system: the windows and monitors of a FakeDesktop, which the test may
// change at any time.
class FakeWindowSystem : public WindowSystem
{
public:
    explicit FakeWindowSystem(FakeDesktop* desktop) : d_(desktop) {}

    bool windowManagerRunning() const override { return true; }
    bool isWindow(NativeWindow window) const override { return d_->windows.contains(window); }
    bool isVisible(NativeWindow window) const override;
    bool isMinimised(NativeWindow window) const override;
    void show(NativeWindow window) override;
    void restore(NativeWindow window) override;
    QRect outerRect(NativeWindow window) const override;
    QList<MonitorInfo> monitors() const override { return d_->monitors; }
    bool monitorFromPoint(QPoint point, bool nearest, MonitorInfo* out) const override;
    bool monitorFromRect(const QRect& rect, MonitorInfo* out) const override;

private:
    FakeDesktop* d_;
};

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
    // Called with the time at every grab and sleep: the test's events happen here.
    std::function<void(std::int64_t nowUs)> at;
    // "create Composite", "window 0x..", "rect x,y wxh", "grab" ... in order.
    QStringList calls;

    std::shared_ptr<CaptureClockQpc> clock();
    CapturePlatform platform();
    void advance(std::int64_t us);
};

} // namespace testsupport
