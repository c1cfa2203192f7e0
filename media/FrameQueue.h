#pragma once

#include "FrameQueueItem.h"

#include <QMutex>
#include <QWaitCondition>

#include <atomic>
#include <cstdint>
#include <deque>

// The bounded blocking queue that joins the capture threads (producers) and the mux thread
// (consumer) of one recording. It moves shared pointers, never pixels, but keeps count of the
// bytes their buffers hold, so that the capture can keep a 4K recording's memory within a budget
// that no count of items expresses for every size. All members are thread-safe.
class FrameQueue
{
public:
    static constexpr int kDefaultCapacity = 1024;
    // About eight 4K pictures in 4:2:0, thirty at 1080p: room for the encoder's hiccups, while a
    // lasting overload is met by dropping frames instead of memory.
    static constexpr std::int64_t kDefaultByteBudget = std::int64_t(96) << 20;

    explicit FrameQueue(int capacity = kDefaultCapacity,
                        std::int64_t byteBudget = kDefaultByteBudget);
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
    // The bytes of the buffers queued. A picture that shares its image with the picture pushed
    // just before it (a repeated slot) adds nothing; a copied picture counts its packet.
    std::int64_t bytes() const;
    // Not enforced by push(): the producers keep under it (FramePacer drops frames).
    std::int64_t byteBudget() const { return byteBudget_; }
    bool isClosed() const { return stopped_.load(); }

private:
    mutable QMutex mutex_;
    QWaitCondition notEmpty_;
    QWaitCondition notFull_;
    struct Entry
    {
        FrameQueueItem item;
        std::int64_t bytes = 0;
    };
    std::int64_t weigh(const FrameQueueItem& item); // under mutex_

    std::deque<Entry> items_;
    const int capacity_;
    const std::int64_t byteBudget_;
    std::int64_t bytes_ = 0;                  // under mutex_
    const std::uint8_t* lastImage_ = nullptr; // under mutex_; compared, never read
    std::atomic<bool> stopped_{false};
    int producers_ = 0; // under mutex_
};
