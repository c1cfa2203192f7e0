#include "X11WindowShape.h"

#include <cstring>

X11WindowShape::X11WindowShape(const X11Connection& connection, xcb_window_t window)
    : connection_(connection.get())
{
    if (!connection.hasExtension(&xcb_shape_id))
        return;
    cookie_ = xcb_shape_get_rectangles(connection_, window, XCB_SHAPE_SK_BOUNDING);
    asked_ = true;
}

X11WindowShape::~X11WindowShape()
{
    // A reply nobody waits for would stay queued in the connection.
    if (asked_)
        xcb_discard_reply(connection_, cookie_.sequence);
}

QRegion X11WindowShape::outside(const QRect& area)
{
    if (!asked_)
        return {};
    asked_ = false;
    XReply<xcb_shape_get_rectangles_reply_t> reply(
        xcb_shape_get_rectangles_reply(connection_, cookie_, nullptr));
    if (!reply)
        return {};
    // An unshaped window answers with one rectangle: its own.
    const xcb_rectangle_t* rects = xcb_shape_get_rectangles_rectangles(reply.get());
    const int count = xcb_shape_get_rectangles_rectangles_length(reply.get());
    QRegion shape;
    for (int i = 0; i < count; ++i)
        shape += QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height);
    return QRegion(area).subtracted(shape).translated(-area.topLeft());
}

void X11WindowShape::blackOut(uint8_t* pixels, qsizetype stride, const QRegion& region)
{
    constexpr uint32_t kBlack = 0xff000000; // opaque, for readers that do look at alpha
    for (const QRect& rect : region) {
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            auto* row = pixels + y * stride + qsizetype(rect.left()) * 4;
            for (int x = 0; x < rect.width(); ++x)
                std::memcpy(row + x * 4, &kBlack, 4);
        }
    }
}
