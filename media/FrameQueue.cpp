#include "FrameQueue.h"

#include <utility>

FrameQueue::FrameQueue(int capacity) : capacity_(capacity) {}

FrameQueue::~FrameQueue()
{
    close();
    std::deque<FrameQueueItem> remaining;
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
    items_.push_back(std::move(item));
    notEmpty_.wakeOne();
}

bool FrameQueue::pop(FrameQueueItem& item)
{
    QMutexLocker lock(&mutex_);
    while (items_.empty() && !stopped_.load())
        notEmpty_.wait(&mutex_);
    if (items_.empty())
        return false;
    item = std::move(items_.front());
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
