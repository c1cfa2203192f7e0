#include "X11ImageRead.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

#include <cstdlib>

SharedFrame readImageFrame(X11Connection& x, xcb_drawable_t drawable, const QRect& source)
{
    if (source.isEmpty())
        return nullptr;
    XReply<xcb_get_image_reply_t> image(xcb_get_image_reply(
        x.get(),
        xcb_get_image(x.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, drawable,
                      static_cast<int16_t>(source.x()), static_cast<int16_t>(source.y()),
                      static_cast<uint16_t>(source.width()), static_cast<uint16_t>(source.height()),
                      ~0u),
        nullptr));
    const int bytes = source.width() * source.height() * 4;
    if (!image || xcb_get_image_data_length(image.get()) < bytes)
        return nullptr;
    std::uint8_t* data = xcb_get_image_data(image.get());
    // The buffer frees the whole reply, of which the image is a part.
    AVBufferRef* buffer = av_buffer_create(
        data, static_cast<size_t>(bytes), [](void* reply, std::uint8_t*) { std::free(reply); },
        image.get(), 0);
    if (!buffer)
        return nullptr;
    image.release();
    AVFrame* frame = av_frame_alloc();
    if (!frame) {
        av_buffer_unref(&buffer);
        return nullptr;
    }
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = source.width();
    frame->height = source.height();
    frame->buf[0] = buffer;
    frame->data[0] = data;
    frame->linesize[0] = source.width() * 4;
    return makeSharedFrame(frame);
}
