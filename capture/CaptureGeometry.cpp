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

} // namespace

int evenSize(int size)
{
    return size < 2 ? 2 : (size & ~1);
}

QRect evenRect(const QRect& rect)
{
    return QRect(rect.x(), rect.y(), evenSize(rect.width()), evenSize(rect.height()));
}

QRect scaleToPhysical(const QRect& area, double dpi)
{
    const float scale = static_cast<float>(dpi / 96.0);
    return QRect(static_cast<int>(static_cast<float>(area.x()) * scale),
                 static_cast<int>(static_cast<float>(area.y()) * scale),
                 static_cast<int>(static_cast<float>(area.width()) * scale),
                 static_cast<int>(static_cast<float>(area.height()) * scale));
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

QRect windowCropOnMonitor(const QRect& window, const QRect& monitor, QSize image)
{
    const QRect visible = window.intersected(monitor);
    if (visible.isEmpty())
        return {};
    const double scaleX = image.isEmpty() || monitor.width() <= 0
                              ? 1.0
                              : double(image.width()) / double(monitor.width());
    const double scaleY = image.isEmpty() || monitor.height() <= 0
                              ? 1.0
                              : double(image.height()) / double(monitor.height());
    const int x = static_cast<int>((visible.left() - monitor.left()) * scaleX);
    const int y = static_cast<int>((visible.top() - monitor.top()) * scaleY);
    const int width = static_cast<int>(visible.width() * scaleX);
    const int height = static_cast<int>(visible.height() * scaleY);
    if (width <= 0 || height <= 0)
        return {};
    return QRect(x, y, evenSize(width), evenSize(height));
}

std::optional<QRect> frameRect(QSize image, const QRect& crop, bool areaMode, const QRect& area,
                               double dpi, QString* warning)
{
    if (crop.width() >= 1 && crop.height() >= 1) {
        if (!fits(crop.x(), crop.y(), crop.width(), crop.height(), image)) {
            if (warning)
                *warning = QStringLiteral("Invalid crop parameters: cropX=%1, cropY=%2, cropW=%3, "
                                          "cropH=%4, texture size=%5x%6")
                               .arg(crop.x())
                               .arg(crop.y())
                               .arg(crop.width())
                               .arg(crop.height())
                               .arg(image.width())
                               .arg(image.height());
            return std::nullopt;
        }
        return crop;
    }
    if (areaMode) {
        const QRect scaled = scaleToPhysical(area, dpi);
        if (!fits(scaled.x(), scaled.y(), scaled.width(), scaled.height(), image)) {
            if (warning)
                *warning = invalidAreaText(scaled);
            return std::nullopt;
        }
        return scaled;
    }
    return QRect(QPoint(0, 0), image);
}

} // namespace capturegeometry
