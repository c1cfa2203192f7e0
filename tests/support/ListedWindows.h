#pragma once

#include "platform/WindowSystem.h"

#include <QColor>
#include <QSet>

namespace testsupport {

// A window system without a display: the windows that exist are those in the set the test
// holds, each visible, never minimised, and pictured as one solid colour. One monitor.
class ListedWindows : public WindowSystem
{
public:
    ListedWindows(const QSet<NativeWindow>* live, QColor picture, QRect monitor);

    bool windowManagerRunning() const override { return true; }
    bool isWindow(NativeWindow window) const override;
    bool isVisible(NativeWindow window) const override { return isWindow(window); }
    bool isMinimised(NativeWindow) const override { return false; }
    void show(NativeWindow) override {}
    void restore(NativeWindow) override {}
    QRect outerRect(NativeWindow window) const override;
    QImage windowImage(NativeWindow window) const override;
    QList<MonitorInfo> monitors() const override;
    bool monitorFromPoint(QPoint point, bool nearest, MonitorInfo* out) const override;
    bool monitorFromRect(const QRect& rect, MonitorInfo* out) const override;

private:
    const QSet<NativeWindow>* live_;
    QColor picture_;
    QRect monitor_;
};

} // namespace testsupport
