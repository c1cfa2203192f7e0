#pragma once

#include "X11Connection.h"
#include "media/FrameQueueItem.h"

#include <QRect>

// Reads a rectangle of a drawable with a plain GetImage (32 bits per pixel, as X returns depth
// 24 and 32 in ZPixmap format) and hands the reply itself out as a BGRA frame, so the image is
// not copied again. The padding byte stays as the server sent it: nothing downstream reads alpha.
// Null when the read fails.
SharedFrame readImageFrame(X11Connection& x, xcb_drawable_t drawable, const QRect& source);
