#pragma once

#include "platform/WindowSystem.h"

#include <QHash>

namespace testsupport {

// The desktop a ListedWindows shows; the test changes it at any time.
struct FakeDesktop
{
    QList<WindowEntry> shown;
    QList<WindowEntry> hidden; // listed only when hidden windows are asked for
    QHash<NativeWindow, QImage> pictures;
    QList<bool> enumerations; // includeHidden of every enumerateWindows()
    QRect monitor{0, 0, 1920, 1080};
};

// The one fake window system of the suites: no display, the windows of a FakeDesktop, each
// visible at a fixed place, never minimised; one monitor.
class ListedWindows : public WindowSystem
{
public:
    explicit ListedWindows(FakeDesktop* desktop) : d_(desktop) {}

    bool windowManagerRunning() const override { return true; }
    bool isWindow(NativeWindow window) const override;
    bool isVisible(NativeWindow window) const override { return isWindow(window); }
    bool isMinimised(NativeWindow) const override { return false; }
    void show(NativeWindow) override {}
    void restore(NativeWindow) override {}
    QRect outerRect(NativeWindow window) const override;
    QList<WindowEntry> enumerateWindows(bool includeHidden) const override;
    QImage windowImage(NativeWindow window) const override { return d_->pictures.value(window); }
    QList<MonitorInfo> monitors() const override { return {{"Screen1", d_->monitor, true}}; }
    bool monitorFromPoint(QPoint, bool, MonitorInfo* out) const override
    {
        return monitorFromRect({}, out);
    }
    bool monitorFromRect(const QRect&, MonitorInfo* out) const override
    {
        *out = monitors().first();
        return true;
    }

private:
    FakeDesktop* d_;
};

} // namespace testsupport
