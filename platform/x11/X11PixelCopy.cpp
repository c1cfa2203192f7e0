#include "X11PixelCopy.h"

#include <cstring>

SharedFrame copyBgrxToFrame(VideoFramePool& pool, const uint8_t* data, int width, int height,
                            int stride)
{
    SharedFrame frame = pool.acquire(width, height);
    if (!frame)
        return nullptr;
    // The padding byte is left as the server sent it: every consumer of these frames (the
    // scaler to the encoder's format, the preview) ignores alpha.
    const size_t rowBytes = static_cast<size_t>(width) * 4;
    if (frame->linesize[0] == stride && stride == static_cast<int>(rowBytes)) {
        std::memcpy(frame->data[0], data, rowBytes * height);
        return frame;
    }
    for (int y = 0; y < height; ++y)
        std::memcpy(frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0],
                    data + static_cast<std::ptrdiff_t>(y) * stride, rowBytes);
    return frame;
}
