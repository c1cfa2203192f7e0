#pragma once

#include "platform/WindowSystem.h"

#include <QHash>
#include <QImage>
#include <QList>

namespace testsupport {

// The state of a window whose life a test plays out: hidden, minimised, moved, resized.
struct FakeWindow
{
    bool visible = true;
    bool minimised = false;
    QRect outer{100, 100, 640, 480};
    int shows = 0;
    int restores = 0;
};

// The desktop a FakeWindowSystem shows; the test changes it at any time.
struct FakeDesktop
{
    // The picker's list: listed windows are visible at 10,10 640x480 unless they have a state.
    QList<WindowEntry> shown;
    QList<WindowEntry> hidden; // listed only when hidden windows are asked for
    QHash<NativeWindow, QImage> pictures;
    QList<bool> enumerations; // includeHidden of every enumerateWindows()
    QHash<NativeWindow, FakeWindow> windows;
    QList<MonitorInfo> monitors{{QStringLiteral("Screen1"), QRect(0, 0, 1920, 1080), true}};
};

// The one fake window system of the suites: no display, the windows and monitors of a
// FakeDesktop.
class FakeWindowSystem : public WindowSystem
{
public:
    explicit FakeWindowSystem(FakeDesktop* desktop) : d_(desktop) {}

    bool windowManagerRunning() const override { return true; }
    bool isWindow(NativeWindow window) const override;
    bool isVisible(NativeWindow window) const override;
    bool isMinimised(NativeWindow window) const override;
    void show(NativeWindow window) override;
    void restore(NativeWindow window) override;
    QRect outerRect(NativeWindow window) const override;
    QList<WindowEntry> enumerateWindows(bool includeHidden) const override;
    QImage windowImage(NativeWindow window) const override { return d_->pictures.value(window); }
    QList<MonitorInfo> monitors() const override { return d_->monitors; }
    bool monitorFromPoint(QPoint point, bool nearest, MonitorInfo* out) const override;
    bool monitorFromRect(const QRect& rect, MonitorInfo* out) const override;

private:
    bool listed(NativeWindow window) const;

    FakeDesktop* d_;
};

} // namespace testsupport
