#include "X11PixelCopy.h"

#include <cstring>

SharedFrame copyBgrxToFrame(VideoFramePool& pool, const uint8_t* data, int width, int height,
                            int stride)
{
    SharedFrame frame = pool.acquire(width, height);
    if (!frame)
        return nullptr;
    for (int y = 0; y < height; ++y) {
        uint8_t* dst = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
        std::memcpy(dst, data + static_cast<std::ptrdiff_t>(y) * stride,
                    static_cast<size_t>(width) * 4);
        for (int x = 0; x < width; ++x)
            dst[x * 4 + 3] = 255;
    }
    return frame;
}
