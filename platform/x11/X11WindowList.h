#pragma once

#include "X11Connection.h"
#include "platform/WindowSystem.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QSet>

// The window picker's view of the X desktop: which top-level windows a user can record, their
// titles and identities, the lookup of a stored identity, and a window's current image.
//
// How the desktop maps onto the picker's rules:
// - A window counts as shown when it is mapped, or when the window manager keeps it iconic or
//   normal while it is unmapped (minimised, or on another desktop): the application wants it
//   shown. Windows on other desktops are therefore listed; X has nothing like cloaking.
// - Override-redirect windows (menus, tooltips, drag icons) and input-only windows are never
//   top-level windows a user works with; transient-for windows (dialogs) are, and are listed.
// - Tool windows are those whose _NET_WM_WINDOW_TYPE is not normal or dialog (docks, desktops,
//   toolbars, menus, utilities, splashes, notifications, ...) or that skip the taskbar.
// - The window manager's and the compositor's own windows are skipped, recognised by their X
//   client. Processes that own a desktop or dock window are the desktop shell: only their
//   normal, unowned windows (a file manager's) are listed.
// - Our own windows (_NET_WM_PID is this process) are never offered.
// - Hidden windows of processes of another account (root and system accounts included, unless
//   they are our own) are skipped.
class X11WindowList
{
public:
    explicit X11WindowList(const X11Connection& connection);

    QList<WindowEntry> enumerateWindows(bool includeHidden) const;
    QString windowTitle(xcb_window_t window) const;
    WindowIdentity windowIdentity(xcb_window_t window) const;
    xcb_window_t findWindowByIdentity(const WindowIdentity& identity) const;
    // The window's content (a frame window for the outer image); null on any failure, and for
    // an unmapped (minimised) window. A window nobody redirected before gets a pixmap filled
    // from the screen, so parts covered by other windows show those until its program repaints;
    // under a compositing manager the pixmap is always complete. Outside a shaped window's
    // bounding shape the image is black.
    QImage windowImage(xcb_window_t window) const;

private:
    struct Facts;
    struct Desktop;

    Desktop readDesktop(bool includeUnmanaged) const;
    QList<xcb_window_t> managedWindows() const;
    Facts readFacts(xcb_window_t window) const;
    bool passesEnumerationFilter(const Facts& facts, bool includeHidden,
                                 const Desktop& desktop) const;
    bool isToolWindow(const Facts& facts) const;
    bool isWindowManagerWindow(xcb_window_t window, const Desktop& desktop) const;
    XReply<xcb_get_property_reply_t> property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type,
                                              uint32_t longs) const;
    QImage readImage(xcb_drawable_t drawable, int width, int height) const;

    const X11Connection& x_;
    QHash<QByteArray, xcb_atom_t> atoms_;
    QSet<xcb_atom_t> windowTypes_; // every EWMH window type
    QSet<xcb_atom_t> listedTypes_; // window types of windows a user records
    uint32_t clientMask_ = 0;      // the bits of a resource id that name its X client
};
