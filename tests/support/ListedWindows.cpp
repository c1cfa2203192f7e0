#include "ListedWindows.h"

#include <QImage>

namespace testsupport {

ListedWindows::ListedWindows(const QSet<NativeWindow>* live, QColor picture, QRect monitor)
    : live_(live), picture_(picture), monitor_(monitor)
{
}

bool ListedWindows::isWindow(NativeWindow window) const
{
    return live_->contains(window);
}

QRect ListedWindows::outerRect(NativeWindow window) const
{
    return isWindow(window) ? QRect(10, 10, 640, 480) : QRect();
}

QImage ListedWindows::windowImage(NativeWindow window) const
{
    if (!isWindow(window))
        return {};
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(picture_);
    return image;
}

QList<MonitorInfo> ListedWindows::monitors() const
{
    return {{QStringLiteral("Screen1"), monitor_, true}};
}

bool ListedWindows::monitorFromPoint(QPoint, bool, MonitorInfo* out) const
{
    *out = monitors().first();
    return true;
}

bool ListedWindows::monitorFromRect(const QRect&, MonitorInfo* out) const
{
    *out = monitors().first();
    return true;
}

} // namespace testsupport
