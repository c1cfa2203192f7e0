#pragma once

#include "X11Connection.h"
#include "platform/ScreenGrabber.h"

#include <xcb/shm.h>

// Shared-memory reads of the root window. An image equal to the last one is reported as
// NoChange and costs no frame. (XDamage on the root misses drawing into windows that existed
// before the damage object, so the image itself is compared.) One segment, reallocated only
// when a larger image is needed.
class X11ShmGrabber : public ScreenGrabber
{
public:
    // Null, with the reason in *error, when MIT-SHM is missing.
    static std::unique_ptr<X11ShmGrabber> create(std::unique_ptr<X11Connection> connection,
                                                 QString* error);
    ~X11ShmGrabber() override;

    bool setScreenRect(const QRect& rect, QString* error = nullptr) override;
    bool setWindow(NativeWindow window, QString* error = nullptr) override;
    Result grab(VideoFramePool& pool, SharedFrame* frame) override;
    QSize lastSize() const override { return lastSize_; }

private:
    explicit X11ShmGrabber(std::unique_ptr<X11Connection> connection);
    bool ensureSegment(size_t bytes);
    void releaseSegment();
    bool sameAsLast(int width, int height) const;
    QRect sourceRect() const;

    std::unique_ptr<X11Connection> x_;
    xcb_shm_seg_t segment_ = 0;
    uint8_t* memory_ = nullptr;
    size_t capacity_ = 0;
    QRect rect_;
    xcb_window_t window_ = XCB_WINDOW_NONE;
    QSize lastSize_;
    SharedFrame last_; // the last frame handed out, for the change test
};
