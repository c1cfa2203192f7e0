#pragma once

#include "media/FrameQueueItem.h"

#include <QColor>
#include <QList>
#include <QRect>

#include <cstdint>

extern "C" {
#include <libavutil/pixfmt.h>
}

// Frames with known content for feeding encoders in tests, and the means to recognise that
// content after decoding.
namespace testsupport {

// The test picture: the left half is kPatternBlue, the right half dark grey with a white bar in
// one of four columns; the bar moves one column on with every frame, so decoded frames tell
// their order.
inline const QColor kPatternBlue(40, 40, 200);
QColor patternColour(int x, int width, int frameIndex);

// A test picture of the given size and pixel format in its own buffers (av_frame_get_buffer),
// with pts and duration in microseconds.
SharedFrame makePatternFrame(int width, int height, int frameIndex, AVPixelFormat format,
                             std::int64_t ptsUs, std::int64_t durationUs);

// Regions of a decoded picture of the given size: first the interior of the blue half, then the
// interior of each of the four bar columns.
QList<QRect> patternRegions(int width, int height);

// The bar column (0..3) from the average colours of patternRegions(), region 0 included.
int patternBarColumn(const QList<QColor>& regionColours);

// Planar float stereo carrying a sine of the given frequency and amplitude on both channels;
// pts = firstSample, so it counts samples at sampleRate.
SharedFrame makeToneFrame(int sampleRate, int samples, std::int64_t firstSample, double hz,
                          double amplitude = 0.5);

} // namespace testsupport
