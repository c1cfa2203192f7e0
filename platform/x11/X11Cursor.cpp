#include "X11Cursor.h"

QRect cursorRect(const xcb_xfixes_get_cursor_image_reply_t& cursor, QPoint origin)
{
    return QRect(cursor.x - cursor.xhot - origin.x(), cursor.y - cursor.yhot - origin.y(),
                 cursor.width, cursor.height);
}

void drawCursor(std::uint8_t* image, int stride, QSize size,
                const xcb_xfixes_get_cursor_image_reply_t& cursor, QPoint origin)
{
    const uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(&cursor);
    if (xcb_xfixes_get_cursor_image_cursor_image_length(&cursor) < cursor.width * cursor.height)
        return;
    const QRect box = cursorRect(cursor, origin);
    for (int cy = 0; cy < cursor.height; ++cy) {
        const int y = box.top() + cy;
        if (y < 0 || y >= size.height())
            continue;
        uint8_t* row = image + static_cast<std::ptrdiff_t>(y) * stride;
        for (int cx = 0; cx < cursor.width; ++cx) {
            const int x = box.left() + cx;
            if (x < 0 || x >= size.width())
                continue;
            // ARGB with premultiplied alpha: dst = src + dst * (255 - alpha) / 255.
            const uint32_t p = pixels[cy * cursor.width + cx];
            const uint32_t alpha = p >> 24;
            if (alpha == 0)
                continue;
            uint8_t* d = row + x * 4;
            const uint32_t inverse = 255 - alpha;
            d[0] = static_cast<uint8_t>((p & 0xff) + (d[0] * inverse + 127) / 255);
            d[1] = static_cast<uint8_t>(((p >> 8) & 0xff) + (d[1] * inverse + 127) / 255);
            d[2] = static_cast<uint8_t>(((p >> 16) & 0xff) + (d[2] * inverse + 127) / 255);
        }
    }
}
