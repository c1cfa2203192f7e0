#include "VideoFramePool.h"

#include "media/PopulatedBuffer.h"

#include <QtGlobal>

#include <cstddef>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
}

namespace {
constexpr int kBytesPerPixel = 4;
} // namespace

bool VideoFramePool::resize(int width, int height, int format)
{
    pool_.reset();
    width_ = 0;
    height_ = 0;
    if (av_image_check_size(static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                            nullptr) < 0 ||
        (format == AV_PIX_FMT_YUV420P && (width % 2 || height % 2)))
        return false;
    const size_t pixels = size_t(width) * size_t(height);
    const size_t bytes = format == AV_PIX_FMT_YUV420P ? pixels * 3 / 2 : pixels * kBytesPerPixel;
    pool_.reset(av_buffer_pool_init(bytes, media::allocatePopulatedBuffer));
    if (!pool_)
        return false;
    width_ = width;
    height_ = height;
    format_ = format;
    return true;
}

SharedFrame VideoFramePool::acquire(int width, int height)
{
    return acquireFormat(width, height, AV_PIX_FMT_BGRA);
}

SharedFrame VideoFramePool::acquireI420(int width, int height)
{
    return acquireFormat(width, height, AV_PIX_FMT_YUV420P);
}

SharedFrame VideoFramePool::acquireFormat(int width, int height, int format)
{
    if ((!pool_ || width != width_ || height != height_ || format != format_) &&
        !resize(width, height, format)) {
        qWarning("Failed to allocate AVFrame buffer.");
        return {};
    }
    AVFrame* raw = av_frame_alloc();
    if (!raw) {
        qWarning("Failed to allocate AVFrame.");
        return {};
    }
    SharedFrame frame = makeSharedFrame(raw);
    frame->buf[0] = av_buffer_pool_get(pool_.get());
    if (!frame->buf[0]) {
        qWarning("Failed to allocate AVFrame buffer.");
        return {};
    }
    frame->format = format;
    frame->width = width;
    frame->height = height;
    frame->data[0] = frame->buf[0]->data;
    if (format == AV_PIX_FMT_YUV420P) {
        const std::ptrdiff_t luma = std::ptrdiff_t(width) * height;
        frame->linesize[0] = width;
        frame->linesize[1] = frame->linesize[2] = width / 2;
        frame->data[1] = frame->data[0] + luma;
        frame->data[2] = frame->data[1] + luma / 4;
    } else {
        frame->linesize[0] = width * kBytesPerPixel;
    }
    return frame;
}
