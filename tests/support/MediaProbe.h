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

// One stream of a media file as the demuxer and its parameters describe it.
struct ProbedStream
{
    int index = -1;
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    QString codecName; // "h264", "aac", "mpeg2video", ...
    int width = 0;
    int height = 0;
    QString pixelFormat; // "yuv420p", ...
    int sampleRate = 0;
    int channels = 0;
    AVRational timeBase{0, 1};
};

struct DecodedVideoFrame
{
    std::int64_t pts = 0; // best-effort timestamp in the stream's time base
    double seconds = 0.0;
    int width = 0;
    int height = 0;
    QList<QColor> regionColours; // average colour of each requested region, in request order
    QImage image;                // RGB888, only when images were asked for
};

struct DecodedAudio
{
    int sampleRate = 0;
    int channels = 0;
    std::int64_t totalSamples = 0; // per channel
    int frameCount = 0;
    std::vector<std::int64_t> framePts;      // stream time base
    std::vector<std::vector<float>> samples; // one float vector per channel
};

// Opens a media file with libavformat and decodes it, for tests that check what was written:
// container, streams, codecs, sizes, every video frame's timestamp and colours, and the decoded
// audio with its dominant frequency.
class MediaProbe
{
public:
    // Reads the container and stream descriptions. False: errorString() says why.
    bool open(const QString& path);
    QString errorString() const { return error_; }

    // The demuxer's short name, e.g. "mov,mp4,m4a,3gp,3g2,mj2", "mpeg", "avi", "asf".
    QString containerName() const { return containerName_; }
    double durationSeconds() const { return durationSeconds_; }
    const QList<ProbedStream>& streams() const { return streams_; }
    // The first stream of that type, or null.
    const ProbedStream* firstStream(AVMediaType type) const;

    // Decodes every frame of the first video stream, in presentation order. regions are
    // rectangles in frame pixels whose average colour is reported for each frame.
    QList<DecodedVideoFrame> decodeVideo(const QList<QRect>& regions = {}, bool keepImages = false);

    // Decodes the whole first audio stream into planar float samples.
    DecodedAudio decodeAudio();

    static QColor averageColour(const QImage& image, const QRect& region);
    // The frequency (Hz) of the strongest spectral peak between minHz and maxHz, from a
    // Hann-windowed FFT of the middle of the signal, refined by parabolic interpolation.
    static double dominantFrequency(const std::vector<float>& samples, int sampleRate,
                                    double minHz = 20.0, double maxHz = 20000.0);
    // Root-mean-square level of the samples (1.0 = full-scale square wave).
    static double rms(const std::vector<float>& samples);

private:
    QString path_;
    QString error_;
    QString containerName_;
    double durationSeconds_ = 0.0;
    QList<ProbedStream> streams_;
};

} // namespace testsupport
