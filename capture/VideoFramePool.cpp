#include "VideoFramePool.h"

#include <QtGlobal>

#include <sys/mman.h>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
}

namespace {
constexpr int kBytesPerPixel = 4;

// A buffer whose pages exist from the start. Filling a fresh image-sized buffer page by page
// takes a fault for each of its thousands of pages, which in a virtual machine adds tens of
// milliseconds to a grab; mapping them all at once costs a fraction of that.
AVBufferRef* allocatePopulated(size_t bytes)
{
    void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED)
        return av_buffer_alloc(bytes);
    AVBufferRef* buffer = av_buffer_create(
        static_cast<uint8_t*>(memory), bytes,
        [](void* size, uint8_t* data) { munmap(data, reinterpret_cast<size_t>(size)); },
        reinterpret_cast<void*>(bytes), 0);
    if (!buffer)
        munmap(memory, bytes);
    return buffer;
}
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
    pool_.reset(av_buffer_pool_init(bytes, allocatePopulated));
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
