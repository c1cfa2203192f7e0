#pragma once

#include "X11Connection.h"
#include "platform/ScreenGrabber.h"

// The compatible grabber: plain GetImage of the root window (a rectangle) or of the window.
class X11ImageGrabber : public ScreenGrabber
{
public:
    explicit X11ImageGrabber(std::unique_ptr<X11Connection> connection);

    bool setScreenRect(const QRect& rect, QString* error = nullptr) override;
    bool setWindow(NativeWindow window, QString* error = nullptr) override;
    Result grab(VideoFramePool& pool, SharedFrame* frame) override;
    QSize lastSize() const override { return lastSize_; }

private:
    std::unique_ptr<X11Connection> x_;
    QRect rect_;
    xcb_window_t window_ = XCB_WINDOW_NONE;
    QSize lastSize_;
};
