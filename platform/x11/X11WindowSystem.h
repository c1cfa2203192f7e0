#pragma once

#include "X11Connection.h"
#include "X11ScaledRead.h"
#include "X11WindowList.h"
#include "platform/WindowSystem.h"

#include <utility>

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
    WindowState windowState(NativeWindow window) const override;

    QList<WindowEntry> enumerateWindows(bool includeHidden) const override;
    QString windowTitle(NativeWindow window) const override;
    WindowIdentity windowIdentity(NativeWindow window) const override;
    NativeWindow findWindowByIdentity(const WindowIdentity& identity) const override;
    QImage windowImage(NativeWindow window) const override;
    QImage screenImage(const QRect& area, QSize box) const override;

    QList<MonitorInfo> monitors() const override;
    bool monitorFromPoint(QPoint point, bool nearest, MonitorInfo* out) const override;
    bool monitorFromRect(const QRect& rect, MonitorInfo* out) const override;

private:
    // Made on first use: the capture code never needs the window list's atoms.
    const X11WindowList& windowList() const;
    bool hasHiddenState(const xcb_get_property_reply_t* state) const;
    static bool isIconic(const xcb_get_property_reply_t* state);

    std::unique_ptr<X11Connection> x_;
    mutable std::unique_ptr<X11WindowList> windowList_;
    // Made at the first preview; holds the server's pictures between previews.
    mutable std::unique_ptr<X11ScaledRead> scaledRead_;
    xcb_atom_t netWmState_ = XCB_ATOM_NONE;
    xcb_atom_t netWmStateHidden_ = XCB_ATOM_NONE;
    xcb_atom_t wmState_ = XCB_ATOM_NONE;
    xcb_atom_t netActiveWindow_ = XCB_ATOM_NONE;
    // The window last asked about by windowState() and its frame.
    mutable std::pair<xcb_window_t, xcb_window_t> frameCache_{XCB_WINDOW_NONE, XCB_WINDOW_NONE};
};
