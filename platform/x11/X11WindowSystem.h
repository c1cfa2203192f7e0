#pragma once

#include "X11Connection.h"
#include "platform/WindowSystem.h"

// WindowSystem on X11: EWMH/ICCCM for window state, RandR for monitors.
class X11WindowSystem : public WindowSystem
{
public:
    explicit X11WindowSystem(std::unique_ptr<X11Connection> connection);

    bool windowManagerRunning() const override;
    bool isWindow(NativeWindow window) const override;
    bool isVisible(NativeWindow window) const override;
    bool isMinimised(NativeWindow window) const override;
    void show(NativeWindow window) override;
    void restore(NativeWindow window) override;
    QRect outerRect(NativeWindow window) const override;
    NativeWindow frameWindow(NativeWindow window) const override;

    QList<MonitorInfo> monitors() const override;
    bool monitorFromPoint(QPoint point, bool nearest, MonitorInfo* out) const override;
    bool monitorFromRect(const QRect& rect, MonitorInfo* out) const override;

private:
    std::unique_ptr<X11Connection> x_;
    xcb_atom_t netWmState_ = XCB_ATOM_NONE;
    xcb_atom_t netWmStateHidden_ = XCB_ATOM_NONE;
    xcb_atom_t wmState_ = XCB_ATOM_NONE;
    xcb_atom_t netActiveWindow_ = XCB_ATOM_NONE;
};
