#pragma once

#include "capture/VideoFramePool.h"

#include <cstdint>

// Copies a 32-bit BGRX image (as X returns depth 24 and 32 in ZPixmap format) into a packed
// BGRA frame from pool. The padding byte is copied as it is: nothing downstream reads alpha.
// Null when the pool has no frame.
SharedFrame copyBgrxToFrame(VideoFramePool& pool, const uint8_t* data, int width, int height,
                            int stride);
