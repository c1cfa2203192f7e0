#pragma once

#include "X11Connection.h"
#include "X11ShmFramePool.h"
#include "platform/ScreenGrabber.h"

#include <xcb/shm.h>

// Shared-memory reads of the root window. An image equal to the last one is reported as
// NoChange and costs no frame. (XDamage on the root misses drawing into windows that existed
// before the damage object, so the image itself is compared.) The server writes into segments
// that become the frames themselves; while the encoder holds too many of them, images are read
// into a spare segment and copied out.
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
    // While the encoder holds every segment: a read into the spare segment, copied into a frame
    // of pool.
    Result grabIntoPool(VideoFramePool& pool, const QRect& source, SharedFrame* frame);
    bool sameAsLast(const std::uint8_t* image, int width, int height) const;
    QRect sourceRect() const;

    std::unique_ptr<X11Connection> x_;
    // Declared after the connection it detaches through, so it goes first.
    std::unique_ptr<X11ShmFramePool> segments_;
    QRect rect_;
    xcb_window_t window_ = XCB_WINDOW_NONE;
    QSize lastSize_;
    SharedFrame last_; // the last frame handed out, for the change test
};
