#pragma once

#include "X11Connection.h"
#include "media/FrameQueueItem.h"

#include <xcb/shm.h>

#include <QRect>

#include <cstddef>
#include <cstdint>
#include <memory>

// Shared-memory segments that become the buffers of BGRA frames, so that the server writes an
// image straight into the frame the encoder later reads, with no copy in between. A segment
// goes back to the pool when the last reference to its frame is dropped, on whatever thread
// that happens; segments are reused, never allocated per frame while enough of them are free.
//
// The pool is used by one capture thread; only the return of segments from dropped frames is
// thread-safe. Frames may outlive the pool: their segments stay mapped until they go.
class X11ShmFramePool
{
public:
    // Segments in use at once; past this the caller falls back to copying (an encoder that lags
    // far behind would otherwise pin a segment for every queued frame).
    static constexpr int kMaxSegments = 12;

    struct Segment;
    struct Shared; // the segment lists, shared with the frames' buffers

    // connection must outlive the pool.
    explicit X11ShmFramePool(X11Connection* connection);
    ~X11ShmFramePool();
    X11ShmFramePool(const X11ShmFramePool&) = delete;
    X11ShmFramePool& operator=(const X11ShmFramePool&) = delete;

    // A free segment of at least bytes, attached to the server; null when none can be made.
    Segment* take(std::size_t bytes);
    // A segment of at least bytes that never becomes a frame, for reading while the encoder
    // holds every other one (the image is then copied out); null when none can be made.
    Segment* spare(std::size_t bytes);
    // Reads rect of drawable (ZPixmap, 32 bits per pixel) into the segment.
    bool read(Segment* segment, xcb_drawable_t drawable, const QRect& rect);
    // Returns a segment taken but not turned into a frame.
    void giveBack(Segment* segment);
    // The frame whose buffer is the segment (rows of width * 4 bytes); the segment returns to
    // the pool with the frame's last reference. Null (and the segment given back) on failure.
    SharedFrame wrap(Segment* segment, int width, int height);

    static xcb_shm_seg_t id(const Segment* segment);
    static std::uint8_t* memory(const Segment* segment);

private:
    Segment* create(std::size_t bytes);

    X11Connection* x_;
    Segment* spare_ = nullptr; // also in the attached list
    std::shared_ptr<Shared> shared_;
};
