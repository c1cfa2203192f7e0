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

X11ShmGrabber::X11ShmGrabber(std::unique_ptr<X11Connection> connection) : x_(std::move(connection))
{
}

X11ShmGrabber::~X11ShmGrabber()
{
    releaseSegment();
}

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

bool X11ShmGrabber::ensureSegment(size_t bytes)
{
    if (memory_ && bytes <= capacity_)
        return true;
    releaseSegment();
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0)
        return false;
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    const xcb_shm_seg_t segment = xcb_generate_id(x_->get());
    XReply<xcb_generic_error_t> attachError(xcb_request_check(
        x_->get(), xcb_shm_attach_checked(x_->get(), segment, static_cast<uint32_t>(id), 0)));
    // Marked for removal now, so the segment goes away with the last detach even after a crash.
    shmctl(id, IPC_RMID, nullptr);
    if (attachError) {
        shmdt(address);
        return false;
    }
    segment_ = segment;
    memory_ = static_cast<uint8_t*>(address);
    capacity_ = bytes;
    return true;
}

void X11ShmGrabber::releaseSegment()
{
    if (!memory_)
        return;
    xcb_shm_detach(x_->get(), segment_);
    xcb_flush(x_->get());
    shmdt(memory_);
    memory_ = nullptr;
    capacity_ = 0;
    segment_ = 0;
}

bool X11ShmGrabber::sameAsLast(int width, int height) const
{
    if (!last_ || last_->width != width || last_->height != height)
        return false;
    return std::memcmp(last_->data[0], memory_, static_cast<size_t>(width) * height * 4) == 0;
}

ScreenGrabber::Result X11ShmGrabber::grab(VideoFramePool& pool, SharedFrame* frame)
{
    const QRect source = sourceRect();
    if (source.isEmpty())
        return Result::Failed;
    const size_t bytes = static_cast<size_t>(source.width()) * source.height() * 4;
    if (!ensureSegment(bytes))
        return Result::Failed;
    XReply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        x_->get(),
        xcb_shm_get_image(x_->get(), x_->root(), static_cast<int16_t>(source.x()),
                          static_cast<int16_t>(source.y()), static_cast<uint16_t>(source.width()),
                          static_cast<uint16_t>(source.height()), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          segment_, 0),
        nullptr));
    if (!reply || reply->size < bytes)
        return Result::Failed;
    // X leaves the padding byte undefined; with alpha set the image compares byte for byte.
    const size_t pixels = static_cast<size_t>(source.width()) * source.height();
    for (size_t i = 0; i < pixels; ++i)
        memory_[i * 4 + 3] = 255;
    if (sameAsLast(source.width(), source.height()))
        return Result::NoChange;
    SharedFrame result = pool.acquire(source.width(), source.height());
    if (!result)
        return Result::Failed;
    std::memcpy(result->data[0], memory_, pixels * 4);
    lastSize_ = source.size();
    last_ = result;
    *frame = std::move(result);
    return Result::Frame;
}
