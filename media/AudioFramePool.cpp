#include "AudioFramePool.h"

#include <QMutexLocker>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

std::shared_ptr<AudioFramePool> AudioFramePool::create(AVSampleFormat format, int sampleRate,
                                                       int frameSize)
{
    std::shared_ptr<AudioFramePool> pool(new AudioFramePool(format, sampleRate, frameSize));
    for (int i = 0; i < kInitialFrames; ++i) {
        if (AVFrame* frame = pool->allocate())
            pool->free_.push_back(frame);
    }
    return pool;
}

AudioFramePool::AudioFramePool(AVSampleFormat format, int sampleRate, int frameSize)
    : format_(format), sampleRate_(sampleRate), frameSize_(frameSize)
{
}

AudioFramePool::~AudioFramePool()
{
    for (AVFrame* frame : free_)
        av_frame_free(&frame);
}

AVFrame* allocateSoundFrame(AVSampleFormat format, int sampleRate, int samples, int channels)
{
    AVFrame* frame = av_frame_alloc();
    if (!frame)
        return nullptr;
    frame->format = format;
    frame->sample_rate = sampleRate;
    frame->nb_samples = samples;
    av_channel_layout_default(&frame->ch_layout, channels);
    if (av_frame_get_buffer(frame, 0) < 0)
        av_frame_free(&frame);
    return frame;
}

AVFrame* AudioFramePool::allocate() const
{
    return allocateSoundFrame(format_, sampleRate_, frameSize_, 2);
}

SharedFrame AudioFramePool::take()
{
    AVFrame* frame = nullptr;
    {
        QMutexLocker locker(&mutex_);
        if (!free_.empty()) {
            frame = free_.back();
            free_.pop_back();
        }
    }
    if (!frame)
        frame = allocate();
    if (!frame)
        return {};
    if (av_frame_make_writable(frame) < 0) {
        av_frame_free(&frame);
        return {};
    }
    frame->pts = 0;
    frame->nb_samples = frameSize_;
    std::shared_ptr<AudioFramePool> self = shared_from_this();
    return SharedFrame(frame, [self](AVFrame* returned) { self->giveBack(returned); });
}

void AudioFramePool::giveBack(AVFrame* frame)
{
    QMutexLocker locker(&mutex_);
    free_.push_back(frame);
}

int AudioFramePool::freeCount() const
{
    QMutexLocker locker(&mutex_);
    return int(free_.size());
}
