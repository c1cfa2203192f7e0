#pragma once

#include "media/FrameQueueItem.h"
#include "media/VideoFramePool.h"

#include <QSize>

// Small frame operations shared by the capture loops.
namespace videoframes {

// The encoder needs even sizes: drops an odd last column or row by narrowing the frame (the rows
// keep their stride, so nothing is copied). Sizes under 3 stay.
void makeEven(AVFrame* frame);

// image itself when it has the given size; otherwise a frame of that size from pool holding
// image's top-left part, black where image is smaller. Null when size is empty or memory is out.
SharedFrame fitToSize(VideoFramePool& pool, const SharedFrame& image, QSize size);

// image as a 4:2:0 frame from pool with the encoder's BT.601 limited-range matrix, converted while
// the image is still in the processor's cache (the encoder would read it cold, at about three
// times the cost) and so that a grabber's shared buffer is free again at once. image itself when
// it is not BGRA, or when there is no memory for the copy: the encoder then converts it.
SharedFrame toI420(VideoFramePool& pool, const SharedFrame& image);

} // namespace videoframes
