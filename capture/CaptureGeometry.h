#pragma once

#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

// Pure geometry of the capture loops, kept apart so that it can be checked without a display.
namespace capturegeometry {

// The encoder needs even frame sizes: odd sizes lose their last pixel, anything under 2 becomes 2.
int evenSize(int size);

// The same rect with evenSize() applied to width and height.
QRect evenRect(const QRect& rect);

// Scales a capture area given in logical pixels of monitor by dpi / 96 (each value truncated) and
// places it on the desktop at the monitor's origin. Returns nothing, with the warning text in
// *warning, when the scaled area is empty or leaves the monitor.
std::optional<QRect> scaleCaptureArea(const QRect& area, double dpi, const QRect& monitor,
                                      QString* warning = nullptr);

// The part of a window that lies on the monitor, relative to the monitor's top-left corner, with
// even sides (a side that would be 0 becomes 2). A null rect when the window is entirely off it.
QRect windowCropOnMonitor(const QRect& window, const QRect& monitor);

} // namespace capturegeometry
