#include "X11ShmGrabber.h"

#include <cstring>

#include <sys/ipc.h>
#include <sys/shm.h>

std::unique_ptr<X11ShmGrabber> X11ShmGrabber::create(std::unique_ptr<X11Connection> connection,
                                                     QString* error)
{
    if (!connection->hasExtension(&xcb_shm_id)) {
        if (error)
            *error = QStringLiteral("MIT-SHM not available");
        return nullptr;
    }
    return std::unique_ptr<X11ShmGrabber>(new X11ShmGrabber(std::move(connection)));
}

X11ShmGrabber::X11ShmGrabber(std::unique_ptr<X11Connection> connection)
    : x_(std::move(connection)), segments_(std::make_unique<X11ShmFramePool>(x_.get()))
{
}

X11ShmGrabber::~X11ShmGrabber() = default;

bool X11ShmGrabber::setScreenRect(const QRect& rect, QString* error)
{
    if (rect.isEmpty() || !QRect(0, 0, x_->rootWidth(), x_->rootHeight()).contains(rect)) {
        if (error)
            *error = QStringLiteral("The rectangle lies outside the screen.");
        return false;
    }
    rect_ = rect;
    window_ = XCB_WINDOW_NONE;
    last_.reset();
    return true;
}

bool X11ShmGrabber::setWindow(NativeWindow window, QString* error)
{
    window_ = static_cast<xcb_window_t>(window);
    last_.reset();
    if (sourceRect().isEmpty()) {
        window_ = XCB_WINDOW_NONE;
        if (error)
            *error = QStringLiteral("The window does not exist or is off screen.");
        return false;
    }
    return true;
}

QRect X11ShmGrabber::sourceRect() const
{
    if (window_ == XCB_WINDOW_NONE)
        return rect_;
    // The window's outer rectangle (frame included), clipped to the screen, even sized for
    // the encoder.
    xcb_window_t top = window_;
    for (int depth = 0; depth < 64; ++depth) {
        XReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(x_->get(), xcb_query_tree(x_->get(), top), nullptr));
        if (!tree)
            return {};
        if (tree->parent == tree->root || tree->parent == XCB_WINDOW_NONE)
            break;
        top = tree->parent;
    }
    XReply<xcb_get_geometry_reply_t> g(
        xcb_get_geometry_reply(x_->get(), xcb_get_geometry(x_->get(), top), nullptr));
    if (!g)
        return {};
    QRect r = QRect(g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width)
                  .intersected(QRect(0, 0, x_->rootWidth(), x_->rootHeight()));
    if (r.isEmpty())
        return {};
    r.setWidth(std::max(2, r.width() & ~1));
    r.setHeight(std::max(2, r.height() & ~1));
    return r;
}

ScreenGrabber::Result X11ShmGrabber::grabIntoPool(VideoFramePool& pool, const QRect& source,
                                                  SharedFrame* frame)
{
    const size_t bytes = static_cast<size_t>(source.width()) * source.height() * 4;
    X11ShmFramePool::Segment* spare = segments_->spare(bytes);
    if (!spare || !segments_->read(spare, x_->root(), source))
        return Result::Failed;
    const std::uint8_t* image = X11ShmFramePool::memory(spare);
    if (sameAsLast(image, source.width(), source.height()))
        return Result::NoChange;
    SharedFrame result = pool.acquire(source.width(), source.height());
    if (!result)
        return Result::Failed;
    const size_t row = static_cast<size_t>(source.width()) * 4;
    for (int y = 0; y < source.height(); ++y)
        std::memcpy(result->data[0] + static_cast<std::ptrdiff_t>(y) * result->linesize[0],
                    image + y * row, row);
    lastSize_ = source.size();
    last_ = result;
    *frame = std::move(result);
    return Result::Frame;
}

bool X11ShmGrabber::sameAsLast(const std::uint8_t* image, int width, int height) const
{
    if (!last_ || last_->width != width || last_->height != height ||
        last_->linesize[0] != width * 4)
        return false;
    // The padding byte of each pixel is whatever the server keeps there; it is stable for an
    // unchanged screen, so the bytes compare as they are.
    return std::memcmp(last_->data[0], image, static_cast<size_t>(width) * height * 4) == 0;
}

ScreenGrabber::Result X11ShmGrabber::grab(VideoFramePool& pool, SharedFrame* frame)
{
    if (xcb_connection_has_error(x_->get()))
        return Result::Lost;
    const QRect source = sourceRect();
    if (source.isEmpty())
        return Result::Failed;
    const size_t bytes = static_cast<size_t>(source.width()) * source.height() * 4;
    X11ShmFramePool::Segment* segment = segments_->take(bytes);
    if (!segment)
        return grabIntoPool(pool, source, frame);
    if (!segments_->read(segment, x_->root(), source)) {
        segments_->giveBack(segment);
        return Result::Failed;
    }
    if (sameAsLast(X11ShmFramePool::memory(segment), source.width(), source.height())) {
        segments_->giveBack(segment);
        return Result::NoChange;
    }
    SharedFrame result = segments_->wrap(segment, source.width(), source.height());
    if (!result)
        return Result::Failed;
    lastSize_ = source.size();
    last_ = result;
    *frame = std::move(result);
    return Result::Frame;
}
