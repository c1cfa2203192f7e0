#include "VideoCaptureFrames.h"

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cstring>

namespace videoframes {

void makeEven(AVFrame* frame)
{
    if (frame->width > 2)
        frame->width &= ~1;
    if (frame->height > 2)
        frame->height &= ~1;
}

SharedFrame fitToSize(VideoFramePool& pool, const SharedFrame& image, QSize size)
{
    if (!image || (image->width == size.width() && image->height == size.height()))
        return image;
    if (size.isEmpty())
        return {};
    SharedFrame frame = pool.acquire(size.width(), size.height());
    if (!frame)
        return {};
    const int width = std::min(image->width, size.width());
    const int height = std::min(image->height, size.height());
    const size_t rowBytes = static_cast<size_t>(frame->linesize[0]);
    for (int y = 0; y < size.height(); ++y) {
        uint8_t* dst = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
        if (y >= height) {
            std::memset(dst, 0, rowBytes);
            continue;
        }
        const size_t copied = static_cast<size_t>(width) * 4;
        std::memcpy(dst, image->data[0] + static_cast<std::ptrdiff_t>(y) * image->linesize[0],
                    copied);
        std::memset(dst + copied, 0, rowBytes - copied);
    }
    return frame;
}

SharedFrame toI420(VideoFramePool& pool, const SharedFrame& image)
{
    if (!image || image->format != AV_PIX_FMT_BGRA || image->width % 2 || image->height % 2)
        return image;
    SharedFrame frame = pool.acquireI420(image->width, image->height);
    if (!frame ||
        libyuv::ARGBToI420(image->data[0], image->linesize[0], frame->data[0], frame->linesize[0],
                           frame->data[1], frame->linesize[1], frame->data[2], frame->linesize[2],
                           image->width, image->height) != 0)
        return image;
    return frame;
}

} // namespace videoframes
