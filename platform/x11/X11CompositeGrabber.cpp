#include "X11CompositeGrabber.h"

#include "X11Cursor.h"
#include "X11ImageRead.h"
#include "X11WindowShape.h"

#include <cstring>
#include <optional>

#include <xcb/composite.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

std::unique_ptr<X11CompositeGrabber>
X11CompositeGrabber::create(std::unique_ptr<X11Connection> connection, QString* error)
{
    xcb_connection_t* c = connection->get();
    XReply<xcb_composite_query_version_reply_t> version;
    if (connection->hasExtension(&xcb_composite_id))
        version.reset(
            xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    // NameWindowPixmap needs Composite 0.2.
    if (!version || (version->major_version == 0 && version->minor_version < 2)) {
        if (error)
            *error = QStringLiteral("Composite not available");
        return nullptr;
    }
    std::unique_ptr<X11CompositeGrabber> grabber(new X11CompositeGrabber(std::move(connection)));
    if (grabber->x_->hasExtension(&xcb_xfixes_id)) {
        XReply<xcb_xfixes_query_version_reply_t> fixes(
            xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
        grabber->haveXFixes_ = fixes != nullptr;
    }
    return grabber;
}

X11CompositeGrabber::X11CompositeGrabber(std::unique_ptr<X11Connection> connection)
    : x_(std::move(connection))
{
    if (x_->hasExtension(&xcb_shm_id))
        segments_ = std::make_unique<X11ShmFramePool>(x_.get());
}

X11CompositeGrabber::~X11CompositeGrabber()
{
    releaseWindow();
}

void X11CompositeGrabber::releaseWindow()
{
    if (pixmap_ != XCB_NONE)
        xcb_free_pixmap(x_->get(), pixmap_);
    if (window_ != XCB_WINDOW_NONE)
        xcb_composite_unredirect_window(x_->get(), window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    xcb_flush(x_->get());
    pixmap_ = XCB_NONE;
    window_ = XCB_WINDOW_NONE;
    pixmapSize_ = {};
}

bool X11CompositeGrabber::setScreenRect(const QRect& rect, QString* error)
{
    if (rect.isEmpty() || !QRect(0, 0, x_->rootWidth(), x_->rootHeight()).contains(rect)) {
        if (error)
            *error = QStringLiteral("The rectangle lies outside the screen.");
        return false;
    }
    releaseWindow();
    rect_ = rect;
    damage_.reset();
    return true;
}

bool X11CompositeGrabber::setWindow(NativeWindow window, QString* error)
{
    releaseWindow();
    damage_.reset();
    const auto w = static_cast<xcb_window_t>(window);
    XReply<xcb_generic_error_t> failure(xcb_request_check(
        x_->get(),
        xcb_composite_redirect_window_checked(x_->get(), w, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
    if (failure) {
        if (error)
            *error = QStringLiteral("The window cannot be redirected.");
        return false;
    }
    window_ = w;
    return true;
}

bool X11CompositeGrabber::renamePixmap(QSize size)
{
    if (pixmap_ != XCB_NONE && size == pixmapSize_)
        return true;
    // The named pixmap keeps the old size after a resize, so it is named again.
    if (pixmap_ != XCB_NONE)
        xcb_free_pixmap(x_->get(), pixmap_);
    pixmap_ = xcb_generate_id(x_->get());
    XReply<xcb_generic_error_t> failure(xcb_request_check(
        x_->get(), xcb_composite_name_window_pixmap_checked(x_->get(), window_, pixmap_)));
    if (failure) {
        // An unmapped window has no pixmap.
        pixmap_ = XCB_NONE;
        pixmapSize_ = {};
        return false;
    }
    pixmapSize_ = size;
    return true;
}

SharedFrame X11CompositeGrabber::readShared(VideoFramePool& pool, xcb_drawable_t drawable,
                                            const QRect& source)
{
    if (!segments_)
        return nullptr;
    const std::size_t bytes = std::size_t(source.width()) * std::size_t(source.height()) * 4;
    if (X11ShmFramePool::Segment* segment = segments_->take(bytes)) {
        if (!segments_->read(segment, drawable, source)) {
            segments_->giveBack(segment);
            return nullptr;
        }
        return segments_->wrap(segment, source.width(), source.height());
    }
    // The encoder holds every segment: read into the spare one and copy the image out.
    X11ShmFramePool::Segment* spare = segments_->spare(bytes);
    if (!spare || !segments_->read(spare, drawable, source))
        return nullptr;
    SharedFrame frame = pool.acquire(source.width(), source.height());
    if (!frame)
        return nullptr;
    const std::size_t row = std::size_t(source.width()) * 4;
    for (int y = 0; y < source.height(); ++y)
        std::memcpy(frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0],
                    X11ShmFramePool::memory(spare) + y * row, row);
    return frame;
}

X11DamageI420* X11CompositeGrabber::damageReader()
{
    if (!damage_ && window_ == XCB_WINDOW_NONE && i420_ && segments_)
        damage_ = X11DamageI420::create(*x_, *segments_, rect_);
    return damage_.get();
}

void X11CompositeGrabber::prepare(std::size_t bytes)
{
    if (X11DamageI420* damage = damageReader())
        damage->reserve(bytes);
}

ScreenGrabber::Result X11CompositeGrabber::grab(VideoFramePool& pool, SharedFrame* frame)
{
    xcb_connection_t* c = x_->get();
    if (xcb_connection_has_error(c))
        return Result::Lost;
    // Geometry, shape, position and pointer are asked for together, so they cost one round
    // trip; the image read is the second.
    const bool window = window_ != XCB_WINDOW_NONE;
    const bool cursor = cursor_ && haveXFixes_;
    if (!window) {
        if (X11DamageI420* damage = damageReader()) {
            XReply<xcb_xfixes_get_cursor_image_reply_t> pointer(
                cursor
                    ? xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr)
                    : nullptr);
            SharedFrame picture = damage->grab(pointer.get());
            if (!picture)
                return Result::Failed;
            lastSize_ = rect_.size();
            *frame = std::move(picture);
            return Result::Frame;
        }
    }
    xcb_get_geometry_cookie_t geometryCookie{};
    xcb_translate_coordinates_cookie_t originCookie{};
    std::optional<X11WindowShape> shape;
    if (window) {
        geometryCookie = xcb_get_geometry(c, window_);
        shape.emplace(*x_, window_);
        if (cursor)
            originCookie = xcb_translate_coordinates(c, window_, x_->root(), 0, 0);
    }
    xcb_xfixes_get_cursor_image_cookie_t cursorCookie{};
    if (cursor)
        cursorCookie = xcb_xfixes_get_cursor_image(c);
    XReply<xcb_get_geometry_reply_t> g(window ? xcb_get_geometry_reply(c, geometryCookie, nullptr)
                                              : nullptr);
    XReply<xcb_translate_coordinates_reply_t> t(
        window && cursor ? xcb_translate_coordinates_reply(c, originCookie, nullptr) : nullptr);
    XReply<xcb_xfixes_get_cursor_image_reply_t> pointer(
        cursor ? xcb_xfixes_get_cursor_image_reply(c, cursorCookie, nullptr) : nullptr);

    xcb_drawable_t drawable = x_->root();
    QRect source = rect_;
    QPoint origin = rect_.topLeft();
    QRegion outsideShape;
    if (window) {
        if (!g)
            return Result::Failed;
        if (!renamePixmap(QSize(g->width, g->height)))
            return Result::Failed;
        drawable = pixmap_;
        source = QRect(0, 0, g->width, g->height);
        origin = t ? QPoint(t->dst_x, t->dst_y) : QPoint();
        // The pixmap starts at the border's outer corner, the shape at the window's origin.
        outsideShape = shape->outside(source.translated(-g->border_width, -g->border_width));
    }
    if (source.isEmpty())
        return Result::Failed;
    SharedFrame result = readShared(pool, drawable, source);
    if (!result)
        result = readImageFrame(*x_, drawable, source);
    if (!result)
        return Result::Failed;
    if (!outsideShape.isEmpty())
        X11WindowShape::blackOut(result->data[0], result->linesize[0], outsideShape);
    if (pointer)
        drawCursor(result->data[0], result->linesize[0], QSize(result->width, result->height),
                   *pointer, origin);
    lastSize_ = source.size();
    *frame = std::move(result);
    return Result::Frame;
}
