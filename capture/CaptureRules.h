#pragma once

#include "platform/ScreenGrabber.h"

// How one grabber kind is driven: what a window target needs, what a missing image means and
// the texts of its run log. The loop itself is the same for all of them.
struct CaptureRules
{
    ScreenGrabber::Kind kind;
    // How the window target is followed while recording.
    enum class Window {
        Restore,        // shown and restored when hidden or minimised; small resizes ignored
        SkipAndCrop,    // no frames while minimised; the window's part of the monitor is read
        SkipAndRestart, // no frames while minimised; any resize sets the capture up again
    } window;
    // What a grab without a new image does.
    enum class NoImage {
        Retry,    // short sleep, then the next try without a rate sleep
        NextSlot, // wait for the next slot (an unchanged screen)
        Warn,     // logged as a failure, short sleep, next try
        Repeat,   // the last image again, for this slot (a stream that sends only changes)
    } noImage;
    const char* hiddenAtStart; // null: nothing is shown at set-up
    const char* minimisedAtStart;
    const char* hiddenWhile; // null: the window is left as it is while recording
    const char* minimisedWhile;
    const char* closedLog; // logged before closedMessage is sent; may be null
    const char* closedMessage;
    const char* failedImageLog; // an image that cannot become a frame
    const char* lostFallBack;   // sent when the grabber stops working; null: a fatal error

    static const CaptureRules& forKind(ScreenGrabber::Kind kind);
    // A desktop's screen-cast stream: the desktop follows the window itself, so only the image
    // rules apply (kind and window are not used).
    static const CaptureRules& stream();

    // What failed on X, added to the log lines that name the other system's interfaces.
    static constexpr char kDisplayLost[] = "The X display connection broke.";
    static QString windowGone(NativeWindow window);
};
