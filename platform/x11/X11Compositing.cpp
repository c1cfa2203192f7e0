#include "platform/Compositing.h"

#include "X11Connection.h"

#include <QGuiApplication>

bool desktopComposited()
{
    // Wayland always composites and Qt's other platforms blend in memory.
    if (!qGuiApp || !qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
        return true;
    // When unsure, say no: painting the desktop looks right with or without a compositor.
    const auto x = X11Connection::open();
    if (!x)
        return false;
    // A compositing manager owns this selection for its screen while it runs.
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(x->screenNumber());
    const xcb_atom_t selection = x->atom(name.constData());
    const XReply<xcb_get_selection_owner_reply_t> owner(xcb_get_selection_owner_reply(
        x->get(), xcb_get_selection_owner(x->get(), selection), nullptr));
    return owner && owner->owner != XCB_WINDOW_NONE;
}
