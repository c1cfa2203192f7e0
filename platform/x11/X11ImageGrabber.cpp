#include "X11ImageGrabber.h"

#include "X11ImageRead.h"

X11ImageGrabber::X11ImageGrabber(std::unique_ptr<X11Connection> connection)
    : x_(std::move(connection))
{
}

bool X11ImageGrabber::setScreenRect(const QRect& rect, QString* error)
{
    const QRect clipped = rect.intersected(QRect(0, 0, x_->rootWidth(), x_->rootHeight()));
    if (clipped.isEmpty() || clipped != rect) {
        if (error)
            *error = QStringLiteral("The rectangle lies outside the screen.");
        return false;
    }
    rect_ = rect;
    window_ = XCB_WINDOW_NONE;
    return true;
}

bool X11ImageGrabber::setWindow(NativeWindow window, QString* error)
{
    const auto w = static_cast<xcb_window_t>(window);
    XReply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(x_->get(), xcb_get_geometry(x_->get(), w), nullptr));
    if (!geometry) {
        if (error)
            *error = QStringLiteral("The window does not exist.");
        return false;
    }
    window_ = w;
    return true;
}

ScreenGrabber::Result X11ImageGrabber::grab(VideoFramePool& /*pool*/, SharedFrame* frame)
{
    if (xcb_connection_has_error(x_->get()))
        return Result::Lost;
    xcb_drawable_t drawable = x_->root();
    QRect source = rect_;
    if (window_ != XCB_WINDOW_NONE) {
        // The window may have been resized since the last image.
        XReply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(x_->get(), xcb_get_geometry(x_->get(), window_), nullptr));
        if (!geometry)
            return Result::Failed;
        drawable = window_;
        source = QRect(0, 0, geometry->width, geometry->height);
    }
    if (source.isEmpty())
        return Result::Failed;
    SharedFrame result = readImageFrame(*x_, drawable, source);
    if (!result)
        return Result::Failed;
    lastSize_ = source.size();
    *frame = std::move(result);
    return Result::Frame;
}
