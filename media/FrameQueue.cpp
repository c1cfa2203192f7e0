#include "FrameQueue.h"

#include <utility>

extern "C" {
#include <libavcodec/packet.h>
}

FrameQueue::FrameQueue(int capacity, std::int64_t byteBudget)
    : capacity_(capacity), byteBudget_(byteBudget)
{
}

FrameQueue::~FrameQueue()
{
    close();
    std::deque<Entry> remaining;
    {
        QMutexLocker lock(&mutex_);
        remaining.swap(items_);
    }
}

void FrameQueue::push(FrameQueueItem item)
{
    QMutexLocker lock(&mutex_);
    while (static_cast<int>(items_.size()) >= capacity_ && !stopped_.load())
        notFull_.wait(&mutex_);
    if (stopped_.load())
        return;
    const std::int64_t bytes = weigh(item);
    bytes_ += bytes;
    items_.push_back({std::move(item), bytes});
    notEmpty_.wakeOne();
}

bool FrameQueue::pop(FrameQueueItem& item)
{
    QMutexLocker lock(&mutex_);
    while (items_.empty() && !stopped_.load())
        notEmpty_.wait(&mutex_);
    if (items_.empty())
        return false;
    item = std::move(items_.front().item);
    bytes_ -= items_.front().bytes;
    items_.pop_front();
    notFull_.wakeOne();
    return true;
}

void FrameQueue::close()
{
    // The exchange happens under the mutex so a waiter cannot miss the wake-up between its
    // check of the flag and its wait.
    QMutexLocker lock(&mutex_);
    stopped_.exchange(true);
    notEmpty_.wakeAll();
    notFull_.wakeAll();
}

void FrameQueue::setProducers(int count)
{
    QMutexLocker lock(&mutex_);
    producers_ = count;
}

void FrameQueue::producerFinished()
{
    {
        QMutexLocker lock(&mutex_);
        if (--producers_ > 0)
            return;
    }
    close();
}

int FrameQueue::size() const
{
    QMutexLocker lock(&mutex_);
    return static_cast<int>(items_.size());
}

std::int64_t FrameQueue::bytes() const
{
    QMutexLocker lock(&mutex_);
    return bytes_;
}

std::int64_t FrameQueue::weigh(const FrameQueueItem& item)
{
    if (item.packet)
        return item.packet->size;
    const AVFrame* frame = item.frame.get();
    if (!frame || !frame->buf[0])
        return 0;
    const bool picture = frame->width > 0;
    if (picture && frame->buf[0]->data == lastImage_)
        return 0;
    if (picture)
        lastImage_ = frame->buf[0]->data;
    std::int64_t bytes = 0;
    for (const AVBufferRef* buffer : frame->buf)
        if (buffer)
            bytes += std::int64_t(buffer->size);
    return bytes;
}
