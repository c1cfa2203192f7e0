#include "X11Connection.h"

#include <cstring>

std::unique_ptr<X11Connection> X11Connection::open(QString* error)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        if (error)
            *error = QStringLiteral("No X display: DISPLAY is not set.");
        return nullptr;
    }
    int screenNumber = 0;
    std::unique_ptr<X11Connection> result(new X11Connection);
    result->connection_.reset(xcb_connect(nullptr, &screenNumber));
    if (!result->connection_ || xcb_connection_has_error(result->connection_.get())) {
        if (error)
            *error = QStringLiteral("Cannot open the X display %1.")
                         .arg(qEnvironmentVariable("DISPLAY"));
        return nullptr;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(result->get()));
    for (int i = 0; it.rem && i < screenNumber; ++i)
        xcb_screen_next(&it);
    if (!it.rem) {
        if (error)
            *error = QStringLiteral("The X display has no screen.");
        return nullptr;
    }
    result->screen_ = it.data;
    result->screenNumber_ = screenNumber;
    return result;
}

xcb_atom_t X11Connection::atom(const char* name) const
{
    XReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        get(), xcb_intern_atom(get(), 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

bool X11Connection::hasExtension(xcb_extension_t* extension) const
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(get(), extension);
    return data && data->present;
}
