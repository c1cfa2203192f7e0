#include "PipeWireGrabber.h"

#include <QDebug>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <unistd.h>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace {
constexpr int kBytesPerPixel = 4;
// The link and the format are settled within a fraction of this on a busy machine; a stream
// still not running after it has no producer that answers.
constexpr int kConnectTimeoutMs = 5000;
// Damage-driven producers send at most this many buffers a second; a faster one is slowed
// down to it, since no recording runs faster.
constexpr std::uint32_t kMaxFramerate = 60;
// Fixed-rate producers (a test source, a camera-like node) may offer any rate up to this.
constexpr std::uint32_t kMaxFixedFramerate = 360;
constexpr std::uint32_t kMaxStreamSide = 16384;

void initPipeWireOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

bool isRgbOrder(spa_video_format format)
{
    return format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
}

const char* formatName(spa_video_format format)
{
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
        return "BGRx";
    case SPA_VIDEO_FORMAT_BGRA:
        return "BGRA";
    case SPA_VIDEO_FORMAT_RGBx:
        return "RGBx";
    case SPA_VIDEO_FORMAT_RGBA:
        return "RGBA";
    default:
        return "other";
    }
}

// Raw video in a 32-bit RGB layout, any size, a variable rate or any fixed one.
const spa_pod* buildEnumFormat(spa_pod_builder* b)
{
    spa_pod_frame object;
    spa_pod_frame choice;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(b, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(b, SPA_MEDIA_SUBTYPE_raw);

    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_id(b, SPA_VIDEO_FORMAT_BGRx); // the default
    for (spa_video_format f : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                               SPA_VIDEO_FORMAT_RGBA})
        spa_pod_builder_id(b, f);
    spa_pod_builder_pop(b, &choice);

    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_rectangle(b, 1920, 1080);
    spa_pod_builder_rectangle(b, 1, 1);
    spa_pod_builder_rectangle(b, kMaxStreamSide, kMaxStreamSide);
    spa_pod_builder_pop(b, &choice);

    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(b, 0, 1);
    spa_pod_builder_fraction(b, 0, 1);
    spa_pod_builder_fraction(b, kMaxFixedFramerate, 1);
    spa_pod_builder_pop(b, &choice);

    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_maxFramerate, 0);
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(b, kMaxFramerate, 1);
    spa_pod_builder_fraction(b, 1, 1);
    spa_pod_builder_fraction(b, kMaxFramerate, 1);
    spa_pod_builder_pop(b, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

// Buffers the stream maps for us (shared memory or memfd; DMA-BUF is never offered, since no
// format carries modifiers).
const spa_pod* buildBuffers(spa_pod_builder* b)
{
    spa_pod_frame object;
    spa_pod_frame choice;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
    spa_pod_builder_prop(b, SPA_PARAM_BUFFERS_dataType, 0);
    spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Flags, 0);
    spa_pod_builder_int(b, (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd));
    spa_pod_builder_pop(b, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

// The shown part of each buffer: a window stream's buffers are larger than the window.
const spa_pod* buildCropMeta(spa_pod_builder* b)
{
    spa_pod_frame object;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(b, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(b, SPA_META_VideoCrop);
    spa_pod_builder_prop(b, SPA_PARAM_META_size, 0);
    spa_pod_builder_int(b, sizeof(spa_meta_region));
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}
} // namespace

struct PipeWireGrabber::Stream
{
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};

    // Under the loop's lock (PipeWire's thread holds it while it calls us).
    spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
    QSize negotiated;
    // The newest buffer with pixels, kept from the producer until grab() copies it or a newer
    // one comes: one buffer at most, so the producer always has the others to draw into.
    pw_buffer* held = nullptr;

    std::mutex mutex;
    std::condition_variable changed;
    // Under mutex.
    QRect crop;
    QSize shown; // the shown part of the last buffer
    bool running = false;
    bool lost = false;
    QString failure;

    ~Stream();
    void markLost(const QString& reason);
    // The shown part of a buffer with pixels; empty for one that carries none.
    QRect shownPart(const pw_buffer* buffer) const;
    bool copy(const pw_buffer* buffer, bool i420, VideoFramePool& pool, SharedFrame* frame);

    static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error);
    static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
    static void onRemoveBuffer(void* data, pw_buffer* buffer);
    static void onProcess(void* data);
};

PipeWireGrabber::Stream::~Stream()
{
    if (loop)
        pw_thread_loop_stop(loop);
    if (stream) {
        // Our own disconnection is no lost stream.
        spa_hook_remove(&streamListener);
        pw_stream_destroy(stream);
    }
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
    }
    if (context)
        pw_context_destroy(context);
    if (loop)
        pw_thread_loop_destroy(loop);
}

void PipeWireGrabber::Stream::markLost(const QString& reason)
{
    {
        std::lock_guard lock(mutex);
        if (lost)
            return;
        lost = true;
        failure = reason;
    }
    qWarning().noquote() << "PipeWire stream ended:" << reason;
    changed.notify_all();
}

void PipeWireGrabber::Stream::onCoreError(void* data, std::uint32_t id, int, int res,
                                          const char* message)
{
    // Errors of other objects (a refused parameter) leave the stream running.
    if (id == PW_ID_CORE)
        static_cast<Stream*>(data)->markLost(
            QStringLiteral("%1 (%2)").arg(QString::fromUtf8(message), QString::number(res)));
}

void PipeWireGrabber::Stream::onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                                             const char* error)
{
    auto* s = static_cast<Stream*>(data);
    if (state == PW_STREAM_STATE_ERROR) {
        s->markLost(QString::fromUtf8(error ? error : "stream error"));
    } else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
        s->markLost(QStringLiteral("the stream was disconnected"));
    } else if (state == PW_STREAM_STATE_STREAMING) {
        {
            std::lock_guard lock(s->mutex);
            s->running = true;
        }
        s->changed.notify_all();
    }
}

void PipeWireGrabber::Stream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param)
{
    auto* s = static_cast<Stream*>(data);
    if (id != SPA_PARAM_Format || !param)
        return;
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &info) < 0)
        return;
    s->format = info.format;
    s->negotiated = QSize(static_cast<int>(info.size.width), static_cast<int>(info.size.height));
    qInfo().noquote() << "PipeWire stream format:" << formatName(info.format)
                      << QStringLiteral("%1x%2").arg(info.size.width).arg(info.size.height)
                      << QStringLiteral("max %1/%2 fps")
                             .arg(info.max_framerate.num)
                             .arg(info.max_framerate.denom);

    std::uint8_t buffer[512];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* params[] = {buildBuffers(&b), buildCropMeta(&b)};
    pw_stream_update_params(s->stream, params, 2);
}

void PipeWireGrabber::Stream::onRemoveBuffer(void* data, pw_buffer* buffer)
{
    auto* s = static_cast<Stream*>(data);
    if (s->held == buffer)
        s->held = nullptr;
}

void PipeWireGrabber::Stream::onProcess(void* data)
{
    auto* s = static_cast<Stream*>(data);
    // Only the newest picture matters; older ones go straight back to the producer.
    pw_buffer* newest = nullptr;
    while (pw_buffer* b = pw_stream_dequeue_buffer(s->stream)) {
        if (newest)
            pw_stream_queue_buffer(s->stream, newest);
        newest = b;
    }
    if (!newest)
        return;
    const QRect visible = s->shownPart(newest);
    // A buffer without pixels carries only a pointer move: the held picture stays the newest.
    if (visible.isEmpty()) {
        pw_stream_queue_buffer(s->stream, newest);
        return;
    }
    if (s->held)
        pw_stream_queue_buffer(s->stream, s->held);
    s->held = newest;
    bool first = false;
    {
        std::lock_guard lock(s->mutex);
        first = s->shown.isEmpty();
        s->shown = visible.size();
    }
    if (first)
        s->changed.notify_all();
}

QRect PipeWireGrabber::Stream::shownPart(const pw_buffer* b) const
{
    const spa_buffer* buffer = b->buffer;
    if (buffer->n_datas < 1 || negotiated.isEmpty() ||
        (format != SPA_VIDEO_FORMAT_BGRx && format != SPA_VIDEO_FORMAT_BGRA && !isRgbOrder(format)))
        return {};
    const spa_data& d = buffer->datas[0];
    if (!d.data || !d.chunk || d.chunk->size == 0 || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
        return {};
    QRect visible(QPoint(0, 0), negotiated);
    const auto* region = static_cast<const spa_meta_region*>(
        spa_buffer_find_meta_data(buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
    if (region && spa_meta_region_is_valid(region))
        visible &= QRect(region->region.position.x, region->region.position.y,
                         static_cast<int>(region->region.size.width),
                         static_cast<int>(region->region.size.height));
    return visible;
}

bool PipeWireGrabber::Stream::copy(const pw_buffer* b, bool i420, VideoFramePool& pool,
                                   SharedFrame* frame)
{
    const QRect visible = shownPart(b);
    QRect source;
    {
        std::lock_guard lock(mutex);
        source = crop.isEmpty() ? visible : crop.translated(visible.topLeft()) & visible;
    }
    source.setWidth(source.width() & ~1);
    source.setHeight(source.height() & ~1);
    if (source.isEmpty())
        return false;

    const spa_data& d = b->buffer->datas[0];
    const std::int64_t stride =
        d.chunk->stride > 0 ? d.chunk->stride : std::int64_t(negotiated.width()) * kBytesPerPixel;
    const std::int64_t first = std::int64_t(d.chunk->offset) + source.y() * stride +
                               std::int64_t(source.x()) * kBytesPerPixel;
    const std::int64_t end =
        first + (source.height() - 1) * stride + std::int64_t(source.width()) * kBytesPerPixel;
    if (end > std::int64_t(d.maxsize))
        return false;

    const auto* pixels = static_cast<const std::uint8_t*>(d.data) + first;
    const int pitch = static_cast<int>(stride);
    // libyuv names formats by the word order: its ABGR is R, G, B, A in memory.
    if (i420) {
        SharedFrame result = pool.acquireI420(source.width(), source.height());
        if (!result)
            return false;
        (isRgbOrder(format) ? libyuv::ABGRToI420 : libyuv::ARGBToI420)(
            pixels, pitch, result->data[0], result->linesize[0], result->data[1],
            result->linesize[1], result->data[2], result->linesize[2], source.width(),
            source.height());
        *frame = std::move(result);
        return true;
    }
    SharedFrame result = pool.acquire(source.width(), source.height());
    if (!result)
        return false;
    if (isRgbOrder(format))
        libyuv::ABGRToARGB(pixels, pitch, result->data[0], result->linesize[0], source.width(),
                           source.height());
    else
        libyuv::ARGBCopy(pixels, pitch, result->data[0], result->linesize[0], source.width(),
                         source.height());
    *frame = std::move(result);
    return true;
}

PipeWireGrabber::PipeWireGrabber() : stream_(std::make_unique<Stream>()) {}

PipeWireGrabber::~PipeWireGrabber() = default;

std::unique_ptr<PipeWireGrabber> PipeWireGrabber::create(int fd, std::uint32_t nodeId,
                                                         QString* error)
{
    auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return nullptr;
    };
    initPipeWireOnce();
    std::unique_ptr<PipeWireGrabber> grabber(new PipeWireGrabber());
    Stream* s = grabber->stream_.get();
    s->loop = pw_thread_loop_new("torvane-pipewire", nullptr);
    if (s->loop)
        s->context = pw_context_new(pw_thread_loop_get_loop(s->loop), nullptr, 0);
    if (!s->context) {
        if (fd >= 0)
            close(fd);
        return fail(QStringLiteral("Could not set up PipeWire."));
    }
    if (pw_thread_loop_start(s->loop) < 0) {
        if (fd >= 0)
            close(fd);
        return fail(QStringLiteral("Could not start PipeWire's thread."));
    }

    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.error = &Stream::onCoreError;
        return e;
    }();
    static const pw_stream_events streamEvents = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &Stream::onStateChanged;
        e.param_changed = &Stream::onParamChanged;
        e.remove_buffer = &Stream::onRemoveBuffer;
        e.process = &Stream::onProcess;
        return e;
    }();

    pw_thread_loop_lock(s->loop);
    // From here the remote belongs to the core, which closes it when it goes.
    s->core = fd >= 0 ? pw_context_connect_fd(s->context, fd, nullptr, 0)
                      : pw_context_connect(s->context, nullptr, 0);
    int result = -1;
    if (s->core) {
        pw_core_add_listener(s->core, &s->coreListener, &coreEvents, s);
        s->stream =
            pw_stream_new(s->core, "Torvane screen capture",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                            "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    }
    if (s->stream) {
        pw_stream_add_listener(s->stream, &s->streamListener, &streamEvents, s);
        std::uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_pod* params[] = {buildEnumFormat(&b)};
        // Never moved to another node when this one goes: the recording ends instead.
        result = pw_stream_connect(s->stream, PW_DIRECTION_INPUT, nodeId,
                                   static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                                PW_STREAM_FLAG_MAP_BUFFERS |
                                                                PW_STREAM_FLAG_DONT_RECONNECT),
                                   params, 1);
    }
    pw_thread_loop_unlock(s->loop);
    if (!s->core)
        return fail(QStringLiteral("Could not connect to PipeWire."));
    if (result < 0)
        return fail(QStringLiteral("Could not open the PipeWire stream of node %1.").arg(nodeId));

    std::unique_lock lock(s->mutex);
    s->changed.wait_for(lock, std::chrono::milliseconds(kConnectTimeoutMs),
                        [s] { return s->running || s->lost; });
    if (s->lost)
        return fail(QStringLiteral("The PipeWire stream of node %1 failed: %2")
                        .arg(nodeId)
                        .arg(s->failure));
    if (!s->running)
        return fail(QStringLiteral("The PipeWire stream of node %1 did not start.").arg(nodeId));
    return grabber;
}

bool PipeWireGrabber::setScreenRect(const QRect& rect, QString* error)
{
    std::lock_guard lock(stream_->mutex);
    const QSize shown = stream_->shown;
    if (!rect.isEmpty() && (rect.left() < 0 || rect.top() < 0 ||
                            (!shown.isEmpty() && !QRect(QPoint(0, 0), shown).contains(rect)))) {
        if (error)
            *error = QStringLiteral("The rectangle lies outside the screen.");
        return false;
    }
    stream_->crop = rect == QRect(QPoint(0, 0), shown) ? QRect() : rect;
    return true;
}

bool PipeWireGrabber::setWindow(NativeWindow, QString*)
{
    std::lock_guard lock(stream_->mutex);
    stream_->crop = QRect();
    return true;
}

ScreenGrabber::Result PipeWireGrabber::grab(VideoFramePool& pool, SharedFrame* frame)
{
    Stream* s = stream_.get();
    pw_thread_loop_lock(s->loop);
    Result result = Result::NoChange;
    if (s->held) {
        result = s->copy(s->held, i420_, pool, frame) ? Result::Frame : Result::Failed;
        pw_stream_queue_buffer(s->stream, s->held);
        s->held = nullptr;
    }
    pw_thread_loop_unlock(s->loop);
    if (result == Result::Frame)
        lastSize_ = QSize((*frame)->width, (*frame)->height);
    std::lock_guard lock(s->mutex);
    return result == Result::NoChange && s->lost ? Result::Lost : result;
}

QSize PipeWireGrabber::waitForSize(int timeoutMs)
{
    std::unique_lock lock(stream_->mutex);
    stream_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return !stream_->shown.isEmpty() || stream_->lost; });
    return stream_->shown;
}
