#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <xcb/xfixes.h>

#include <cstdint>

// Where the pointer's image lies in an image whose top left corner is origin on the screen.
QRect cursorRect(const xcb_xfixes_get_cursor_image_reply_t& cursor, QPoint origin);

// Blends the pointer's image (premultiplied ARGB, as XFixes gives it) into a BGRA image of the
// given size, clipped to it.
void drawCursor(std::uint8_t* image, int stride, QSize size,
                const xcb_xfixes_get_cursor_image_reply_t& cursor, QPoint origin);
