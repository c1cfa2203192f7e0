#pragma once

#include "media/VideoFramePool.h"
#include "platform/ScreenGrabber.h"
#include "platform/WindowSystem.h"

#include <QImage>
#include <QObject>

#include <memory>

// The idle preview of a window target, read the way the recording reads it: through a Composite
// grabber that keeps the window redirected between reads, so the window shows itself and not
// what covers it. (Right after the window is first taken the image may still hold the cover,
// until the window has repainted its off-screen image.)
class WindowPreview : public QObject
{
    Q_OBJECT

public:
    explicit WindowPreview(QObject* parent = nullptr);
    ~WindowPreview() override;

    // owner's preview, made at the first call.
    static WindowPreview* of(QObject* owner);

    // The window's current image, frame included; null when it cannot be read (closed,
    // minimised, no Composite on the display).
    QImage picture(WindowSystem& windowSystem, NativeWindow window);
    // Lets go of the window, which is then no longer kept redirected.
    void release();

private:
    std::unique_ptr<ScreenGrabber> grabber_;
    VideoFramePool pool_;
    NativeWindow read_ = 0;    // the frame window the grabber is set to
    bool unavailable_ = false; // no Composite: not asked again
};
