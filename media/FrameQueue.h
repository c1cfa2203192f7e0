#pragma once

#include "FrameQueueItem.h"

#include <QMutex>
#include <QWaitCondition>

#include <atomic>
#include <deque>

// The bounded blocking queue that joins the capture threads (producers) and the mux thread
// (consumer) of one recording. It moves shared pointers, never pixels. All members are
// thread-safe.
class FrameQueue
{
public:
    static constexpr int kDefaultCapacity = 1024;

    explicit FrameQueue(int capacity = kDefaultCapacity);
    ~FrameQueue();

    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    // Blocks while the queue is full; an item pushed after close() is dropped.
    void push(FrameQueueItem item);
    // Blocks while the queue is empty and open. Returns false once closed and drained.
    bool pop(FrameQueueItem& item);
    // No more items will come: wakes every waiter. Items still queued are delivered first.
    void close();
    // Several capture threads feed one recording: the queue closes once the last of them has
    // finished, so none loses what it pushes while ending (the video thread's last slots, the
    // audio thread's closing frame). Without producers set, the first finish closes it.
    void setProducers(int count);
    void producerFinished();
    int size() const;
    int capacity() const { return capacity_; }
    bool isClosed() const { return stopped_.load(); }

private:
    mutable QMutex mutex_;
    QWaitCondition notEmpty_;
    QWaitCondition notFull_;
    std::deque<FrameQueueItem> items_;
    const int capacity_;
    std::atomic<bool> stopped_{false};
    int producers_ = 0; // under mutex_
};
