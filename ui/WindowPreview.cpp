#include "WindowPreview.h"

WindowPreview::WindowPreview(QObject* parent) : QObject(parent) {}

WindowPreview::~WindowPreview() = default;

WindowPreview* WindowPreview::of(QObject* owner)
{
    auto* preview = owner->findChild<WindowPreview*>(QString(), Qt::FindDirectChildrenOnly);
    return preview ? preview : new WindowPreview(owner);
}

QImage WindowPreview::picture(WindowSystem& windowSystem, NativeWindow window)
{
    // The frame, as the recording reads it; a window manager may reparent a window later on.
    const NativeWindow frame = windowSystem.frameWindow(window);
    if (frame == 0 || unavailable_) {
        release();
        return {};
    }
    if (!grabber_) {
        grabber_ = ScreenGrabber::create(ScreenGrabber::Kind::Composite);
        unavailable_ = !grabber_;
        if (unavailable_)
            return {};
        grabber_->setCursorCapture(false);
    }
    if (frame != read_) {
        read_ = grabber_->setWindow(frame) ? frame : 0;
        if (read_ == 0)
            return {};
    }
    SharedFrame image;
    const ScreenGrabber::Result result = grabber_->grab(pool_, &image);
    if (result == ScreenGrabber::Result::Lost)
        release(); // a new connection next time
    if (result != ScreenGrabber::Result::Frame || !image)
        return {};
    return QImage(image->data[0], image->width, image->height, image->linesize[0],
                  QImage::Format_RGB32)
        .copy();
}

void WindowPreview::release()
{
    grabber_.reset();
    read_ = 0;
}
