#pragma once

#include "X11Connection.h"

#include <QImage>
#include <QRect>
#include <QSize>

#include <xcb/render.h>

#include <vector>

// A rectangle of the screen shrunk by the X server (RENDER) before it is read, so that a small
// preview of a large screen costs a small read and no shrinking here. The server halves the
// picture with a bilinear filter until one more halving would go below the wanted size, and scales
// it to that size in a last step: each pixel is then the average of those it stands for, and fine
// lines and text do not alias the way a single large step would make them.
class X11ScaledRead
{
public:
    explicit X11ScaledRead(X11Connection& x);
    ~X11ScaledRead();
    X11ScaledRead(const X11ScaledRead&) = delete;
    X11ScaledRead& operator=(const X11ScaledRead&) = delete;

    // False when the display has no RENDER or no format for the screen's visual.
    bool available() const { return rootPicture_ != XCB_NONE; }
    // source (root coordinates), shrunk to fit into box with its aspect kept (never enlarged);
    // null when it cannot be read.
    QImage read(const QRect& source, QSize box);

private:
    struct Step
    {
        QSize size;
        xcb_pixmap_t pixmap = XCB_NONE;
        xcb_render_picture_t picture = XCB_NONE;
    };
    // The picture sizes from source (excluded) down to target.
    static std::vector<QSize> stepSizes(QSize source, QSize target);
    // False, with no steps kept, when the server refused one.
    bool makeSteps(const std::vector<QSize>& sizes);
    void freeSteps();
    void scaleInto(xcb_render_picture_t from, QPoint origin, QSize fromSize, const Step& to);

    X11Connection& x_;
    xcb_render_pictformat_t format_ = XCB_NONE;
    xcb_render_picture_t rootPicture_ = XCB_NONE;
    std::vector<Step> steps_;
};
