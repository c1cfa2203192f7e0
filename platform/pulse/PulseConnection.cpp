#include "PulseConnection.h"

#include <cstring>
#include <thread>

namespace pulse {

namespace {

constexpr auto kPollStep = std::chrono::milliseconds(5);
constexpr std::size_t kMaxText = 512;
constexpr const char* kClientName = "Torvane";

// Polls cond with the lock released between tries, so the mainloop thread can make progress.
template <typename Cond>
bool pollUntil(pa_threaded_mainloop* loop, Clock::time_point deadline, Cond cond)
{
    while (true) {
        const int result = cond();
        if (result != 0)
            return result > 0;
        if (Clock::now() >= deadline)
            return false;
        pa_threaded_mainloop_unlock(loop);
        std::this_thread::sleep_for(kPollStep);
        pa_threaded_mainloop_lock(loop);
    }
}

} // namespace

void StreamDeleter::operator()(pa_stream* stream) const
{
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

bool Connection::start(const char* clientName, pa_context_notify_cb_t onState, void* userdata)
{
    close();
    loop_ = pa_threaded_mainloop_new();
    if (!loop_)
        return false;
    if (pa_threaded_mainloop_start(loop_) < 0)
        return false;
    running_ = true;
    MainloopLock lock(loop_);
    return renew(clientName, onState, userdata);
}

bool Connection::renew(const char* clientName, pa_context_notify_cb_t onState, void* userdata)
{
    dropContext();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), clientName);
    if (!context_)
        return false;
    pa_context_set_state_callback(context_, onState, userdata);
    // A failed connect shows as a failed context state.
    pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    return true;
}

void Connection::dropContext()
{
    if (!context_)
        return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

bool Connection::waitReady(Clock::time_point deadline)
{
    if (!context_)
        return false;
    return pollUntil(loop_, deadline, [&] {
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY)
            return 1;
        return PA_CONTEXT_IS_GOOD(state) ? 0 : -1;
    });
}

bool Connection::waitFor(pa_operation* operation, Clock::time_point deadline)
{
    if (!operation)
        return false;
    const bool done = pollUntil(loop_, deadline, [&] {
        const pa_operation_state_t state = pa_operation_get_state(operation);
        if (state == PA_OPERATION_DONE)
            return 1;
        return state == PA_OPERATION_CANCELLED ? -1 : 0;
    });
    // A late answer must not reach the caller's gone stack frame.
    if (!done)
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done;
}

bool KeptConnection::start(pa_usec_t retryUsec, Hooks hooks)
{
    retryUsec_ = retryUsec;
    hooks_ = std::move(hooks);
    return Connection::start(kClientName, onState, this);
}

void KeptConnection::close()
{
    if (loop()) {
        MainloopLock lock(loop());
        if (retry_)
            pa_threaded_mainloop_get_api(loop())->time_free(retry_);
        retry_ = nullptr;
    }
    Connection::close();
}

void KeptConnection::onState(pa_context* context, void* self)
{
    auto* kept = static_cast<KeptConnection*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (kept->hooks_.state)
        kept->hooks_.state(context, state);
    if (PA_CONTEXT_IS_GOOD(state) || kept->retry_)
        return;
    timeval when{};
    pa_timeval_add(pa_gettimeofday(&when), kept->retryUsec_);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(kept->loop());
    kept->retry_ = api->time_new(api, &when, onRetry, kept);
}

void KeptConnection::onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* self)
{
    auto* kept = static_cast<KeptConnection*>(self);
    api->time_free(event);
    kept->retry_ = nullptr;
    if (kept->hooks_.renewing)
        kept->hooks_.renewing();
    kept->renew(kClientName, onState, kept);
}

bool waitForStream(Connection& connection, pa_stream* stream, Clock::time_point deadline)
{
    return pollUntil(connection.loop(), deadline, [&] {
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            return 1;
        return PA_STREAM_IS_GOOD(state) ? 0 : -1;
    });
}

void Connection::close()
{
    if (!loop_)
        return;
    if (context_) {
        MainloopLock lock(loop_);
        dropContext();
    }
    // The mainloop thread must be stopped without holding its lock.
    if (running_)
        pa_threaded_mainloop_stop(loop_);
    running_ = false;
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

int Connection::errorCode(int fallback) const
{
    // A timeout or a missing device leaves the context without an error of its own.
    const int code = context_ ? pa_context_errno(context_) : PA_OK;
    return code != PA_OK ? code : fallback;
}

std::string boundedText(const char* text)
{
    if (!text)
        return {};
    std::string result(text, strnlen(text, kMaxText));
    return result;
}

std::string property(const pa_proplist* list, const char* key)
{
    return list ? boundedText(pa_proplist_gets(list, key)) : std::string();
}

void collectSource(pa_context*, const pa_source_info* info, int eol, void* entries)
{
    auto* sources = static_cast<std::vector<SourceEntry>*>(entries);
    if (eol != 0 || !info || !info->name || sources->size() >= kMaxEntries)
        return;
    sources->push_back({boundedText(info->name), boundedText(info->description),
                        info->monitor_of_sink != PA_INVALID_INDEX});
}

std::string pickMicrophone(const std::vector<SourceEntry>& sources, const std::string& wanted)
{
    for (const SourceEntry& source : sources)
        if (source.name == wanted)
            return source.name;
    for (const SourceEntry& source : sources)
        if (!source.monitor && source.description == wanted)
            return source.name;
    return {};
}

pa_sample_spec recordingSpec()
{
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = 48000;
    spec.channels = 2;
    return spec;
}

} // namespace pulse
