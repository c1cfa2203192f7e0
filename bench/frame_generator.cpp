// Moving content for the capture benchmark: a window covering the screen with a still tile
// pattern, a few solid boxes that glide across it and a strip that changes on every tick.
// The X server does all the drawing from a handful of small requests, so the generator itself
// costs next to no CPU and does not distort the figures of the recorders it is measured with.
//
// It redraws 200 times a second, well above the 60 fps a recorder samples at: every capture slot
// sees new pixels, so a slot filled with a repeated image means the recorder fell behind, never
// that the screen stood still. Tick times follow an absolute schedule; the longest gap between
// two drawn ticks, and how many gaps were longer than a 60 fps slot, are reported at the end,
// so a late generator shows rather than hides.
//
// Usage: frame_generator [ticks-per-second]   (DISPLAY names the display; SIGTERM/SIGINT end it)
// Prints "ready" once the first picture is on the screen, a summary line of the time since the
// last one on every SIGUSR1 (so a benchmark can judge each recording on its own), and one for
// the whole run when it ends.

#include "MonotonicTime.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include <sys/resource.h>

namespace {

constexpr int kDefaultTicksPerSecond = 200;
constexpr int kTileSize = 120;
constexpr int kStripHeight = 24;
using bench::kNsPerSecond;
using bench::nowNs;

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t reportRequested = 0;

void onSignal(int)
{
    stopRequested = 1;
}

void onReportSignal(int)
{
    reportRequested = 1;
}

struct ConnectionCloser
{
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using ConnectionPtr = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

struct ReplyFree
{
    void operator()(void* reply) const { std::free(reply); }
};

void sleepUntil(std::int64_t deadlineNs)
{
    bench::sleepUntil(deadlineNs, stopRequested);
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// 24-bit TrueColor pixel value; Xvfb's default visual.
std::uint32_t rgb(int r, int g, int b)
{
    return (static_cast<std::uint32_t>(r) << 16) | (static_cast<std::uint32_t>(g) << 8) |
           static_cast<std::uint32_t>(b);
}

struct Box
{
    int width, height;
    double speedX, speedY; // pixels per second
    double startX, startY;
    std::uint32_t colour;
    xcb_gcontext_t gc = 0;
    xcb_rectangle_t drawn{0, 0, 0, 0};
};

// Bounces between 0 and span: a triangle wave of the distance travelled.
int bounce(double start, double speed, double seconds, int span)
{
    if (span <= 0)
        return 0;
    const double travelled = std::fmod(start + speed * seconds, 2.0 * span);
    return static_cast<int>(travelled < span ? travelled : 2.0 * span - travelled);
}

xcb_gcontext_t makeGc(xcb_connection_t* c, xcb_drawable_t drawable, std::uint32_t colour)
{
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const std::uint32_t values[] = {colour, 0};
    xcb_create_gc(c, gc, drawable, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, values);
    return gc;
}

// Tick statistics over a stretch of time.
struct TickStats
{
    std::int64_t startNs = 0;
    double startCpu = 0;
    long long ticks = 0;
    std::int64_t longestGapNs = 0;
    // Gaps in which a 60 fps recorder could have seen the same picture twice.
    long long gapsOverSlot = 0;

    void start(std::int64_t now)
    {
        *this = {};
        startNs = now;
        startCpu = cpuSeconds();
    }
    void add(std::int64_t gapNs)
    {
        constexpr std::int64_t kSlotAt60Ns = kNsPerSecond / 60;
        ++ticks;
        longestGapNs = std::max(longestGapNs, gapNs);
        if (gapNs > kSlotAt60Ns)
            ++gapsOverSlot;
    }
    void print(const char* label, std::int64_t now) const
    {
        const double elapsed = std::max(1e-9, static_cast<double>(now - startNs) / 1e9);
        std::printf("generator %s ticks=%lld seconds=%.1f ticks_per_s=%.1f longest_gap_ms=%.1f "
                    "gaps_over_16.7ms=%lld cpu_per_s=%.4f\n",
                    label, ticks, elapsed, static_cast<double>(ticks) / elapsed,
                    static_cast<double>(longestGapNs) / 1e6, gapsOverSlot,
                    (cpuSeconds() - startCpu) / elapsed);
        std::fflush(stdout);
    }
};

// The covering window and what one tick draws in it: the boxes at their places for the time,
// and a bar along the bottom that grows by one step per tick.
struct Scene
{
    xcb_connection_t* c = nullptr;
    int width = 0, height = 0;
    xcb_window_t window = 0;
    xcb_pixmap_t background = 0;
    xcb_gcontext_t copyGc = 0, stripGc = 0, stripBackGc = 0;
    std::array<Box, 5> boxes{};

    void draw(double seconds, long long ticks)
    {
        for (Box& box : boxes) {
            if (box.drawn.width > 0)
                xcb_copy_area(c, background, window, copyGc, box.drawn.x, box.drawn.y, box.drawn.x,
                              box.drawn.y, box.drawn.width, box.drawn.height);
        }
        for (Box& box : boxes) {
            box.drawn = {static_cast<std::int16_t>(
                             bounce(box.startX, box.speedX, seconds, width - box.width)),
                         static_cast<std::int16_t>(
                             bounce(box.startY, box.speedY, seconds, height - box.height)),
                         static_cast<std::uint16_t>(box.width),
                         static_cast<std::uint16_t>(box.height)};
            xcb_poly_fill_rectangle(c, window, box.gc, 1, &box.drawn);
        }
        // A bar along the bottom edge that grows by one step per tick: never two equal pictures,
        // even while a box would stand still at a turning point.
        const int step = static_cast<int>(ticks % 256);
        const xcb_rectangle_t strip{0, static_cast<std::int16_t>(height - kStripHeight),
                                    static_cast<std::uint16_t>(width), kStripHeight};
        const xcb_rectangle_t bar{0, static_cast<std::int16_t>(height - kStripHeight),
                                  static_cast<std::uint16_t>((step + 1) * width / 256),
                                  kStripHeight};
        xcb_poly_fill_rectangle(c, window, stripBackGc, 1, &strip);
        xcb_poly_fill_rectangle(c, window, stripGc, 1, &bar);
    }
};

Scene makeScene(xcb_connection_t* c, const xcb_screen_t* screen)
{
    Scene scene;
    scene.c = c;
    const int width = screen->width_in_pixels;
    const int height = screen->height_in_pixels;

    // Override-redirect: no window manager moves or decorates it, it simply covers the screen.
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t windowValues[] = {screen->black_pixel, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, windowValues);

    // The still background lives in a pixmap; a box's old place is restored by copying from it.
    const xcb_pixmap_t background = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, background, window, static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height));
    const xcb_gcontext_t copyGc = makeGc(c, window, 0);
    xcb_gcontext_t tileGc = makeGc(c, background, 0);
    for (int y = 0; y < height; y += kTileSize) {
        for (int x = 0; x < width; x += kTileSize) {
            const int i = x / kTileSize, j = y / kTileSize;
            const std::uint32_t colour =
                rgb(40 + (i * 37) % 160, 50 + (j * 53) % 150, 60 + ((i + j) * 29) % 140);
            xcb_change_gc(c, tileGc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t tile{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                                       kTileSize - 2, kTileSize - 2};
            xcb_poly_fill_rectangle(c, background, tileGc, 1, &tile);
        }
    }
    xcb_free_gc(c, tileGc);

    std::array<Box, 5> boxes{{
        {320, 200, 410.0, 230.0, 0.0, 100.0, rgb(220, 60, 40)},
        {180, 180, -290.0, 370.0, 900.0, 300.0, rgb(250, 220, 40)},
        {400, 120, 530.0, -160.0, 500.0, 800.0, rgb(40, 200, 90)},
        {140, 260, -620.0, -310.0, 1500.0, 600.0, rgb(60, 120, 250)},
        {260, 260, 350.0, 450.0, 1200.0, 50.0, rgb(240, 240, 240)},
    }};
    for (Box& box : boxes)
        box.gc = makeGc(c, window, box.colour);
    const xcb_gcontext_t stripGc = makeGc(c, window, rgb(255, 0, 255));
    const xcb_gcontext_t stripBackGc = makeGc(c, window, rgb(20, 20, 20));

    scene.width = width;
    scene.height = height;
    scene.window = window;
    scene.background = background;
    scene.copyGc = copyGc;
    scene.stripGc = stripGc;
    scene.stripBackGc = stripBackGc;
    scene.boxes = boxes;
    xcb_map_window(c, window);
    xcb_copy_area(c, background, window, copyGc, 0, 0, 0, 0, static_cast<std::uint16_t>(width),
                  static_cast<std::uint16_t>(height));
    return scene;
}

} // namespace

int main(int argc, char* argv[])
{
    const int ticksPerSecond =
        std::clamp(argc > 1 ? std::atoi(argv[1]) : kDefaultTicksPerSecond, 1, 1000);

    int screenNumber = 0;
    ConnectionPtr connection(xcb_connect(nullptr, &screenNumber));
    if (!connection || xcb_connection_has_error(connection.get())) {
        std::fprintf(stderr, "frame_generator: cannot open the display\n");
        return 1;
    }
    xcb_connection_t* c = connection.get();
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    const xcb_screen_t* screen = screens.data;
    if (!screen || screen->root_depth != 24) {
        std::fprintf(stderr, "frame_generator: needs a 24-bit screen\n");
        return 1;
    }
    Scene scene = makeScene(c, screen);

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGUSR1, onReportSignal);

    const std::int64_t intervalNs = kNsPerSecond / ticksPerSecond;
    const std::int64_t startNs = nowNs();
    std::int64_t nextTickNs = startNs;
    std::int64_t lastDrawnNs = startNs;
    long long ticks = 0;
    TickStats whole;
    TickStats stretch;
    whole.start(startNs);
    stretch.start(startNs);
    bool ready = false;

    while (!stopRequested) {
        const std::int64_t now = nowNs();
        const double seconds = static_cast<double>(now - startNs) / 1e9;
        scene.draw(seconds, ticks);

        // A round trip: the tick counts as drawn only once the server has done it, and a busy
        // server holds the generator back instead of piling up requests.
        std::unique_ptr<xcb_get_input_focus_reply_t, ReplyFree> sync(
            xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (!sync || xcb_connection_has_error(c)) {
            std::fprintf(stderr, "frame_generator: lost the display\n");
            return 1;
        }
        const std::int64_t drawn = nowNs();
        if (ticks > 0) {
            whole.add(drawn - lastDrawnNs);
            stretch.add(drawn - lastDrawnNs);
        }
        lastDrawnNs = drawn;
        ++ticks;
        if (reportRequested) {
            reportRequested = 0;
            stretch.print("since-last", drawn);
            stretch.start(drawn);
        }
        if (!ready) {
            std::printf("ready\n");
            std::fflush(stdout);
            ready = true;
        }

        nextTickNs += intervalNs;
        // After a stall, carry on from now rather than drawing the missed ticks in a burst.
        if (nextTickNs < drawn)
            nextTickNs = drawn + intervalNs;
        sleepUntil(nextTickNs);
    }

    whole.print("whole-run", nowNs());
    return 0;
}
