#include "CaptureGeometry.h"

namespace capturegeometry {

int evenSize(int size)
{
    return size < 2 ? 2 : (size & ~1);
}

std::optional<QRect> scaleCaptureArea(const QRect& area, double dpi, const QRect& monitor,
                                      QString* warning)
{
    const float scale = static_cast<float>(dpi / 96.0);
    const int startX = static_cast<int>(static_cast<float>(area.x()) * scale);
    const int startY = static_cast<int>(static_cast<float>(area.y()) * scale);
    const int width = static_cast<int>(static_cast<float>(area.width()) * scale);
    const int height = static_cast<int>(static_cast<float>(area.height()) * scale);
    const bool valid = startX >= 0 && startY >= 0 && width >= 1 && height >= 1 &&
                       startX + width <= monitor.width() && startY + height <= monitor.height();
    if (!valid) {
        if (warning)
            *warning = QStringLiteral("Invalid capture area parameters: startX=%1, startY=%2, "
                                      "width=%3, height=%4")
                           .arg(startX)
                           .arg(startY)
                           .arg(width)
                           .arg(height);
        return std::nullopt;
    }
    return QRect(monitor.x() + startX, monitor.y() + startY, width, height);
}

QRect evenRect(const QRect& rect)
{
    return QRect(rect.x(), rect.y(), evenSize(rect.width()), evenSize(rect.height()));
}

QRect windowCropOnMonitor(const QRect& window, const QRect& monitor)
{
    const QRect visible = window.intersected(monitor);
    if (visible.isEmpty())
        return {};
    // Evening never grows the rect here, so it stays on the monitor.
    QRect r(visible.x(), visible.y(), visible.width() & ~1, visible.height() & ~1);
    if (r.width() < 2 || r.height() < 2)
        return {};
    return r;
}

} // namespace capturegeometry
