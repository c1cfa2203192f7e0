// Encoding speed of the mux thread with the first-run default settings, against the ffmpeg command
// line encoding the same frames with the same encoder options.
//
// Usage: mux_bench [frames] [output-folder]
// Prints the ffmpeg command, the encoder settings both files carry, and last one summary line:
//   mux_fps=<n> ffmpeg_fps=<n> ratio=<mux/ffmpeg>

#include "FfmpegReference.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "media/FrameDuration.h"
#include "media/FrameQueue.h"
#include "media/FrameQueueItem.h"
#include "encode/mux_thread_win.h"
#include "recording/RecordingSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <csignal>
#include <sys/wait.h>

extern "C" {
#include <libavutil/frame.h>
}

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
// The first-run default frame rate.
constexpr int kFps = 15;
constexpr std::int64_t kFrameIntervalUs = 1000000 / kFps;
constexpr int kDistinctFrames = 30;
constexpr int kDefaultFrames = 1200;
// Alternating halves of the frames per side.
constexpr int kRounds = 2;

struct FrameDeleter
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PipeCloser
{
    void operator()(FILE* pipe) const
    {
        if (pipe)
            pclose(pipe);
    }
};

// Desktop-like content that moves: a drifting gradient, a window with text-like rows that
// scrolls, and a box sliding across, so every frame differs from the one before.
FramePtr makeDesktopFrame(int index)
{
    FramePtr frame(av_frame_alloc());
    if (!frame)
        return nullptr;
    frame->format = AV_PIX_FMT_BGRA;
    frame->width = kWidth;
    frame->height = kHeight;
    if (av_frame_get_buffer(frame.get(), 32) < 0)
        return nullptr;

    const int shift = index * 12;
    const int windowLeft = 240, windowTop = 160, windowRight = 1500, windowBottom = 900;
    const int boxLeft = 100 + index * 50, boxTop = 700 + index * 6;
    for (int y = 0; y < kHeight; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(frame->data[0] + y * frame->linesize[0]);
        for (int x = 0; x < kWidth; ++x) {
            std::uint32_t b = (x + shift) * 255 / (kWidth + 400);
            std::uint32_t g = (y + shift / 2) * 255 / (kHeight + 200);
            std::uint32_t r = 96;
            if (x >= windowLeft && x < windowRight && y >= windowTop && y < windowBottom) {
                r = g = b = 245;
                // Rows of glyph-sized marks that scroll up by a few lines each frame.
                const int line = (y - windowTop + index * 9) % 18;
                const int column = x - windowLeft;
                const std::uint32_t hash =
                    (static_cast<std::uint32_t>(column / 9) * 2654435761u) ^
                    (static_cast<std::uint32_t>((y - windowTop + index * 9) / 18) * 40503u);
                if (line >= 3 && line < 14 && (hash >> 7) % 5 != 0 && (column * 7 + line) % 9 < 5)
                    r = g = b = 30;
            }
            if (x >= boxLeft && x < boxLeft + 300 && y >= boxTop && y < boxTop + 200) {
                r = 220;
                g = 60;
                b = 40;
            }
            row[x] = 0xff000000u | (r << 16) | (g << 8) | b;
        }
    }
    return frame;
}

struct RunResult
{
    bool ok = false;
    double seconds = 0;
    QString error;
};

RunResult runMuxThread(const std::vector<FramePtr>& frames, int count, const QString& path)
{
    RunResult result;
    FrameQueue queue;
    mux_thread_win mux(&queue);
    QStringList errors;
    bool finished = false;
    std::mutex messageMutex;
    QObject::connect(
        &mux, &mux_thread_win::msgSignal, &mux,
        [&](MSG_TYPE type, const QString& text) {
            std::lock_guard lock(messageMutex);
            if (type == MSG_ERROR)
                errors.append(text);
            else if (text == QLatin1String("Video write finished."))
                finished = true;
        },
        Qt::DirectConnection);
    mux.outputWidth = kWidth;
    mux.outputHeight = kHeight;
    mux.init(RecordingSettings::fromStore(SettingsStore::instance()).mux, path, false);

    QElapsedTimer timer;
    timer.start();
    mux.start();
    // The capture side as fast as the encoder takes it: the bounded queue holds the producer back.
    std::thread producer([&] {
        for (int n = 0; n < count; ++n) {
            AVFrame* clone = av_frame_clone(frames[n % frames.size()].get());
            if (!clone)
                break;
            clone->pts = n * kFrameIntervalUs;
            setFrameDuration(clone, kFrameIntervalUs);
            queue.push({makeSharedFrame(clone), false, 0});
        }
        queue.close();
    });
    producer.join();
    mux.wait();
    result.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;

    std::lock_guard lock(messageMutex);
    if (!errors.isEmpty())
        result.error = errors.join("; ");
    else if (!finished)
        result.error = QStringLiteral("the mux thread did not report the end of the file");
    else if (QFileInfo(path).size() <= 0)
        result.error = QStringLiteral("no output file");
    result.ok = result.error.isEmpty();
    return result;
}

QStringList ffmpegArguments(const QString& path)
{
    QStringList arguments = QStringLiteral("ffmpeg -hide_banner -nostdin -loglevel error -y "
                                           "-f rawvideo -pix_fmt bgra -s %1x%2 -r %3 -i -")
                                .arg(kWidth)
                                .arg(kHeight)
                                .arg(kFps)
                                .split(' ');
    const int bitrateKbps =
        SettingsStore::instance().value(settings::kVideoGroup, settings::kVideoBitrate).toInt();
    arguments << ffmpegref::x264OutputArguments(kFps, bitrateKbps, QSize(kWidth, kHeight)) << path;
    return arguments;
}

RunResult runFfmpeg(const std::vector<FramePtr>& frames, int count, const QString& command,
                    const QString& path)
{
    RunResult result;
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<FILE, PipeCloser> pipe(popen(command.toLocal8Bit().constData(), "w"));
    if (!pipe) {
        result.error = QStringLiteral("cannot start ffmpeg");
        return result;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(kWidth) * 4;
    for (int n = 0; n < count && result.error.isEmpty(); ++n) {
        const AVFrame* frame = frames[n % frames.size()].get();
        if (frame->linesize[0] == static_cast<int>(rowBytes)) {
            if (std::fwrite(frame->data[0], rowBytes * kHeight, 1, pipe.get()) != 1)
                result.error = QStringLiteral("ffmpeg stopped reading its input");
            continue;
        }
        for (int y = 0; y < kHeight; ++y) {
            if (std::fwrite(frame->data[0] + y * frame->linesize[0], rowBytes, 1, pipe.get()) !=
                1) {
                result.error = QStringLiteral("ffmpeg stopped reading its input");
                break;
            }
        }
    }
    const int status = pclose(pipe.release());
    result.seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    if (result.error.isEmpty() && (!WIFEXITED(status) || WEXITSTATUS(status) != 0))
        result.error = QStringLiteral("ffmpeg failed (status %1)").arg(status);
    else if (result.error.isEmpty() && QFileInfo(path).size() <= 0)
        result.error = QStringLiteral("no output file");
    result.ok = result.error.isEmpty();
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    // Settings and output stay out of the user's folders even when run outside run_bench.sh.
    QStandardPaths::setTestModeEnabled(true);
    // An ffmpeg that dies early is reported as a failed write, not by a silent SIGPIPE death.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();

    bool countOk = true;
    const int count = arguments.size() > 1 ? arguments.at(1).toInt(&countOk) : kDefaultFrames;
    if (!countOk || count < 1) {
        std::fprintf(stderr, "usage: mux_bench [frames] [output-folder]\n");
        return 2;
    }
    QTemporaryDir temporary;
    const QString folder = arguments.size() > 2 ? arguments.at(2) : temporary.path();
    QDir().mkpath(folder);
    const QString muxPath = QDir(folder).filePath("mux_thread.mp4");
    const QString ffmpegPath = QDir(folder).filePath("ffmpeg.mp4");

    // An empty settings file gets the first-run defaults.
    SettingsStore::instance();

    std::vector<FramePtr> frames;
    for (int i = 0; i < kDistinctFrames; ++i) {
        frames.push_back(makeDesktopFrame(i));
        if (!frames.back()) {
            std::fprintf(stderr, "mux_bench: cannot allocate frames\n");
            return 1;
        }
    }
    std::printf("%d frames %dx%d BGRA (%d distinct, cycled), %d fps, %d hardware threads\n", count,
                kWidth, kHeight, kDistinctFrames, kFps, QThread::idealThreadCount());
    std::fflush(stdout);

    const QString command = ffmpegref::shellQuoted(ffmpegArguments(ffmpegPath));
    std::printf("ffmpeg command: <raw frames> | %s\n", qPrintable(command));
    std::fflush(stdout);

    // The sides take turns, so a load that comes and goes on the machine falls on both alike.
    double muxSeconds = 0;
    double ffmpegSeconds = 0;
    for (int round = 0; round < kRounds; ++round) {
        const int roundFrames = count / kRounds + (round < count % kRounds ? 1 : 0);
        if (roundFrames == 0)
            continue;
        const RunResult mux = runMuxThread(frames, roundFrames, muxPath);
        if (!mux.ok) {
            std::fprintf(stderr, "mux_bench: mux thread failed: %s\n", qPrintable(mux.error));
            return 1;
        }
        const RunResult ffmpeg = runFfmpeg(frames, roundFrames, command, ffmpegPath);
        if (!ffmpeg.ok) {
            std::fprintf(stderr, "mux_bench: %s\n", qPrintable(ffmpeg.error));
            return 1;
        }
        std::printf("round %d, %d frames: mux_thread_win %.2f s, ffmpeg %.2f s\n", round + 1,
                    roundFrames, mux.seconds, ffmpeg.seconds);
        std::fflush(stdout);
        muxSeconds += mux.seconds;
        ffmpegSeconds += ffmpeg.seconds;
    }

    const QByteArray muxSettings = ffmpegref::x264Settings(muxPath);
    const QByteArray ffmpegSettings = ffmpegref::x264Settings(ffmpegPath);
    std::printf("x264 settings (mux thread): %s\n", muxSettings.constData());
    if (muxSettings == ffmpegSettings)
        std::printf("x264 settings (ffmpeg): identical\n");
    else
        std::printf("x264 settings (ffmpeg): %s\nWARNING: the encoder settings differ\n",
                    ffmpegSettings.constData());

    const double muxFps = count / muxSeconds;
    const double ffmpegFps = count / ffmpegSeconds;
    std::printf("mux_fps=%.1f ffmpeg_fps=%.1f ratio=%.2f\n", muxFps, ffmpegFps, muxFps / ffmpegFps);
    return 0;
}
