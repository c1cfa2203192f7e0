#pragma once

#include "X11Connection.h"

#include <QRegion>
#include <QSize>

#include <xcb/shape.h>

// A window's bounding shape (X Shape extension). The off-screen image of a shaped window (xeyes,
// round clocks) keeps whatever was there before outside its shape, so reads black that part out.
class X11WindowShape
{
public:
    // Sends the request without waiting, so it can share a round trip with others; nothing is
    // asked when the server has no Shape extension.
    X11WindowShape(const X11Connection& connection, xcb_window_t window);
    ~X11WindowShape();
    X11WindowShape(const X11WindowShape&) = delete;
    X11WindowShape& operator=(const X11WindowShape&) = delete;
    // The reply: the part of area (window coordinates) outside the shape, relative to area's
    // top left corner. Empty for an unshaped window or when the shape cannot be read.
    QRegion outside(const QRect& area);

    // Paints the region black in a 32-bit image.
    static void blackOut(uint8_t* pixels, qsizetype stride, const QRegion& region);

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_shape_get_rectangles_cookie_t cookie_{};
    bool asked_ = false;
};
