#pragma once

#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

// A frame shared between threads; the last owner frees it (and drops its buffer references).
using SharedFrame = std::shared_ptr<AVFrame>;

// Takes ownership of frame; it is freed with av_frame_free when the last reference goes.
SharedFrame makeSharedFrame(AVFrame* frame);

struct AVPacket;
// A compressed picture that goes into the file as it is: pts, dts and duration in microseconds.
using SharedPacket = std::shared_ptr<AVPacket>;

// What travels through the FrameQueue from the capture threads to the mux thread.
struct FrameQueueItem
{
    SharedFrame frame;
    bool isAudio = false;
    // Audio only: 1-based number of the audio frame within its track.
    std::int32_t sequence = 0;
    // Audio only: the sound track the frame belongs to, 0-based (MuxSettings::audioTrackNames).
    std::int32_t track = 0;
    // Instead of a frame, for a recording whose pictures are copied (MuxSettings).
    SharedPacket packet = nullptr;
};
