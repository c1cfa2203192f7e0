#include "VideoFramePool.h"

#include "platform/posix/PopulatedBuffer.h"

#include <QtGlobal>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
}

namespace {
constexpr int kBytesPerPixel = 4;
} // namespace

bool VideoFramePool::resize(int width, int height)
{
    pool_.reset();
    width_ = 0;
    height_ = 0;
    if (av_image_check_size(static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                            nullptr) < 0)
        return false;
    const size_t bytes = size_t(width) * size_t(height) * kBytesPerPixel;
    pool_.reset(av_buffer_pool_init(bytes, platform::allocatePopulatedBuffer));
    if (!pool_)
        return false;
    width_ = width;
    height_ = height;
    return true;
}

SharedFrame VideoFramePool::acquire(int width, int height)
{
    if ((!pool_ || width != width_ || height != height_) && !resize(width, height)) {
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
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = width;
    frame->height = height;
    frame->data[0] = frame->buf[0]->data;
    frame->linesize[0] = width * kBytesPerPixel;
    return frame;
}
