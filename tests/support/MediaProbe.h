#pragma once

#include <QColor>
#include <QImage>
#include <QList>
#include <QRect>
#include <QString>

#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

namespace testsupport {

// One stream of a media file as the demuxer describes it.
struct ProbedStream
{
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    QString codecName; // "h264", "aac", ...
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
    AVRational timeBase{0, 1};
    double seconds = 0.0; // the stream's duration as the container states it
    QString name;         // its title, or else its MP4 handler name
};

struct DecodedVideoFrame
{
    std::int64_t pts = 0; // best-effort timestamp in the stream's time base
    double seconds = 0.0;
    QList<QColor> regionColours; // average colour of each requested region, in request order
};

struct DecodedAudio
{
    int sampleRate = 0;
    int channels = 0;
    std::int64_t totalSamples = 0;           // per channel
    std::vector<std::vector<float>> samples; // one float vector per channel
};

// Opens a media file with libavformat and decodes it, for tests that check what was written.
class MediaProbe
{
public:
    // False: errorString() says why.
    bool open(const QString& path);
    QString errorString() const { return error_; }
    const QList<ProbedStream>& streams() const { return streams_; }
    // The first stream of that type, or null.
    const ProbedStream* firstStream(AVMediaType type) const { return stream(type, 0); }
    // The stream of that type after nth others of it, or null.
    const ProbedStream* stream(AVMediaType type, int nth) const;

    // Every frame of the first video stream, with the average colour of each region.
    QList<DecodedVideoFrame> decodeVideo(const QList<QRect>& regions = {});
    // The whole nth audio stream as planar float samples.
    DecodedAudio decodeAudio(int nth = 0);

    static QColor averageColour(const QImage& image, const QRect& region);
    // Each channel within tolerance: what survives colour conversion and compression.
    static bool near(QColor actual, QColor expected, int tolerance);
    // The frequency (Hz) of the strongest peak between minHz and maxHz in the signal's middle.
    static double dominantFrequency(const std::vector<float>& samples, int sampleRate,
                                    double minHz = 20.0, double maxHz = 20000.0);
    // Root-mean-square level of the samples (1.0 = full-scale square wave).
    static double rms(const std::vector<float>& samples);

private:
    QString path_;
    QString error_;
    QList<ProbedStream> streams_;
};

} // namespace testsupport
