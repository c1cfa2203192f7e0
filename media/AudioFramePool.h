#pragma once

#include "media/FrameQueueItem.h"

#include <QMutex>

#include <memory>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

// A writable sound frame with room for samples a channel, in the default layout of channels
// (pts 0), or null when memory runs out.
AVFrame* allocateSoundFrame(AVSampleFormat format, int sampleRate, int samples, int channels);

// Recycles the two-channel audio frames of one capture run. A frame handed out returns to the
// pool when its last owner (usually the mux thread) drops it; the frame keeps the pool alive, so
// the pool may outlive the capture thread. Thread-safe.
class AudioFramePool : public std::enable_shared_from_this<AudioFramePool>
{
public:
    static constexpr int kInitialFrames = 16;

    // Use create(): the frames need a shared pointer to the pool.
    static std::shared_ptr<AudioFramePool> create(AVSampleFormat format, int sampleRate,
                                                  int frameSize);
    ~AudioFramePool();
    AudioFramePool(const AudioFramePool&) = delete;
    AudioFramePool& operator=(const AudioFramePool&) = delete;

    // A writable frame of frameSize samples (stereo layout, format, rate set; pts 0), or null
    // when memory runs out.
    SharedFrame take();

    int freeCount() const;
    AVSampleFormat format() const { return format_; }
    int sampleRate() const { return sampleRate_; }
    int frameSize() const { return frameSize_; }

private:
    AudioFramePool(AVSampleFormat format, int sampleRate, int frameSize);
    AVFrame* allocate() const;
    void giveBack(AVFrame* frame);

    mutable QMutex mutex_;
    std::vector<AVFrame*> free_;
    const AVSampleFormat format_;
    const int sampleRate_;
    const int frameSize_;
};
