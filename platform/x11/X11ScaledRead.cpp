#include "X11ScaledRead.h"

#include <cmath>
#include <cstdlib>

namespace {

xcb_render_fixed_t toFixed(double value)
{
    return static_cast<xcb_render_fixed_t>(std::lround(value * 65536.0));
}

// The picture format of the screen's own visual, which the screen and the steps share.
xcb_render_pictformat_t rootFormat(X11Connection& x)
{
    XReply<xcb_render_query_pict_formats_reply_t> formats(xcb_render_query_pict_formats_reply(
        x.get(), xcb_render_query_pict_formats(x.get()), nullptr));
    if (!formats)
        return XCB_NONE;
    auto screens = xcb_render_query_pict_formats_screens_iterator(formats.get());
    for (; screens.rem; xcb_render_pictscreen_next(&screens)) {
        auto depths = xcb_render_pictscreen_depths_iterator(screens.data);
        for (; depths.rem; xcb_render_pictdepth_next(&depths)) {
            auto visuals = xcb_render_pictdepth_visuals_iterator(depths.data);
            for (; visuals.rem; xcb_render_pictvisual_next(&visuals)) {
                if (visuals.data->visual == x.rootVisual())
                    return visuals.data->format;
            }
        }
    }
    return XCB_NONE;
}

} // namespace

X11ScaledRead::X11ScaledRead(X11Connection& x) : x_(x)
{
    if (!x_.hasExtension(&xcb_render_id))
        return;
    XReply<xcb_render_query_version_reply_t> version(xcb_render_query_version_reply(
        x_.get(), xcb_render_query_version(x_.get(), 0, 11), nullptr));
    // Transforms and filters came with RENDER 0.6.
    if (!version || (version->major_version == 0 && version->minor_version < 6))
        return;
    format_ = rootFormat(x_);
    if (format_ == XCB_NONE)
        return;
    // The screen as it shows, windows included, not the root window's own background.
    const uint32_t includeInferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
    const xcb_render_picture_t picture = xcb_generate_id(x_.get());
    XReply<xcb_generic_error_t> failure(xcb_request_check(
        x_.get(),
        xcb_render_create_picture_checked(x_.get(), picture, x_.root(), format_,
                                          XCB_RENDER_CP_SUBWINDOW_MODE, &includeInferiors)));
    if (!failure)
        rootPicture_ = picture;
}

X11ScaledRead::~X11ScaledRead()
{
    freeSteps();
    if (rootPicture_ != XCB_NONE)
        xcb_render_free_picture(x_.get(), rootPicture_);
    xcb_flush(x_.get());
}

std::vector<QSize> X11ScaledRead::stepSizes(QSize source, QSize target)
{
    std::vector<QSize> sizes;
    QSize current = source;
    while (current.width() / 2 >= target.width() && current.height() / 2 >= target.height()) {
        current /= 2;
        sizes.push_back(current);
    }
    if (current != target)
        sizes.push_back(target);
    return sizes;
}

bool X11ScaledRead::makeSteps(const std::vector<QSize>& sizes)
{
    bool same = sizes.size() == steps_.size();
    for (size_t i = 0; same && i < sizes.size(); ++i)
        same = steps_[i].size == sizes[i];
    if (same)
        return true;
    freeSteps();
    static const char bilinear[] = "bilinear";
    // Checked, as a server short of memory may refuse a pixmap: one round trip per new size.
    std::vector<xcb_void_cookie_t> made;
    for (const QSize& size : sizes) {
        Step step;
        step.size = size;
        step.pixmap = xcb_generate_id(x_.get());
        made.push_back(xcb_create_pixmap_checked(x_.get(), x_.rootDepth(), step.pixmap, x_.root(),
                                                 static_cast<uint16_t>(size.width()),
                                                 static_cast<uint16_t>(size.height())));
        step.picture = xcb_generate_id(x_.get());
        made.push_back(xcb_render_create_picture_checked(x_.get(), step.picture, step.pixmap,
                                                         format_, 0, nullptr));
        // Each step is the source of the next one.
        xcb_render_set_picture_filter(x_.get(), step.picture, sizeof bilinear - 1, bilinear, 0,
                                      nullptr);
        steps_.push_back(step);
    }
    xcb_render_set_picture_filter(x_.get(), rootPicture_, sizeof bilinear - 1, bilinear, 0,
                                  nullptr);
    bool ok = true;
    for (const xcb_void_cookie_t cookie : made)
        ok = !XReply<xcb_generic_error_t>(xcb_request_check(x_.get(), cookie)) && ok;
    if (!ok)
        freeSteps();
    return ok;
}

void X11ScaledRead::freeSteps()
{
    for (const Step& step : steps_) {
        xcb_render_free_picture(x_.get(), step.picture);
        xcb_free_pixmap(x_.get(), step.pixmap);
    }
    steps_.clear();
}

void X11ScaledRead::scaleInto(xcb_render_picture_t from, QPoint origin, QSize fromSize,
                              const Step& to)
{
    // The transform takes each target pixel to the source point it stands for.
    const xcb_render_transform_t transform = {toFixed(double(fromSize.width()) / to.size.width()),
                                              0,
                                              toFixed(origin.x()),
                                              0,
                                              toFixed(double(fromSize.height()) / to.size.height()),
                                              toFixed(origin.y()),
                                              0,
                                              0,
                                              toFixed(1)};
    xcb_render_set_picture_transform(x_.get(), from, transform);
    xcb_render_composite(x_.get(), XCB_RENDER_PICT_OP_SRC, from, XCB_NONE, to.picture, 0, 0, 0, 0,
                         0, 0, static_cast<uint16_t>(to.size.width()),
                         static_cast<uint16_t>(to.size.height()));
}

QImage X11ScaledRead::read(const QRect& source, QSize box)
{
    const QRect area = source.intersected(QRect(0, 0, x_.rootWidth(), x_.rootHeight()));
    if (!available() || area.isEmpty() || box.isEmpty())
        return {};
    QSize target = area.size().scaled(box, Qt::KeepAspectRatio).boundedTo(area.size());
    target = target.expandedTo(QSize(1, 1));
    // Nothing else reads this connection's events: the errors of unchecked requests would
    // pile up there.
    while (xcb_generic_event_t* event = xcb_poll_for_event(x_.get()))
        std::free(event);
    if (!makeSteps(stepSizes(area.size(), target)))
        return {};

    xcb_drawable_t last = x_.root();
    QPoint lastOrigin = area.topLeft();
    xcb_render_picture_t from = rootPicture_;
    QSize fromSize = area.size();
    for (const Step& step : steps_) {
        scaleInto(from, lastOrigin, fromSize, step);
        from = step.picture;
        fromSize = step.size;
        lastOrigin = {};
        last = step.pixmap;
    }
    xcb_generic_error_t* error = nullptr;
    XReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        x_.get(),
        xcb_get_image(x_.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, last,
                      static_cast<int16_t>(lastOrigin.x()), static_cast<int16_t>(lastOrigin.y()),
                      static_cast<uint16_t>(target.width()), static_cast<uint16_t>(target.height()),
                      ~0u),
        &error));
    std::free(error);
    // Depth 24 and 32 both come as 32 bits a pixel.
    const qsizetype bytesPerLine = qsizetype(target.width()) * 4;
    if (!image || image->depth < 24 ||
        xcb_get_image_data_length(image.get()) < bytesPerLine * target.height())
        return {};
    uchar* data = xcb_get_image_data(image.get());
    // The image owns the reply it lies in, so the pixels are not copied again.
    QImage picture(
        data, target.width(), target.height(), bytesPerLine, QImage::Format_RGB32,
        [](void* reply) { std::free(reply); }, image.get());
    image.release();
    return picture;
}
