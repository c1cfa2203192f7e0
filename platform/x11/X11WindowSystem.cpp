#include "X11WindowSystem.h"

#include <QDebug>

#include <xcb/randr.h>

#include <limits>

std::unique_ptr<WindowSystem> WindowSystem::create(QString* error)
{
    auto connection = X11Connection::open(error);
    if (!connection)
        return nullptr;
    return std::make_unique<X11WindowSystem>(std::move(connection));
}

WindowSystem* WindowSystem::ensure(std::unique_ptr<WindowSystem>& holder)
{
    if (!holder) {
        QString reason;
        holder = create(&reason);
        if (!holder)
            qWarning().noquote() << "No window system:" << reason;
    }
    return holder.get();
}

X11WindowSystem::X11WindowSystem(std::unique_ptr<X11Connection> connection)
    : x_(std::move(connection))
{
    netWmState_ = x_->atom("_NET_WM_STATE");
    netWmStateHidden_ = x_->atom("_NET_WM_STATE_HIDDEN");
    wmState_ = x_->atom("WM_STATE");
    netActiveWindow_ = x_->atom("_NET_ACTIVE_WINDOW");
}

bool X11WindowSystem::windowManagerRunning() const
{
    // The manager names a child window of its own on the root; a stale id means it has gone.
    const xcb_atom_t check = x_->atom("_NET_SUPPORTING_WM_CHECK");
    XReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        x_->get(), xcb_get_property(x_->get(), 0, x_->root(), check, XCB_ATOM_WINDOW, 0, 1),
        nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
        return false;
    return isWindow(*static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get())));
}

bool X11WindowSystem::isWindow(NativeWindow window) const
{
    if (window == 0 || window > std::numeric_limits<xcb_window_t>::max())
        return false;
    XReply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        x_->get(), xcb_get_window_attributes(x_->get(), static_cast<xcb_window_t>(window)),
        nullptr));
    return reply != nullptr;
}

bool X11WindowSystem::isVisible(NativeWindow window) const
{
    if (!isWindow(window))
        return false;
    XReply<xcb_get_window_attributes_reply_t> reply(xcb_get_window_attributes_reply(
        x_->get(), xcb_get_window_attributes(x_->get(), static_cast<xcb_window_t>(window)),
        nullptr));
    return reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
}

bool X11WindowSystem::isMinimised(NativeWindow window) const
{
    if (!isWindow(window))
        return false;
    const auto w = static_cast<xcb_window_t>(window);
    xcb_connection_t* c = x_->get();
    const auto netStateCookie = xcb_get_property(c, 0, w, netWmState_, XCB_ATOM_ATOM, 0, 64);
    const auto wmStateCookie = xcb_get_property(c, 0, w, wmState_, wmState_, 0, 2);
    XReply<xcb_get_property_reply_t> netState(xcb_get_property_reply(c, netStateCookie, nullptr));
    XReply<xcb_get_property_reply_t> wmState(xcb_get_property_reply(c, wmStateCookie, nullptr));
    return hasHiddenState(netState.get()) || isIconic(wmState.get());
}

void X11WindowSystem::show(NativeWindow window)
{
    if (!isWindow(window))
        return;
    xcb_map_window(x_->get(), static_cast<xcb_window_t>(window));
    xcb_flush(x_->get());
}

void X11WindowSystem::restore(NativeWindow window)
{
    if (!isWindow(window))
        return;
    const auto w = static_cast<xcb_window_t>(window);
    // A window manager de-iconifies on _NET_ACTIVE_WINDOW; mapping is the ICCCM way without one.
    xcb_map_window(x_->get(), w);
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = w;
    event.type = netActiveWindow_;
    event.data.data32[0] = 2; // source: pager, so the request is honoured
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(x_->get(), 0, x_->root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(x_->get());
}

NativeWindow X11WindowSystem::frameWindow(NativeWindow window) const
{
    if (!isWindow(window))
        return 0;
    // The frame a window manager adds is the ancestor whose parent is the root.
    xcb_window_t current = static_cast<xcb_window_t>(window);
    for (int depth = 0; depth < 64; ++depth) {
        XReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(x_->get(), xcb_query_tree(x_->get(), current), nullptr));
        if (!tree)
            return 0;
        if (tree->parent == tree->root || tree->parent == XCB_WINDOW_NONE)
            break;
        current = tree->parent;
    }
    return current;
}

WindowState X11WindowSystem::windowState(NativeWindow window) const
{
    WindowState state;
    if (window == 0 || window > std::numeric_limits<xcb_window_t>::max())
        return state;
    const auto w = static_cast<xcb_window_t>(window);
    // A window manager reparents a window once, when it takes it on; the frame found then is
    // kept, so the state below costs one round trip: every request goes out before any reply
    // is awaited.
    if (frameCache_.first != w || frameCache_.second == XCB_WINDOW_NONE)
        frameCache_ = {w, static_cast<xcb_window_t>(frameWindow(window))};
    xcb_connection_t* c = x_->get();
    const auto attributesCookie = xcb_get_window_attributes(c, w);
    const auto netStateCookie = xcb_get_property(c, 0, w, netWmState_, XCB_ATOM_ATOM, 0, 64);
    const auto wmStateCookie = xcb_get_property(c, 0, w, wmState_, wmState_, 0, 2);
    const auto geometryCookie = xcb_get_geometry(c, frameCache_.second);
    XReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
    XReply<xcb_get_property_reply_t> netState(xcb_get_property_reply(c, netStateCookie, nullptr));
    XReply<xcb_get_property_reply_t> wmState(xcb_get_property_reply(c, wmStateCookie, nullptr));
    XReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    if (!attributes) {
        frameCache_ = {};
        return state;
    }
    state.exists = true;
    state.visible = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    state.minimised = hasHiddenState(netState.get()) || isIconic(wmState.get());
    if (geometry) {
        const int border = geometry->border_width;
        state.outer = QRect(geometry->x, geometry->y, geometry->width + 2 * border,
                            geometry->height + 2 * border);
    } else {
        // The frame went away (the window manager let go of the window): look again next time.
        frameCache_ = {};
    }
    return state;
}

bool X11WindowSystem::hasHiddenState(const xcb_get_property_reply_t* state) const
{
    if (!state || state->format != 32)
        return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(
        xcb_get_property_value(const_cast<xcb_get_property_reply_t*>(state)));
    const int count = xcb_get_property_value_length(state) / 4;
    for (int i = 0; i < count; ++i)
        if (atoms[i] == netWmStateHidden_)
            return true;
    return false;
}

bool X11WindowSystem::isIconic(const xcb_get_property_reply_t* state)
{
    // ICCCM: the first field of WM_STATE is 3 (IconicState) for an iconified window.
    if (!state || state->format != 32 || xcb_get_property_value_length(state) < 4)
        return false;
    const auto* fields = static_cast<const uint32_t*>(
        xcb_get_property_value(const_cast<xcb_get_property_reply_t*>(state)));
    return fields[0] == 3;
}

QRect X11WindowSystem::outerRect(NativeWindow window) const
{
    const NativeWindow frame = frameWindow(window);
    if (frame == 0)
        return {};
    XReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(
        x_->get(), xcb_get_geometry(x_->get(), static_cast<xcb_window_t>(frame)), nullptr));
    if (!geometry)
        return {};
    const int border = geometry->border_width;
    return QRect(geometry->x, geometry->y, geometry->width + 2 * border,
                 geometry->height + 2 * border);
}

const X11WindowList& X11WindowSystem::windowList() const
{
    if (!windowList_)
        windowList_ = std::make_unique<X11WindowList>(*x_);
    return *windowList_;
}

QList<WindowEntry> X11WindowSystem::enumerateWindows(bool includeHidden) const
{
    return windowList().enumerateWindows(includeHidden);
}

QString X11WindowSystem::windowTitle(NativeWindow window) const
{
    return isWindow(window) ? windowList().windowTitle(static_cast<xcb_window_t>(window))
                            : QString();
}

WindowIdentity X11WindowSystem::windowIdentity(NativeWindow window) const
{
    return isWindow(window) ? windowList().windowIdentity(static_cast<xcb_window_t>(window))
                            : WindowIdentity{};
}

NativeWindow X11WindowSystem::findWindowByIdentity(const WindowIdentity& identity) const
{
    return windowList().findWindowByIdentity(identity);
}

QImage X11WindowSystem::windowImage(NativeWindow window) const
{
    // An unmapped (minimised, hidden) window has no content; its frame may still show a title.
    if (!isVisible(window))
        return {};
    const NativeWindow frame = frameWindow(window);
    return frame != 0 ? windowList().windowImage(static_cast<xcb_window_t>(frame)) : QImage();
}

QImage X11WindowSystem::screenImage(const QRect& area, QSize box) const
{
    if (!scaledRead_)
        scaledRead_ = std::make_unique<X11ScaledRead>(*x_);
    return scaledRead_->read(area, box);
}

QList<MonitorInfo> X11WindowSystem::monitors() const
{
    QList<MonitorInfo> result;
    if (x_->hasExtension(&xcb_randr_id)) {
        XReply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
            x_->get(), xcb_randr_query_version(x_->get(), 1, 5), nullptr));
        if (version && (version->major_version > 1 || version->minor_version >= 5)) {
            XReply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
                x_->get(), xcb_randr_get_monitors(x_->get(), x_->root(), 1), nullptr));
            if (reply) {
                auto it = xcb_randr_get_monitors_monitors_iterator(reply.get());
                for (; it.rem; xcb_randr_monitor_info_next(&it)) {
                    MonitorInfo info;
                    info.geometry = QRect(it.data->x, it.data->y, it.data->width, it.data->height);
                    info.primary = it.data->primary;
                    XReply<xcb_get_atom_name_reply_t> name(xcb_get_atom_name_reply(
                        x_->get(), xcb_get_atom_name(x_->get(), it.data->name), nullptr));
                    if (name)
                        info.name = QString::fromLatin1(xcb_get_atom_name_name(name.get()),
                                                        xcb_get_atom_name_name_length(name.get()));
                    result.append(info);
                }
            }
        }
    }
    if (result.isEmpty()) {
        // Without RandR monitors the whole root window is the one screen.
        result.append(
            {QStringLiteral("screen"), QRect(0, 0, x_->rootWidth(), x_->rootHeight()), true});
    }
    bool anyPrimary = false;
    for (const auto& m : result)
        anyPrimary = anyPrimary || m.primary;
    if (!anyPrimary)
        result.first().primary = true;
    return result;
}

namespace {
qint64 distanceSquared(const QRect& r, QPoint p)
{
    const qint64 dx =
        p.x() < r.left() ? r.left() - p.x() : (p.x() > r.right() ? p.x() - r.right() : 0);
    const qint64 dy =
        p.y() < r.top() ? r.top() - p.y() : (p.y() > r.bottom() ? p.y() - r.bottom() : 0);
    return dx * dx + dy * dy;
}
} // namespace

bool X11WindowSystem::monitorFromPoint(QPoint point, bool nearest, MonitorInfo* out) const
{
    const auto list = monitors();
    if (list.isEmpty())
        return false;
    const MonitorInfo* best = nullptr;
    for (const auto& m : list) {
        if (m.geometry.contains(point)) {
            best = &m;
            break;
        }
    }
    if (!best && nearest) {
        for (const auto& m : list)
            if (!best ||
                distanceSquared(m.geometry, point) < distanceSquared(best->geometry, point))
                best = &m;
    }
    if (!best)
        for (const auto& m : list)
            if (m.primary)
                best = &m;
    if (!best)
        return false;
    if (out)
        *out = *best;
    return true;
}

bool X11WindowSystem::monitorFromRect(const QRect& rect, MonitorInfo* out) const
{
    const auto list = monitors();
    const MonitorInfo* best = nullptr;
    qint64 bestArea = 0;
    for (const auto& m : list) {
        const QRect overlap = m.geometry.intersected(rect);
        const qint64 area = overlap.isEmpty() ? 0 : qint64(overlap.width()) * overlap.height();
        if (area > bestArea) {
            bestArea = area;
            best = &m;
        }
    }
    if (!best)
        return monitorFromPoint(rect.center(), true, out);
    if (out)
        *out = *best;
    return true;
}
