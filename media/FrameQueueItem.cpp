#include "FrameQueueItem.h"

SharedFrame makeSharedFrame(AVFrame* frame)
{
    return SharedFrame(frame, [](AVFrame* f) { av_frame_free(&f); });
}
