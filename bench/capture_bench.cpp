// One recording of the screen through the recording session, for the capture benchmark
// (bench/run_capture_bench.sh measures this process and the ffmpeg command line it prints).
//
// Usage:
//   capture_bench record <wgc|dxgi|gdi> <fps> <seconds> <output.mp4>
//       Records the primary screen with the grabber and frame rate given and the other settings
//       at their first-run defaults, then prints
//       "ours written=<n> repeated=<n> lead_in=<n> seconds=<s> sleep_waits=<n>".
//       Exits 1 when the recording fails or the grabber falls back to another one.
//   capture_bench ffmpeg-args <fps> <seconds> <width>x<height> <output.mp4>
//       Prints, one per line, the arguments of an ffmpeg x11grab recording of the display in
//       DISPLAY that encodes exactly as the recording session does.
//   capture_bench compare <ours.mp4> <theirs.mp4>
//       Prints the libx264 settings of both files; exits 1 when they differ.
//   capture_bench encode-args <torvane.mp4> <fps> <width>x<height> <input.yuv> <output.mp4>
//       Prints, one per line, the arguments of an ffmpeg encoding of raw yuv420p frames with
//       exactly the libx264 settings written in the Torvane file (bench/run_app_bench.sh).

#include "FfmpegReference.h"
#include "BenchRecording.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "recording/screen_capture_win.h"
#include "platform/WindowSystem.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: capture_bench record <wgc|dxgi|gdi> <fps> <seconds> <output.mp4>\n"
                 "       capture_bench ffmpeg-args <fps> <seconds> <width>x<height> <output.mp4>\n"
                 "       capture_bench compare <ours.mp4> <theirs.mp4>\n"
                 "       capture_bench encode-args <torvane.mp4> <fps> <width>x<height> "
                 "<input.yuv> <output.mp4>\n");
    return 2;
}

int videoBitrateKbps()
{
    bool ok = false;
    const int kbps =
        SettingsStore::instance().value(settings::kVideoGroup, settings::kVideoBitrate).toInt(&ok);
    return ok ? kbps : 0;
}

// "<width>x<height>" as a size; empty when it is not one.
QSize pictureSize(const QString& text)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    return parts.size() == 2 ? QSize(parts[0].toInt(), parts[1].toInt()) : QSize();
}

int printFfmpegArguments(int fps, int seconds, const QString& size, const QString& output)
{
    const QString display = qEnvironmentVariable("DISPLAY");
    const int kbps = videoBitrateKbps();
    if (display.isEmpty() || kbps <= 0) {
        std::fprintf(stderr, "capture_bench: needs DISPLAY and a fixed video bitrate setting\n");
        return 1;
    }
    // The cursor stays out, as Torvane leaves it out by default; x11grab reads the screen
    // through shared memory, as the fastest Torvane grabber does.
    QStringList arguments{"-hide_banner",
                          "-nostdin",
                          "-y",
                          "-loglevel",
                          "info",
                          "-f",
                          "x11grab",
                          "-framerate",
                          QString::number(fps),
                          "-video_size",
                          size,
                          "-draw_mouse",
                          "0",
                          "-i",
                          display + "+0,0"};
    arguments << ffmpegref::x264OutputArguments(fps, kbps, pictureSize(size)) << "-t"
              << QString::number(seconds) << output;
    for (const QString& argument : arguments)
        std::printf("%s\n", qPrintable(argument));
    return 0;
}

int printEncodeArguments(const QString& torvaneFile, int fps, const QString& size,
                         const QString& input, const QString& output)
{
    const QByteArray settings = ffmpegref::x264Settings(torvaneFile);
    const int kbps = ffmpegref::x264Setting(settings, QStringLiteral("bitrate")).toInt();
    if (settings.isEmpty() || kbps <= 0) {
        std::fprintf(stderr, "capture_bench: no libx264 settings with a bitrate in %s\n",
                     qPrintable(torvaneFile));
        return 1;
    }
    QStringList arguments{
        "-hide_banner",       "-nostdin", "-y",      "-loglevel",   "info", "-f",
        "rawvideo",           "-pix_fmt", "yuv420p", "-video_size", size,   "-framerate",
        QString::number(fps), "-i",       input};
    // The preset, GOP and bitrate options first, then every setting of the file over them.
    QStringList encoder = ffmpegref::x264OutputArguments(fps, kbps, pictureSize(size));
    const qsizetype format = encoder.indexOf(QStringLiteral("-f"));
    arguments << encoder.mid(0, format) << "-x264-params" << ffmpegref::x264Params(settings)
              << encoder.mid(format) << output;
    for (const QString& argument : arguments)
        std::printf("%s\n", qPrintable(argument));
    return 0;
}

int compareSettings(const QString& ours, const QString& theirs)
{
    const QByteArray a = ffmpegref::x264Settings(ours);
    const QByteArray b = ffmpegref::x264Settings(theirs);
    std::printf("x264 settings (Torvane): %s\n", a.constData());
    if (!a.isEmpty() && a == b) {
        std::printf("x264 settings (ffmpeg): identical\n");
        return 0;
    }
    std::printf("x264 settings (ffmpeg): %s\nWARNING: the encoder settings differ\n",
                b.constData());
    return 1;
}

int record(const QString& grabber, int fps, int seconds, const QString& output)
{
    const QString api = grabber == QLatin1String("wgc")    ? QStringLiteral("WGC")
                        : grabber == QLatin1String("dxgi") ? QStringLiteral("DXGI")
                        : grabber == QLatin1String("gdi")  ? QStringLiteral("GDI")
                                                           : QString();
    if (api.isEmpty())
        return usage();

    SettingsStore& store = SettingsStore::instance();
    store.setValue(settings::kVideoGroup, settings::kVideoCaptureApi, api);
    store.setValue(settings::kVideoGroup, settings::kFps, fps);
    store.sync();

    QString reason;
    std::unique_ptr<WindowSystem> windows = WindowSystem::create(&reason);
    if (!windows) {
        std::fprintf(stderr, "capture_bench: no display: %s\n", qPrintable(reason));
        return 1;
    }
    QRect screenRect;
    for (const MonitorInfo& monitor : windows->monitors()) {
        if (screenRect.isNull() || monitor.primary)
            screenRect = monitor.geometry;
    }
    if (screenRect.isEmpty()) {
        std::fprintf(stderr, "capture_bench: no monitor found\n");
        return 1;
    }

    const double recordedSeconds =
        bench::recordScreen("capture_bench", screenRect, seconds, output);
    if (recordedSeconds < 0)
        return 1;
    std::printf("ours written=%lld repeated=%lld lead_in=%lld seconds=%.2f sleep_waits=%d\n",
                bench::logSummary.written, bench::logSummary.repeated, bench::logSummary.leadIn,
                recordedSeconds, bench::logSummary.sleepWaits);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    // Settings stay out of the user's folders even when run outside run_capture_bench.sh.
    QStandardPaths::setTestModeEnabled(true);
    qInstallMessageHandler(bench::runLogMessageHandler);
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 2)
        return usage();
    const QString mode = arguments.at(1);

    if (mode == QLatin1String("compare") && arguments.size() == 4)
        return compareSettings(arguments.at(2), arguments.at(3));

    bool fpsOk = false;
    bool secondsOk = false;
    if (mode == QLatin1String("record") && arguments.size() == 6) {
        const int fps = arguments.at(3).toInt(&fpsOk);
        const int seconds = arguments.at(4).toInt(&secondsOk);
        if (!fpsOk || !secondsOk || fps < 1 || seconds < 1)
            return usage();
        return record(arguments.at(2), fps, seconds, arguments.at(5));
    }
    if (mode == QLatin1String("ffmpeg-args") && arguments.size() == 6) {
        const int fps = arguments.at(2).toInt(&fpsOk);
        const int seconds = arguments.at(3).toInt(&secondsOk);
        if (!fpsOk || !secondsOk || fps < 1 || seconds < 1)
            return usage();
        return printFfmpegArguments(fps, seconds, arguments.at(4), arguments.at(5));
    }
    if (mode == QLatin1String("encode-args") && arguments.size() == 7) {
        const int fps = arguments.at(3).toInt(&fpsOk);
        if (!fpsOk || fps < 1)
            return usage();
        return printEncodeArguments(arguments.at(2), fps, arguments.at(4), arguments.at(5),
                                    arguments.at(6));
    }
    return usage();
}
