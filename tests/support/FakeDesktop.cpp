#include "FakeDesktop.h"

namespace testsupport {

bool FakeWindowSystem::listed(NativeWindow window) const
{
    for (const WindowEntry& entry : d_->shown + d_->hidden)
        if (entry.window == window)
            return true;
    return false;
}

bool FakeWindowSystem::isWindow(NativeWindow window) const
{
    return d_->windows.contains(window) || listed(window);
}

bool FakeWindowSystem::isVisible(NativeWindow window) const
{
    if (!d_->windows.contains(window))
        return listed(window);
    const FakeWindow& w = d_->windows[window];
    return w.visible && !w.minimised;
}

bool FakeWindowSystem::isMinimised(NativeWindow window) const
{
    return d_->windows.value(window).minimised;
}

void FakeWindowSystem::show(NativeWindow window)
{
    if (!d_->windows.contains(window))
        return;
    ++d_->windows[window].shows;
    d_->windows[window].visible = true;
}

void FakeWindowSystem::restore(NativeWindow window)
{
    if (!d_->windows.contains(window))
        return;
    FakeWindow& w = d_->windows[window];
    ++w.restores;
    w.minimised = false;
    w.visible = true;
}

QRect FakeWindowSystem::outerRect(NativeWindow window) const
{
    if (d_->windows.contains(window))
        return d_->windows[window].outer;
    return listed(window) ? QRect(10, 10, 640, 480) : QRect();
}

QList<WindowEntry> FakeWindowSystem::enumerateWindows(bool includeHidden) const
{
    d_->enumerations.append(includeHidden);
    return includeHidden ? d_->shown + d_->hidden : d_->shown;
}

bool FakeWindowSystem::monitorFromPoint(QPoint point, bool, MonitorInfo* out) const
{
    for (const MonitorInfo& m : d_->monitors)
        if (m.geometry.contains(point)) {
            *out = m;
            return true;
        }
    for (const MonitorInfo& m : d_->monitors)
        if (m.primary) {
            *out = m;
            return true;
        }
    return false;
}

bool FakeWindowSystem::monitorFromRect(const QRect& rect, MonitorInfo* out) const
{
    return monitorFromPoint(rect.center(), true, out);
}

} // namespace testsupport
