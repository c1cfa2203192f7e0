// The content of the soak benchmark: a square that flashes white and a beep that sounds with it,
// about once a second, from one process on one clock. Both are slaved to CLOCK_MONOTONIC: flash k
// is drawn at its scheduled time, and the beep's first sample is placed in the sound stream where
// the server says that sample will be played, from the stream's measured latency just before it
// is written. A recording of both then shows the recorder's own offset, not the rig's.
//
// The schedule is one flash a second plus a small irregular shift (up to 40 ms, never repeating
// its pattern), so the flashes fall at every phase of a recorder's frame slots and a median over a
// few of them is finer than one frame.
//
// Usage: flash_beep <x> <y> <size> <sample-rate> [latency-ms] [piece-frames]
//   (DISPLAY names the display, the default PulseAudio sink plays the sound; SIGTERM/SIGINT end it)
// The sound is written in pieces of piece-frames samples (default: 10 ms), a beep's start placed
// to the sample inside one. PulseAudio's null sink advances its clock by each piece's length in
// whole microseconds, rounded down: a piece that is not a whole number of microseconds (220
// frames at 44100 Hz) makes the sink play faster than the monotonic clock, as a sound card's own
// crystal would, while the default keeps the two together.
// Prints "ready" once the square is on the screen and the sound is flowing, then at the end:
//   flash_beep flashes=<n> late_flashes=<n> flash_late_max_ms=<n> beeps=<n> beep_late_max_ms=<n>
//       latency_ms=<min>..<max> ran_dry=<n> samples_per_s=<n>
// A flash is late when it was on the screen (the X server's answer to a round trip after
// drawing) more than 5 ms after its time; beep_late is how much later a beep started than its
// flash because the stream was already past that moment. ran_dry counts the times the stream was
// found with less than a quarter of its latency left, a busy machine starving it. samples_per_s
// is how many samples were written per second of the monotonic clock from the first beep to the
// last: the sink's own rate, while the stream never ran dry.

#include <pulse/error.h>
#include <pulse/simple.h>
#include "MonotonicTime.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

namespace {

using bench::kNsPerSecond;
using bench::nowNs;
constexpr std::int64_t kPeriodNs = kNsPerSecond;
constexpr std::int64_t kShiftRangeNs = 40000000;
constexpr std::int64_t kFlashNs = 150000000;
constexpr std::int64_t kLateFlashNs = 5000000;
constexpr double kBeepSeconds = 0.15;
constexpr double kBeepHz = 1000.0;
constexpr double kBeepAmplitude = 0.5;
// Time for the stream to start playing and its latency to settle before the first flash.
constexpr std::int64_t kLeadInNs = 2 * kNsPerSecond;

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onSignal(int)
{
    stopRequested = true;
}

void sleepUntil(std::int64_t deadlineNs)
{
    bench::sleepUntil(deadlineNs, stopRequested);
}

// When flash (and beep) k is due: the golden-ratio sequence spreads the shifts evenly.
std::int64_t flashTimeNs(std::int64_t startNs, long long k)
{
    const double fraction = std::fmod(static_cast<double>(k) * 0.6180339887498949, 1.0);
    return startNs + k * kPeriodNs + static_cast<std::int64_t>(fraction * kShiftRangeNs);
}

struct ConnectionCloser
{
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
struct ReplyFree
{
    void operator()(void* reply) const { std::free(reply); }
};
struct SimpleCloser
{
    void operator()(pa_simple* s) const
    {
        pa_simple_drain(s, nullptr);
        pa_simple_free(s);
    }
};

// What the sound thread found, read by the main thread once it has ended. A failure also ends
// the flashes.
struct SoundStats
{
    long long beeps = 0;
    std::int64_t lateMaxNs = 0;
    std::int64_t latencyMinNs = -1;
    std::int64_t latencyMaxNs = 0;
    long long ranDry = 0;
    long long firstBeepSample = -1;
    std::int64_t firstBeepNs = 0;
    long long lastBeepSample = -1;
    std::int64_t lastBeepNs = 0;
    bool failed = false;
};

// Writes silence with a beep starting at every flash time, until stopped.
void playSound(pa_simple* stream, int rate, int piece, std::int64_t bufferNs,
               const std::atomic<std::int64_t>& startNs, std::atomic<bool>& flowing,
               SoundStats& stats)
{
    bool dry = false;
    const long long beepSamples = std::llround(kBeepSeconds * rate);
    std::vector<std::int16_t> samples(static_cast<size_t>(piece));
    long long written = 0;
    long long nextBeep = 0;
    long long beepStart = -1;
    while (!stopRequested) {
        int error = 0;
        const pa_usec_t latencyUs = pa_simple_get_latency(stream, &error);
        const std::int64_t queriedNs = nowNs();
        if (latencyUs == static_cast<pa_usec_t>(-1)) {
            std::fprintf(stderr, "flash_beep: no latency: %s\n", pa_strerror(error));
            stats.failed = true;
            stopRequested = true;
            return;
        }
        // The sample written next plays once everything written so far has.
        const std::int64_t latencyNs = static_cast<std::int64_t>(latencyUs) * 1000;
        const std::int64_t nextPlaysNs = queriedNs + latencyNs;
        const std::int64_t pieceNs = static_cast<std::int64_t>(piece) * kNsPerSecond / rate;
        const std::int64_t dueNs =
            startNs > 0 ? flashTimeNs(startNs, nextBeep) : std::numeric_limits<std::int64_t>::max();
        if (dueNs < nextPlaysNs + pieceNs) {
            const std::int64_t aheadNs = std::max<std::int64_t>(0, dueNs - nextPlaysNs);
            beepStart = written + aheadNs * rate / kNsPerSecond;
            stats.lateMaxNs = std::max(stats.lateMaxNs, nextPlaysNs - dueNs);
            if (stats.firstBeepSample < 0) {
                stats.firstBeepSample = beepStart;
                stats.firstBeepNs = dueNs;
            }
            stats.lastBeepSample = beepStart;
            stats.lastBeepNs = dueNs;
            ++stats.beeps;
            ++nextBeep;
        }
        if (startNs > 0) {
            if (stats.latencyMinNs < 0 || latencyNs < stats.latencyMinNs)
                stats.latencyMinNs = latencyNs;
            stats.latencyMaxNs = std::max(stats.latencyMaxNs, latencyNs);
            if (latencyNs < bufferNs / 4 && !dry)
                ++stats.ranDry;
            dry = latencyNs < bufferNs / 4;
        }
        for (int i = 0; i < piece; ++i) {
            const long long n = written + i - beepStart;
            double v = 0.0;
            if (beepStart >= 0 && n >= 0 && n < beepSamples)
                v = kBeepAmplitude * std::sin(2.0 * M_PI * kBeepHz * static_cast<double>(n) / rate);
            samples[static_cast<size_t>(i)] = static_cast<std::int16_t>(std::lrint(v * 32767.0));
        }
        if (pa_simple_write(stream, samples.data(), samples.size() * sizeof(std::int16_t), &error) <
            0) {
            std::fprintf(stderr, "flash_beep: writing the sound failed: %s\n", pa_strerror(error));
            stats.failed = true;
            stopRequested = true;
            return;
        }
        written += piece;
        if (written >= rate / 5)
            flowing = true;
    }
}

// The square that flashes: an override-redirect window, which no window manager moves, so
// that it stays where the measurement looks.
struct Square
{
    xcb_connection_t* c = nullptr;
    xcb_window_t window = 0;
    xcb_gcontext_t white = 0, black = 0;
    xcb_rectangle_t square{};

    // A round trip: the drawing counts as done only once the server has done it.
    bool draw(xcb_gcontext_t gc) const
    {
        xcb_poly_fill_rectangle(c, window, gc, 1, &square);
        std::unique_ptr<xcb_get_input_focus_reply_t, ReplyFree> sync(
            xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        return sync && !xcb_connection_has_error(c);
    }
};

Square makeSquare(xcb_connection_t* c, const xcb_screen_t* screen, int x, int y, int size)
{
    Square made;
    made.c = c;
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t windowValues[] = {screen->black_pixel, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(size),
                      static_cast<std::uint16_t>(size), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                      windowValues);
    made.window = window;
    made.white = xcb_generate_id(c);
    made.black = xcb_generate_id(c);
    const std::uint32_t whiteValues[] = {screen->white_pixel, 0};
    const std::uint32_t blackValues[] = {screen->black_pixel, 0};
    xcb_create_gc(c, made.white, window, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES,
                  whiteValues);
    xcb_create_gc(c, made.black, window, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES,
                  blackValues);
    made.square = {0, 0, static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(size)};
    xcb_map_window(c, window);
    return made;
}

// Null, after saying why, when the sound server refuses the stream.
std::unique_ptr<pa_simple, SimpleCloser> openPlayback(int rate, int latencyMs)
{
    const pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(rate), 1};
    // A short buffer: left alone the null sink renders seconds ahead, and a recording stream
    // that joins later would not hear what is already rendered.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(
        pa_usec_to_bytes(static_cast<pa_usec_t>(latencyMs) * 1000, &spec));
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    int error = 0;
    std::unique_ptr<pa_simple, SimpleCloser> stream(
        pa_simple_new(nullptr, "flash_beep", PA_STREAM_PLAYBACK, nullptr, "beeps", &spec, nullptr,
                      &attr, &error));
    if (!stream) {
        std::fprintf(stderr, "flash_beep: cannot play sound: %s\n", pa_strerror(error));
        return nullptr;
    }
    return stream;
}

struct FlashStats
{
    long long flashes = 0;
    long long lateFlashes = 0;
    std::int64_t lateMaxNs = 0;
};

void printReport(const FlashStats& flash, const SoundStats& sound)
{
    const double samplesPerSecond =
        sound.lastBeepNs > sound.firstBeepNs
            ? static_cast<double>(sound.lastBeepSample - sound.firstBeepSample) * 1e9 /
                  static_cast<double>(sound.lastBeepNs - sound.firstBeepNs)
            : 0.0;
    std::printf("flash_beep flashes=%lld late_flashes=%lld flash_late_max_ms=%.2f beeps=%lld "
                "beep_late_max_ms=%.2f latency_ms=%.2f..%.2f ran_dry=%lld samples_per_s=%.2f\n",
                flash.flashes, flash.lateFlashes, static_cast<double>(flash.lateMaxNs) / 1e6,
                sound.beeps, static_cast<double>(sound.lateMaxNs) / 1e6,
                static_cast<double>(std::max<std::int64_t>(0, sound.latencyMinNs)) / 1e6,
                static_cast<double>(sound.latencyMaxNs) / 1e6, sound.ranDry, samplesPerSecond);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 5) {
        std::fprintf(
            stderr, "usage: flash_beep <x> <y> <size> <sample-rate> [latency-ms] [piece-frames]\n");
        return 2;
    }
    const int x = std::atoi(argv[1]);
    const int y = std::atoi(argv[2]);
    const int size = std::clamp(std::atoi(argv[3]), 8, 2000);
    const int rate = std::clamp(std::atoi(argv[4]), 8000, 192000);
    const int latencyMs = std::clamp(argc > 5 ? std::atoi(argv[5]) : 40, 5, 2000);
    const int piece = std::clamp(argc > 6 ? std::atoi(argv[6]) : rate / 100, 16, rate / 10);

    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(
        xcb_connect(nullptr, &screenNumber));
    if (!connection || xcb_connection_has_error(connection.get())) {
        std::fprintf(stderr, "flash_beep: cannot open the display\n");
        return 1;
    }
    xcb_connection_t* c = connection.get();
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    const Square square = makeSquare(c, screens.data, x, y, size);
    const auto draw = [&square](xcb_gcontext_t gc) { return square.draw(gc); };
    const xcb_gcontext_t white = square.white;
    const xcb_gcontext_t black = square.black;
    if (!draw(black)) {
        std::fprintf(stderr, "flash_beep: lost the display\n");
        return 1;
    }

    const std::unique_ptr<pa_simple, SimpleCloser> stream = openPlayback(rate, latencyMs);
    if (!stream)
        return 1;

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    std::atomic<bool> flowing{false};
    std::atomic<std::int64_t> startNs{0};
    SoundStats sound;
    std::thread player(playSound, stream.get(), rate, piece,
                       static_cast<std::int64_t>(latencyMs) * 1000000, std::cref(startNs),
                       std::ref(flowing), std::ref(sound));
    while (!flowing && !stopRequested)
        sleepUntil(nowNs() + 10000000);
    // Whole seconds from a moment safely after the stream has settled.
    startNs = (nowNs() + kLeadInNs) / kNsPerSecond * kNsPerSecond;
    if (flowing) {
        std::printf("ready\n");
        std::fflush(stdout);
    }

    FlashStats flash;
    bool lost = false;
    while (!stopRequested && !lost) {
        const std::int64_t dueNs = flashTimeNs(startNs.load(), flash.flashes);
        sleepUntil(dueNs);
        if (stopRequested)
            break;
        lost = !draw(white);
        const std::int64_t lateNs = nowNs() - dueNs;
        flash.lateMaxNs = std::max(flash.lateMaxNs, lateNs);
        if (lateNs > kLateFlashNs)
            ++flash.lateFlashes;
        ++flash.flashes;
        sleepUntil(dueNs + kFlashNs);
        lost = lost || !draw(black);
    }
    if (lost)
        std::fprintf(stderr, "flash_beep: lost the display\n");
    stopRequested = true;
    player.join();

    printReport(flash, sound);
    return lost || sound.failed ? 1 : 0;
}
