#pragma once

#include "WindowSystem.h"
#include "media/VideoFramePool.h"

#include <QRect>
#include <QString>

#include <cstddef>
#include <memory>

// Reads BGRA images of a screen rectangle or of a window as frames (in buffers of the grabber's
// own, or of the VideoFramePool given).
// One grabber is used by one thread (the video capture thread); not thread-safe.
class ScreenGrabber
{
public:
    enum class Kind {
        Compatible,   // plain image reads, no extension ("GDI")
        SharedMemory, // shared-memory reads with change tracking ("DXGI")
        Composite,    // the window's own off-screen image, covered or not ("WGC")
    };

    enum class Result {
        Frame,    // *frame holds a new image
        NoChange, // nothing changed since the last frame; no image was read
        Failed,   // this image could not be read; try again later
        Lost,     // the display connection broke: this grabber reads nothing any more
    };

    virtual ~ScreenGrabber() = default;

    // Null, with the reason in *error, when the display or an extension the kind needs is
    // missing ("Composite not available" for Composite).
    static std::unique_ptr<ScreenGrabber> create(Kind kind, QString* error = nullptr);

    // Screen target: a rectangle of the desktop in physical pixels (a monitor or an area).
    virtual bool setScreenRect(const QRect& rect, QString* error = nullptr) = 0;
    // Window target: the whole window. The shared-memory kind reads the window's outer
    // rectangle, clipped to the desktop, from the screen image.
    virtual bool setWindow(NativeWindow window, QString* error = nullptr) = 0;
    // Draws the pointer into the image (Composite kind only; the others never show it).
    virtual void setCursorCapture(bool on) { (void)on; }
    // Hands out 4:2:0 frames instead of BGRA where the grabber can convert straight from its
    // source (one pass instead of a copy and a conversion), for a caller that turns every frame
    // into 4:2:0 anyway. Grabbers that cannot keep to BGRA. Set before the first grab.
    virtual void setI420Frames(bool on) { (void)on; }

    // Before the recording's clock starts: makes and writes the memory that up to `bytes` of
    // pictures waiting for the encoder take, so that no grab in the first seconds, while the
    // encoder warms up and holds the most, waits for fresh pages. Grabbers that keep no pictures
    // of their own do nothing.
    virtual void prepare(std::size_t bytes) { (void)bytes; }

    virtual Result grab(VideoFramePool& pool, SharedFrame* frame) = 0;
    // Size of the last image read (0 x 0 before the first).
    virtual QSize lastSize() const = 0;
};
