#include "X11WindowList.h"

#include "X11WindowShape.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <xcb/composite.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kNormalState = 1; // ICCCM WM_STATE values
constexpr uint32_t kIconicState = 3;
constexpr int kMaxClassNameLength = 256;

constexpr std::array kAtomNames{
    "_NET_CLIENT_LIST_STACKING",
    "_NET_CLIENT_LIST",
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "WM_STATE",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_STATE_SKIP_TASKBAR",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_PID",
};

// The types of EWMH. A window names its preferred type first and may add private ones (Qt puts
// _KDE_NET_WM_WINDOW_TYPE_OVERRIDE before NORMAL for frameless windows), so the first of these
// counts, as it does for a window manager.
constexpr std::array kWindowTypeNames{
    "_NET_WM_WINDOW_TYPE_DESKTOP",      "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",      "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_UTILITY",      "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DIALOG",       "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",   "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION", "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_DND",          "_NET_WM_WINDOW_TYPE_NORMAL",
};

struct PixmapHolder
{
    xcb_connection_t* connection = nullptr;
    xcb_pixmap_t pixmap = XCB_NONE;
    ~PixmapHolder()
    {
        if (pixmap != XCB_NONE)
            xcb_free_pixmap(connection, pixmap);
    }
};

// Undoes our automatic redirection; the server keeps others' redirections of the same window.
struct RedirectHolder
{
    xcb_connection_t* connection = nullptr;
    xcb_window_t window = XCB_WINDOW_NONE;
    ~RedirectHolder()
    {
        if (window != XCB_WINDOW_NONE) {
            xcb_composite_unredirect_window(connection, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
            xcb_flush(connection);
        }
    }
};

QList<uint32_t> values32(const xcb_get_property_reply_t* reply)
{
    QList<uint32_t> result;
    if (!reply || reply->format != 32)
        return result;
    const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
    const int count = xcb_get_property_value_length(reply) / 4;
    result.reserve(count);
    for (int i = 0; i < count; ++i)
        result.append(data[i]);
    return result;
}

QByteArray bytes(const xcb_get_property_reply_t* reply)
{
    if (!reply || reply->format != 8)
        return {};
    return QByteArray(static_cast<const char*>(xcb_get_property_value(reply)),
                      xcb_get_property_value_length(reply));
}

// The path of the process image; empty when the process cannot be inspected.
QString processImagePath(quint32 pid)
{
    if (pid == 0)
        return {};
    QString path = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    // A program replaced on disk while running still names its old file.
    const QLatin1String deleted(" (deleted)");
    if (path.endsWith(deleted))
        path.chop(deleted.size());
    return path;
}

bool processOpenable(quint32 pid)
{
    struct stat info
    {
    };
    return pid != 0 &&
           ::stat(QStringLiteral("/proc/%1").arg(pid).toLocal8Bit().constData(), &info) == 0;
}

// Hidden windows of services and other users are not the user's to record: root and the
// system accounts (unless they are who we run as) and other people alike.
bool ownedBySomeoneElse(quint32 pid)
{
    struct stat info
    {
    };
    // A process whose owner cannot be read is given the benefit of the doubt.
    if (::stat(QStringLiteral("/proc/%1").arg(pid).toLocal8Bit().constData(), &info) != 0)
        return false;
    return info.st_uid != ::getuid();
}

} // namespace

struct X11WindowList::Facts
{
    xcb_window_t window = XCB_WINDOW_NONE;
    bool exists = false;
    bool overrideRedirect = false;
    bool inputOnly = false;
    bool mapped = false;
    bool shown = false;
    bool transient = false; // has an owner (WM_TRANSIENT_FOR)
    bool skipTaskbar = false;
    xcb_atom_t type = XCB_ATOM_NONE; // first EWMH window type, none when unset
    QSize size;
    quint32 pid = 0; // 0 when unknown or on another host
    QString title;
};

struct X11WindowList::Desktop
{
    QList<Facts> windows; // topmost first
    QSet<uint32_t> windowManagerClients;
    QSet<quint32> shellPids;
};

X11WindowList::X11WindowList(const X11Connection& connection) : x_(connection)
{
    xcb_connection_t* c = x_.get();
    std::vector<const char*> names(kAtomNames.begin(), kAtomNames.end());
    names.insert(names.end(), kWindowTypeNames.begin(), kWindowTypeNames.end());
    // Every request first, then the replies: one round trip.
    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const char* name : names)
        cookies.push_back(xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name));
    for (size_t i = 0; i < names.size(); ++i) {
        XReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
        atoms_.insert(names[i], reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE));
    }
    for (const char* name : kWindowTypeNames)
        windowTypes_.insert(atoms_.value(name));
    listedTypes_ = {XCB_ATOM_NONE, atoms_.value("_NET_WM_WINDOW_TYPE_NORMAL"),
                    atoms_.value("_NET_WM_WINDOW_TYPE_DIALOG")};
    clientMask_ = ~xcb_get_setup(c)->resource_id_mask;
}

XReply<xcb_get_property_reply_t> X11WindowList::property(xcb_window_t window, xcb_atom_t name,
                                                         xcb_atom_t type, uint32_t longs) const
{
    return XReply<xcb_get_property_reply_t>(xcb_get_property_reply(
        x_.get(), xcb_get_property(x_.get(), 0, window, name, type, 0, longs), nullptr));
}

QList<xcb_window_t> X11WindowList::managedWindows() const
{
    // A stale list left by a manager that has gone says nothing about the windows now.
    const auto check =
        property(x_.root(), atoms_.value("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW, 1);
    const QList<uint32_t> checkWindow = values32(check.get());
    if (checkWindow.isEmpty() || checkWindow.first() == XCB_WINDOW_NONE)
        return {};
    XReply<xcb_get_window_attributes_reply_t> alive(xcb_get_window_attributes_reply(
        x_.get(), xcb_get_window_attributes(x_.get(), checkWindow.first()), nullptr));
    if (!alive)
        return {};
    for (const char* name : {"_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST"}) {
        const auto list = property(x_.root(), atoms_.value(name), XCB_ATOM_WINDOW, 65536);
        const QList<uint32_t> windows = values32(list.get());
        if (!windows.isEmpty())
            return QList<xcb_window_t>(windows.rbegin(), windows.rend()); // topmost first
    }
    return {};
}

X11WindowList::Desktop X11WindowList::readDesktop(bool includeUnmanaged) const
{
    Desktop desktop;
    xcb_connection_t* c = x_.get();

    QList<xcb_window_t> candidates = managedWindows();
    const bool managed = !candidates.isEmpty();
    // Without a window manager every child of the root is a top-level window; with one, the
    // withdrawn (hidden) windows are the root's unmapped children it does not manage.
    if (!managed || includeUnmanaged) {
        XReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, x_.root()), nullptr));
        if (tree) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            const int count = xcb_query_tree_children_length(tree.get());
            QSet<xcb_window_t> known(candidates.cbegin(), candidates.cend());
            for (int i = count - 1; i >= 0; --i) {
                if (known.contains(children[i]))
                    continue;
                if (managed) {
                    XReply<xcb_get_window_attributes_reply_t> attributes(
                        xcb_get_window_attributes_reply(
                            c, xcb_get_window_attributes(c, children[i]), nullptr));
                    if (!attributes || attributes->map_state != XCB_MAP_STATE_UNMAPPED)
                        continue;
                }
                candidates.append(children[i]);
            }
        }
    }

    const auto check =
        property(x_.root(), atoms_.value("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW, 1);
    for (uint32_t window : values32(check.get()))
        desktop.windowManagerClients.insert(window & clientMask_);
    const QByteArray selection =
        QByteArrayLiteral("_NET_WM_CM_S") + QByteArray::number(x_.screenNumber());
    XReply<xcb_get_selection_owner_reply_t> compositor(xcb_get_selection_owner_reply(
        c, xcb_get_selection_owner(c, x_.atom(selection.constData())), nullptr));
    if (compositor && compositor->owner != XCB_WINDOW_NONE)
        desktop.windowManagerClients.insert(compositor->owner & clientMask_);

    const xcb_atom_t desktopType = atoms_.value("_NET_WM_WINDOW_TYPE_DESKTOP");
    const xcb_atom_t dockType = atoms_.value("_NET_WM_WINDOW_TYPE_DOCK");
    for (xcb_window_t window : std::as_const(candidates)) {
        Facts facts = readFacts(window);
        if (!facts.exists)
            continue;
        if (facts.pid != 0 && (facts.type == desktopType || facts.type == dockType))
            desktop.shellPids.insert(facts.pid);
        desktop.windows.append(std::move(facts));
    }
    return desktop;
}

X11WindowList::Facts X11WindowList::readFacts(xcb_window_t window) const
{
    xcb_connection_t* c = x_.get();
    // Every request first, then the replies: one round trip for the whole window.
    const auto attributesCookie = xcb_get_window_attributes(c, window);
    const auto geometryCookie = xcb_get_geometry(c, window);
    const auto request = [&](xcb_atom_t name, xcb_atom_t type, uint32_t longs) {
        return xcb_get_property(c, 0, window, name, type, 0, longs);
    };
    const auto netNameCookie =
        request(atoms_.value("_NET_WM_NAME"), XCB_GET_PROPERTY_TYPE_ANY, 1024);
    const auto nameCookie = request(XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 1024);
    const auto wmStateCookie = request(atoms_.value("WM_STATE"), atoms_.value("WM_STATE"), 2);
    const auto netStateCookie = request(atoms_.value("_NET_WM_STATE"), XCB_ATOM_ATOM, 64);
    const auto typeCookie = request(atoms_.value("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 64);
    const auto pidCookie = request(atoms_.value("_NET_WM_PID"), XCB_ATOM_CARDINAL, 1);
    const auto transientCookie = request(XCB_ATOM_WM_TRANSIENT_FOR, XCB_ATOM_WINDOW, 1);
    const auto machineCookie = request(XCB_ATOM_WM_CLIENT_MACHINE, XCB_GET_PROPERTY_TYPE_ANY, 256);

    const auto reply = [c](xcb_get_property_cookie_t cookie) {
        return XReply<xcb_get_property_reply_t>(xcb_get_property_reply(c, cookie, nullptr));
    };
    XReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
    XReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, geometryCookie, nullptr));
    const auto netName = reply(netNameCookie);
    const auto name = reply(nameCookie);
    const auto wmState = reply(wmStateCookie);
    const auto netState = reply(netStateCookie);
    const auto type = reply(typeCookie);
    const auto pid = reply(pidCookie);
    const auto transient = reply(transientCookie);
    const auto machine = reply(machineCookie);

    Facts facts;
    facts.window = window;
    if (!attributes)
        return facts;
    facts.exists = true;
    facts.overrideRedirect = attributes->override_redirect;
    facts.inputOnly = attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY;
    facts.mapped = attributes->map_state != XCB_MAP_STATE_UNMAPPED;
    if (geometry)
        facts.size = QSize(geometry->width, geometry->height);

    const QList<uint32_t> states = values32(netState.get());
    const QList<uint32_t> icccmState = values32(wmState.get());
    const bool minimised = states.contains(atoms_.value("_NET_WM_STATE_HIDDEN"));
    const bool managedShown = !icccmState.isEmpty() && (icccmState.first() == kNormalState ||
                                                        icccmState.first() == kIconicState);
    facts.shown = facts.mapped || minimised || managedShown;
    facts.skipTaskbar = states.contains(atoms_.value("_NET_WM_STATE_SKIP_TASKBAR"));
    for (uint32_t candidate : values32(type.get())) {
        if (windowTypes_.contains(candidate)) {
            facts.type = candidate;
            break;
        }
    }
    const QList<uint32_t> owner = values32(transient.get());
    facts.transient = !owner.isEmpty() && owner.first() != XCB_WINDOW_NONE;

    const QList<uint32_t> pids = values32(pid.get());
    // A pid from another machine names some unrelated local process.
    const QByteArray host = bytes(machine.get());
    const bool local = host.isEmpty() || QString::fromLocal8Bit(host).compare(
                                             QSysInfo::machineHostName(), Qt::CaseInsensitive) == 0;
    if (!pids.isEmpty() && local)
        facts.pid = pids.first();

    if (netName && netName->type == atoms_.value("UTF8_STRING") && netName->format == 8)
        facts.title = QString::fromUtf8(bytes(netName.get()));
    if (facts.title.isEmpty() && name) {
        const QByteArray text = bytes(name.get());
        facts.title = name->type == XCB_ATOM_STRING               ? QString::fromLatin1(text)
                      : name->type == atoms_.value("UTF8_STRING") ? QString::fromUtf8(text)
                                                                  : QString::fromLocal8Bit(text);
    }
    return facts;
}

bool X11WindowList::isToolWindow(const Facts& facts) const
{
    return !listedTypes_.contains(facts.type) || facts.skipTaskbar;
}

bool X11WindowList::isWindowManagerWindow(xcb_window_t window, const Desktop& desktop) const
{
    return desktop.windowManagerClients.contains(window & clientMask_);
}

bool X11WindowList::passesEnumerationFilter(const Facts& facts, bool includeHidden,
                                            const Desktop& desktop) const
{
    if (facts.title.isEmpty())
        return false;
    // Recording our own window would only show the recorder itself.
    if (facts.pid == quint32(::getpid()))
        return false;
    if (!facts.shown) {
        if (!includeHidden)
            return false;
        if (facts.overrideRedirect || facts.inputOnly || isToolWindow(facts))
            return false;
        if (facts.size.width() < 1 || facts.size.height() < 1)
            return false;
        if (!processOpenable(facts.pid) || ownedBySomeoneElse(facts.pid))
            return false;
    }
    if (isToolWindow(facts) || facts.overrideRedirect || facts.inputOnly)
        return false;
    if (isWindowManagerWindow(facts.window, desktop))
        return false;
    if (!processOpenable(facts.pid))
        return true;
    if (desktop.shellPids.contains(facts.pid))
        return facts.type != atoms_.value("_NET_WM_WINDOW_TYPE_DIALOG") && !facts.transient;
    return true;
}

QList<WindowEntry> X11WindowList::enumerateWindows(bool includeHidden) const
{
    const Desktop desktop = readDesktop(includeHidden);
    QList<WindowEntry> result;
    for (const Facts& facts : desktop.windows)
        if (passesEnumerationFilter(facts, includeHidden, desktop))
            result.append({facts.window, facts.title});
    return result;
}

QString X11WindowList::windowTitle(xcb_window_t window) const
{
    return readFacts(window).title;
}

WindowIdentity X11WindowList::windowIdentity(xcb_window_t window) const
{
    WindowIdentity identity;
    const Facts facts = readFacts(window);
    if (!facts.exists)
        return identity;
    identity.pid = facts.pid;
    // WM_CLASS holds the instance name and then the class name, each ending in a zero byte.
    const auto wmClass = property(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256);
    const QList<QByteArray> parts = bytes(wmClass.get()).split('\0');
    if (parts.size() >= 2)
        identity.className = QString::fromLatin1(parts.at(1)).left(kMaxClassNameLength);
    const QString path = processImagePath(facts.pid);
    if (!path.isEmpty())
        identity.exeName = QFileInfo(path).baseName();
    return identity;
}

xcb_window_t X11WindowList::findWindowByIdentity(const WindowIdentity& identity) const
{
    if (identity.pid == 0)
        return XCB_WINDOW_NONE;
    const Desktop desktop = readDesktop(false);
    for (const Facts& facts : desktop.windows) {
        if (!facts.shown || facts.title.size() <= 1 || facts.overrideRedirect || facts.inputOnly ||
            isToolWindow(facts))
            continue;
        if (facts.pid != identity.pid)
            continue;
        const WindowIdentity candidate = windowIdentity(facts.window);
        if (candidate.className == identity.className && candidate.exeName == identity.exeName)
            return facts.window;
    }
    return XCB_WINDOW_NONE;
}

QImage X11WindowList::readImage(xcb_drawable_t drawable, int width, int height) const
{
    XReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        x_.get(),
        xcb_get_image(x_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, 0, 0,
                      static_cast<uint16_t>(width), static_cast<uint16_t>(height), ~0u),
        nullptr));
    if (!image)
        return {};
    // Depth 24 and 32 come as 32-bit BGRX pixels with rows padded to 32 bits: RGB32 as it is.
    int bitsPerPixel = 0;
    const xcb_setup_t* setup = xcb_get_setup(x_.get());
    auto formats = xcb_setup_pixmap_formats_iterator(setup);
    for (; formats.rem; xcb_format_next(&formats))
        if (formats.data->depth == image->depth)
            bitsPerPixel = formats.data->bits_per_pixel;
    const qsizetype stride = qsizetype(width) * 4;
    if (bitsPerPixel != 32 || xcb_get_image_data_length(image.get()) < stride * height)
        return {};
    return QImage(xcb_get_image_data(image.get()), width, height, stride, QImage::Format_RGB32)
        .copy();
}

QImage X11WindowList::windowImage(xcb_window_t window) const
{
    xcb_connection_t* c = x_.get();
    XReply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
    if (!geometry || geometry->width == 0 || geometry->height == 0)
        return {};
    const int width = geometry->width;
    const int height = geometry->height;

    // The window's own pixmap holds the parts other windows cover; the screen does not.
    RedirectHolder redirect{c};
    PixmapHolder pixmap{c};
    if (x_.hasExtension(&xcb_composite_id)) {
        XReply<xcb_composite_query_version_reply_t> version(
            xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
        if (version && (version->major_version > 0 || version->minor_version >= 2)) {
            XReply<xcb_generic_error_t> failed(
                xcb_request_check(c, xcb_composite_redirect_window_checked(
                                         c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
            if (!failed) {
                redirect.window = window;
                const xcb_pixmap_t id = xcb_generate_id(c);
                failed.reset(
                    xcb_request_check(c, xcb_composite_name_window_pixmap_checked(c, window, id)));
                if (!failed)
                    pixmap.pixmap = id;
            }
        }
    }
    X11WindowShape shape(x_, window);
    QImage image;
    if (pixmap.pixmap != XCB_NONE)
        image = readImage(pixmap.pixmap, width, height);
    // Without Composite: what the screen shows of the window, when all of it is on screen.
    if (image.isNull())
        image = readImage(window, width, height);
    const int border = geometry->border_width;
    const QRegion outside = shape.outside(QRect(-border, -border, width, height));
    if (!image.isNull() && !outside.isEmpty())
        X11WindowShape::blackOut(image.bits(), image.bytesPerLine(), outside);
    return image;
}
