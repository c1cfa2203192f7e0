#pragma once

#include "platform/ScreenGrabber.h"

#include <QRect>
#include <QSize>
#include <QString>

#include <cstdint>
#include <memory>

// Reads the video stream of one PipeWire node (a screen or window shared through the
// ScreenCast portal). The stream is damage-driven: a new buffer comes only when the picture
// changed, so grab() reports NoChange in between and the capture loop repeats the last frame.
// Of the buffers that arrive only the newest is kept from the producer (an older one goes back
// at once); grab() copies it, cropped, as BGRA into a frame of the pool and gives it back, so
// a picture the recording never takes costs no copy. Frames are even-sized for the encoder (a
// last odd row or column is left out).
class PipeWireGrabber : public ScreenGrabber
{
public:
    // Reads the PipeWire video stream of one node. fd: a PipeWire remote from the ScreenCast
    // portal's OpenPipeWireRemote (the grabber takes it over and closes it), or -1 for the
    // user's default daemon (tests). Null with the reason in *error when the stream cannot be
    // connected.
    static std::unique_ptr<PipeWireGrabber> create(int fd, std::uint32_t nodeId, QString* error);
    ~PipeWireGrabber() override;
    PipeWireGrabber(const PipeWireGrabber&) = delete;
    PipeWireGrabber& operator=(const PipeWireGrabber&) = delete;

    // A rectangle inside the stream (stream pixels, origin at the stream's top left) to crop
    // to; an empty rect or the whole stream = no crop. A rectangle the stream later shrinks
    // away from is clipped to it.
    bool setScreenRect(const QRect& rect, QString* error = nullptr) override;
    // The stream is the window: no crop.
    bool setWindow(NativeWindow window, QString* error = nullptr) override;
    // Frame when a new buffer came since the last grab; NoChange when none; Lost once the
    // stream ended or failed.
    Result grab(VideoFramePool& pool, SharedFrame* frame) override;
    QSize lastSize() const override { return lastSize_; }
    // Converts straight from the stream's buffer.
    void setI420Frames(bool on) override { i420_ = on; }

    // Waits (up to timeoutMs, for the first frame only) until the stream has negotiated its
    // size, and returns it (the part of the buffers the producer marks as shown); empty when
    // none came in time or the stream failed. Thread-safe.
    QSize waitForSize(int timeoutMs);

private:
    struct Stream; // the PipeWire objects and what their thread shares with grab()

    PipeWireGrabber();

    std::unique_ptr<Stream> stream_;
    QSize lastSize_;
    bool i420_ = false;
};
