#pragma once

#include "X11Connection.h"
#include "X11DamageI420.h"
#include "X11ShmFramePool.h"
#include "platform/ScreenGrabber.h"

#include <xcb/xfixes.h>

// Reads a window from its own off-screen pixmap (XComposite automatic redirection), so a
// covered window is still recorded; screen rectangles are read from the root window. The
// pointer is drawn in with XFixes when cursor capture is on. Images are read through shared
// memory when the server offers it. Outside a shaped window's bounding shape the image is black.
// A screen rectangle wanted in 4:2:0 without the pointer is kept up to date from the server's
// damage reports (X11DamageI420).
class X11CompositeGrabber : public ScreenGrabber
{
public:
    // Null with "Composite not available" in *error when the extension is missing.
    static std::unique_ptr<X11CompositeGrabber> create(std::unique_ptr<X11Connection> connection,
                                                       QString* error);
    ~X11CompositeGrabber() override;

    bool setScreenRect(const QRect& rect, QString* error = nullptr) override;
    bool setWindow(NativeWindow window, QString* error = nullptr) override;
    void setCursorCapture(bool on) override { cursor_ = on; }
    // A screen rectangle then comes from the damaged rows alone.
    void setI420Frames(bool on) override { i420_ = on; }
    // A screen rectangle's damage reader reads it and keeps its pictures ready.
    void prepare(std::size_t bytes) override;
    Result grab(VideoFramePool& pool, SharedFrame* frame) override;
    QSize lastSize() const override { return lastSize_; }

private:
    explicit X11CompositeGrabber(std::unique_ptr<X11Connection> connection);
    void releaseWindow();
    bool renamePixmap(QSize size);
    // The image through a shared segment; null when there is none to use.
    SharedFrame readShared(VideoFramePool& pool, xcb_drawable_t drawable, const QRect& source);
    // The damage reader of a screen rectangle in 4:2:0, made on first use; null otherwise.
    X11DamageI420* damageReader();

    std::unique_ptr<X11Connection> x_;
    // Frames the server writes into directly; null without MIT-SHM (plain reads and a copy).
    std::unique_ptr<X11ShmFramePool> segments_;
    bool haveXFixes_ = false;
    bool cursor_ = true;
    bool i420_ = false;
    std::unique_ptr<X11DamageI420> damage_; // declared after segments_, so it goes first
    QRect rect_;
    xcb_window_t window_ = XCB_WINDOW_NONE;
    xcb_pixmap_t pixmap_ = XCB_NONE;
    QSize pixmapSize_;
    QSize lastSize_;
};
