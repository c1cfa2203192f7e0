#include "X11WindowShape.h"

#include <QList>

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
    QList<QRect> parts;
    parts.reserve(count);
    for (int i = 0; i < count; ++i)
        parts.append(QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height));
    QRegion shape;
    // The server answers with its own region's bands, which QRegion takes as they are; merging
    // them one by one would cost a shape of many rectangles (xeyes) far more.
    if (reply->ordering == XCB_CLIP_ORDERING_YX_BANDED)
        shape.setRects(parts.constData(), int(parts.size()));
    else
        for (const QRect& part : std::as_const(parts))
            shape += part;
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
