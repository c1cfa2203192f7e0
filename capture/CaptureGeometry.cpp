#include "CaptureGeometry.h"

namespace capturegeometry {

namespace {

QString invalidAreaText(const QRect& r)
{
    return QStringLiteral("Invalid capture area parameters: startX=%1, startY=%2, width=%3, "
                          "height=%4")
        .arg(r.x())
        .arg(r.y())
        .arg(r.width())
        .arg(r.height());
}

// QRect's own width() of a rect built from a negative width is not what was asked for, so the
// checks use the four numbers.
bool fits(int x, int y, int width, int height, QSize image)
{
    return x >= 0 && y >= 0 && width >= 1 && height >= 1 && x + width <= image.width() &&
           y + height <= image.height();
}

QRect scaleToPhysical(const QRect& area, double dpi)
{
    const float scale = static_cast<float>(dpi / 96.0);
    return QRect(static_cast<int>(static_cast<float>(area.x()) * scale),
                 static_cast<int>(static_cast<float>(area.y()) * scale),
                 static_cast<int>(static_cast<float>(area.width()) * scale),
                 static_cast<int>(static_cast<float>(area.height()) * scale));
}

} // namespace

int evenSize(int size)
{
    return size < 2 ? 2 : (size & ~1);
}

QRect evenRect(const QRect& rect)
{
    return QRect(rect.x(), rect.y(), evenSize(rect.width()), evenSize(rect.height()));
}

std::optional<QRect> scaleCaptureArea(const QRect& area, double dpi, const QRect& monitor,
                                      QString* warning)
{
    const QRect scaled = scaleToPhysical(area, dpi);
    if (!fits(scaled.x(), scaled.y(), scaled.width(), scaled.height(), monitor.size())) {
        if (warning)
            *warning = invalidAreaText(scaled);
        return std::nullopt;
    }
    return scaled.translated(monitor.topLeft());
}

QRect windowCropOnMonitor(const QRect& window, const QRect& monitor)
{
    const QRect visible = window.intersected(monitor);
    if (visible.isEmpty())
        return {};
    return QRect(visible.topLeft() - monitor.topLeft(),
                 QSize(evenSize(visible.width()), evenSize(visible.height())));
}

} // namespace capturegeometry
