#include "PulseAudioSource.h"

#include <QDebug>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

// A missing or hung server must not freeze a recording start.
constexpr auto kTimeout = std::chrono::seconds(5);
constexpr auto kPollStep = std::chrono::milliseconds(5);
constexpr pa_usec_t kFragmentUsec = 20000;

void onOverflow(pa_stream*, void*)
{
    qWarning() << "The sound server dropped recorded sound: the capture thread read too late.";
}

// Holds the mainloop lock for a scope.
class MainloopLock
{
public:
    explicit MainloopLock(pa_threaded_mainloop* loop) : loop_(loop)
    {
        pa_threaded_mainloop_lock(loop_);
    }
    ~MainloopLock() { pa_threaded_mainloop_unlock(loop_); }
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// Polls cond with the lock released between tries, so the mainloop thread can make progress.
template <typename Cond> bool pollUntil(pa_threaded_mainloop* loop, Cond cond)
{
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (true) {
        const int result = cond();
        if (result != 0)
            return result > 0;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        pa_threaded_mainloop_unlock(loop);
        std::this_thread::sleep_for(kPollStep);
        pa_threaded_mainloop_lock(loop);
    }
}

struct ServerNames
{
    std::string defaultSink;
    std::string defaultSource;
    bool done = false;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata)
{
    auto* names = static_cast<ServerNames*>(userdata);
    if (info) {
        names->defaultSink = info->default_sink_name ? info->default_sink_name : "";
        names->defaultSource = info->default_source_name ? info->default_source_name : "";
    }
    names->done = true;
}

struct SourceSpec
{
    pa_sample_spec spec{};
    bool found = false;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata)
{
    auto* result = static_cast<SourceSpec*>(userdata);
    if (eol == 0 && info) {
        result->spec = info->sample_spec;
        result->found = true;
    }
}

} // namespace

std::unique_ptr<AudioSource> AudioSource::create()
{
    return std::make_unique<PulseAudioSource>();
}

PulseAudioSource::~PulseAudioSource()
{
    stop();
}

bool PulseAudioSource::waitFor(pa_operation* operation)
{
    if (!operation)
        return false;
    std::unique_ptr<pa_operation, OperationDeleter> holder(operation);
    return pollUntil(mainloop_.get(), [&] {
        const pa_operation_state_t state = pa_operation_get_state(operation);
        if (state == PA_OPERATION_DONE)
            return 1;
        return state == PA_OPERATION_CANCELLED ? -1 : 0;
    });
}

bool PulseAudioSource::waitForContextReady()
{
    return pollUntil(mainloop_.get(), [&] {
        const pa_context_state_t state = pa_context_get_state(context_.get());
        if (state == PA_CONTEXT_READY)
            return 1;
        return PA_CONTEXT_IS_GOOD(state) ? 0 : -1;
    });
}

bool PulseAudioSource::waitForStreamReady()
{
    return pollUntil(mainloop_.get(), [&] {
        const pa_stream_state_t state = pa_stream_get_state(stream_.get());
        if (state == PA_STREAM_READY)
            return 1;
        return PA_STREAM_IS_GOOD(state) ? 0 : -1;
    });
}

AudioSource::OpenError PulseAudioSource::failed(OpenError error, int fallback)
{
    // A timeout or a missing device leaves the context without an error of its own.
    const int code = context_ ? pa_context_errno(context_.get()) : PA_OK;
    error_ = pa_strerror(code != PA_OK ? code : fallback);
    return error;
}

void PulseAudioSource::keepStreamError()
{
    const int code = context_ ? pa_context_errno(context_.get()) : PA_OK;
    error_ = pa_strerror(code != PA_OK ? code : PA_ERR_BADSTATE);
}

AudioSource::OpenError PulseAudioSource::open(const AudioSourceChoice& choice)
{
    const bool microphone = choice.kind == AudioSourceChoice::Kind::Microphone;
    stop();
    error_.clear();
    mainloop_.reset(pa_threaded_mainloop_new());
    if (!mainloop_ || pa_threaded_mainloop_start(mainloop_.get()) < 0) {
        mainloop_.reset();
        return failed(OpenError::Runtime, PA_ERR_INTERNAL);
    }
    running_ = true;
    MainloopLock lock(mainloop_.get());

    context_.reset(pa_context_new(pa_threaded_mainloop_get_api(mainloop_.get()), "Torvane"));
    if (!context_)
        return failed(OpenError::Runtime, PA_ERR_INTERNAL);
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        !waitForContextReady())
        return failed(OpenError::NoServer, PA_ERR_TIMEOUT);

    ServerNames names;
    if (!waitFor(pa_context_get_server_info(context_.get(), onServerInfo, &names)) || !names.done)
        return failed(OpenError::NoDevice, PA_ERR_TIMEOUT);
    // The monitor of the default output is what the user hears.
    device_ = microphone
                  ? names.defaultSource
                  : (names.defaultSink.empty() ? std::string() : names.defaultSink + ".monitor");
    if (device_.empty())
        return failed(OpenError::NoDevice, PA_ERR_NOENTITY);
    SourceSpec native;
    if (!waitFor(pa_context_get_source_info_by_name(context_.get(), device_.c_str(), onSourceInfo,
                                                    &native)) ||
        !native.found)
        return failed(OpenError::NoDevice, PA_ERR_NOENTITY);

    // Record in the device's own rate and channels; float and 16-bit samples are taken as they
    // are, anything else is converted to float by the server.
    pa_sample_spec spec = native.spec;
    if (spec.format != PA_SAMPLE_FLOAT32LE && spec.format != PA_SAMPLE_S16LE)
        spec.format = PA_SAMPLE_FLOAT32LE;
    if (!pa_sample_spec_valid(&spec))
        return failed(OpenError::NoDevice, PA_ERR_NOTSUPPORTED);

    stream_.reset(pa_stream_new(context_.get(), "Torvane recording", &spec, nullptr));
    if (!stream_)
        return failed(OpenError::StreamCreate, PA_ERR_INTERNAL);
    // The stream sets the sink's latency itself: a monitor hears only what the sink renders
    // after the stream joined, and a sink left at its default renders seconds ahead. Fragments
    // of 20 ms keep it prompt; the longest buffer the server allows keeps a late reader from
    // losing sound.
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &spec));
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY);
    pa_stream_set_overflow_callback(stream_.get(), onOverflow, nullptr);
    if (pa_stream_connect_record(stream_.get(), device_.c_str(), &attr, flags) < 0)
        return failed(OpenError::StreamConnect, PA_ERR_INTERNAL);
    if (!waitForStreamReady())
        return failed(OpenError::StreamStart, PA_ERR_TIMEOUT);

    format_.rate = static_cast<int>(spec.rate);
    format_.channels = spec.channels;
    format_.bits = static_cast<int>(pa_sample_size(&spec) * 8);
    format_.isFloat = spec.format == PA_SAMPLE_FLOAT32LE;
    format_.isPcm = spec.format == PA_SAMPLE_S16LE;
    frameBytes_ = static_cast<int>(pa_frame_size(&spec));
    if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_.get()))
        qInfo().nospace() << "Sound stream on " << device_.c_str() << ": fragments of "
                          << pa_bytes_to_usec(granted->fragsize, &spec) / 1000 << " ms, buffer of "
                          << pa_bytes_to_usec(granted->maxlength, &spec) / 1000 << " ms";
    return OpenError::None;
}

int PulseAudioSource::packetSize()
{
    if (!stream_ || frameBytes_ <= 0)
        return -1;
    MainloopLock lock(mainloop_.get());
    const size_t bytes = pa_stream_get_state(stream_.get()) == PA_STREAM_READY
                             ? pa_stream_readable_size(stream_.get())
                             : static_cast<size_t>(-1);
    if (bytes == static_cast<size_t>(-1)) {
        keepStreamError();
        return -1;
    }
    return static_cast<int>(bytes / static_cast<size_t>(frameBytes_));
}

bool PulseAudioSource::read(AudioPacket& packet)
{
    packet.data.clear();
    packet.frames = 0;
    packet.silent = false;
    if (!stream_ || frameBytes_ <= 0)
        return false;
    MainloopLock lock(mainloop_.get());
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream_.get(), &data, &bytes) < 0) {
        keepStreamError();
        return false;
    }
    if (bytes == 0)
        return true; // nothing waiting
    packet.frames = static_cast<int>(bytes / static_cast<size_t>(frameBytes_));
    if (data) {
        const auto* begin = static_cast<const std::uint8_t*>(data);
        packet.data.assign(begin, begin + size_t(packet.frames) * size_t(frameBytes_));
    } else {
        packet.silent = true; // a hole in the stream
    }
    pa_stream_drop(stream_.get());
    return true;
}

void PulseAudioSource::stop()
{
    if (!mainloop_)
        return;
    {
        MainloopLock lock(mainloop_.get());
        stream_.reset();
        context_.reset();
    }
    // The mainloop thread must be stopped without holding its lock.
    if (running_)
        pa_threaded_mainloop_stop(mainloop_.get());
    running_ = false;
    mainloop_.reset();
    frameBytes_ = 0;
}
