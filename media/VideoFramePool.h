#pragma once

#include "FrameQueueItem.h"

#include <memory>

extern "C" {
#include <libavutil/buffer.h>
}

// Hands out BGRA (or 4:2:0) frames of one size whose image buffers come from an AVBufferPool, so a
// grabber allocates only while the pool fills up and afterwards reuses the buffers that the mux
// thread has released. Rows are packed: a BGRA linesize is 4 x width, the image is one block of
// 4 x width x height bytes, so a grabber can copy a packed image in one go; 4:2:0 planes follow
// one another in one block.
//
// Used by the capture thread only; not thread-safe. The frames it hands out are reference
// counted, may be released on any thread and may outlive the pool.
class VideoFramePool
{
public:
    VideoFramePool() = default;
    VideoFramePool(const VideoFramePool&) = delete;
    VideoFramePool& operator=(const VideoFramePool&) = delete;

    // A writable BGRA frame of width x height (pts unset). A size other than the last one
    // replaces the pool. Returns null when the size is unusable or memory runs out, after logging
    // "Failed to allocate AVFrame." or "Failed to allocate AVFrame buffer.", so the caller only
    // has to skip the image.
    SharedFrame acquire(int width, int height);
    // The same as a 4:2:0 frame (even sizes only).
    SharedFrame acquireI420(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }

private:
    struct PoolDeleter
    {
        // Frees the pool once its last buffer comes back, so frames still queued stay valid.
        void operator()(AVBufferPool* pool) const { av_buffer_pool_uninit(&pool); }
    };

    bool resize(int width, int height, int format);
    SharedFrame acquireFormat(int width, int height, int format);

    std::unique_ptr<AVBufferPool, PoolDeleter> pool_;
    int width_ = 0;
    int height_ = 0;
    int format_ = -1;
};
