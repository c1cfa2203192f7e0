#include "X11ShmGrabber.h"

#include "X11PixelCopy.h"

#include <sys/ipc.h>
#include <sys/shm.h>

std::unique_ptr<X11ShmGrabber> X11ShmGrabber::create(std::unique_ptr<X11Connection> connection,
                                                     QString* error)
{
    xcb_connection_t* c = connection->get();
    if (!connection->hasExtension(&xcb_shm_id) || !connection->hasExtension(&xcb_damage_id)) {
        if (error)
            *error = QStringLiteral("MIT-SHM or DAMAGE not available");
        return nullptr;
    }
    XReply<xcb_damage_query_version_reply_t> version(
        xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    if (!version) {
        if (error)
            *error = QStringLiteral("DAMAGE not available");
        return nullptr;
    }
    std::unique_ptr<X11ShmGrabber> grabber(new X11ShmGrabber(std::move(connection)));
    grabber->damageEventBase_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
    grabber->damage_ = xcb_generate_id(c);
    xcb_damage_create(c, grabber->damage_, grabber->x_->root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    xcb_flush(c);
    return grabber;
}

X11ShmGrabber::X11ShmGrabber(std::unique_ptr<X11Connection> connection) : x_(std::move(connection))
{
}

X11ShmGrabber::~X11ShmGrabber()
{
    releaseSegment();
    if (damage_)
        xcb_damage_destroy(x_->get(), damage_);
    xcb_flush(x_->get());
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
    haveImage_ = false;
    return true;
}

bool X11ShmGrabber::setWindow(NativeWindow window, QString* error)
{
    window_ = static_cast<xcb_window_t>(window);
    haveImage_ = false;
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

bool X11ShmGrabber::takeDamage()
{
    bool damaged = false;
    while (XReply<xcb_generic_event_t> event{xcb_poll_for_event(x_->get())}) {
        if ((event->response_type & 0x7f) == damageEventBase_ + XCB_DAMAGE_NOTIFY)
            damaged = true;
    }
    if (damaged) {
        // Clear the region before reading, so a change during the read is reported next time.
        xcb_damage_subtract(x_->get(), damage_, XCB_NONE, XCB_NONE);
        xcb_flush(x_->get());
    }
    return damaged;
}

ScreenGrabber::Result X11ShmGrabber::grab(VideoFramePool& pool, SharedFrame* frame)
{
    const bool damaged = takeDamage();
    const QRect source = sourceRect();
    if (source.isEmpty())
        return Result::Failed;
    if (!damaged && haveImage_ && source.size() == lastSize_)
        return Result::NoChange;
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
    SharedFrame result =
        copyBgrxToFrame(pool, memory_, source.width(), source.height(), source.width() * 4);
    if (!result)
        return Result::Failed;
    lastSize_ = source.size();
    haveImage_ = true;
    *frame = std::move(result);
    return Result::Frame;
}
