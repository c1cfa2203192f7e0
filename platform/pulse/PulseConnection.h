#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The pieces every PulseAudio client here shares: a threaded mainloop with one context, waits
// bounded by a deadline, and the checks that what the server says stays within limits.
namespace pulse {

using Clock = std::chrono::steady_clock;

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

struct StreamDeleter
{
    // Callbacks go first: a stream being torn down must not call into its owner.
    void operator()(pa_stream* stream) const;
};
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;

// A mainloop thread and a context connected to the user's server, never autospawning one.
class Connection
{
public:
    Connection() = default;
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Starts the mainloop and begins connecting; false when the client runtime failed. The
    // state callback, if any, hears every change of the context's state.
    bool start(const char* clientName, pa_context_notify_cb_t onState = nullptr,
               void* userdata = nullptr);
    // With the lock held, not inside a callback of the context: replaces the context with a
    // new one that begins connecting.
    bool renew(const char* clientName, pa_context_notify_cb_t onState = nullptr,
               void* userdata = nullptr);
    // With the lock held: waits until the context is ready, false when it failed or the
    // deadline passed.
    bool waitReady(Clock::time_point deadline);
    // With the lock held: waits until the operation finishes (and releases it).
    bool waitFor(pa_operation* operation, Clock::time_point deadline);
    // Disconnects and stops the mainloop thread; the lock must not be held.
    void close();

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }
    bool ready() const { return context_ && pa_context_get_state(context_) == PA_CONTEXT_READY; }
    // The server's last error code, or fallback when there is none.
    int errorCode(int fallback) const;

private:
    void dropContext();

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool running_ = false;
};

// A connection made again every so often while the server is gone or not there yet, as a
// server restarted by the desktop comes back. The hooks run on the mainloop thread with the lock
// held: state hears every state of every context, renewing runs before a context is replaced.
class KeptConnection : public Connection
{
public:
    struct Hooks
    {
        std::function<void(pa_context*, pa_context_state_t)> state;
        std::function<void()> renewing = {};
    };

    KeptConnection() = default;
    ~KeptConnection() { close(); }

    bool start(pa_usec_t retryUsec, Hooks hooks);
    // The lock must not be held.
    void close();

private:
    static void onState(pa_context* context, void* self);
    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* self);

    Hooks hooks_;
    pa_usec_t retryUsec_ = 0;
    pa_time_event* retry_ = nullptr;
};

// With the lock held: waits until the stream records, false when it failed or the deadline
// passed.
bool waitForStream(Connection& connection, pa_stream* stream, Clock::time_point deadline);

// A name or description from the server, cut to a sane length.
std::string boundedText(const char* text);
// Property of a proplist as bounded text, empty when missing.
std::string property(const pa_proplist* list, const char* key);

// Every list the server sends is taken up to this many entries.
constexpr std::size_t kMaxEntries = 256;

struct SourceEntry
{
    std::string name;
    std::string description;
    bool monitor = false;
};
// pa_source_info_cb_t collecting into a std::vector<SourceEntry>.
void collectSource(pa_context*, const pa_source_info* info, int eol, void* entries);
// The device for a wanted microphone: a source of that name, else an input (not a monitor)
// with that description, as older settings stored; empty when neither exists.
std::string pickMicrophone(const std::vector<SourceEntry>& sources, const std::string& wanted);

// Every stream is 48 kHz float stereo, so that two sources mix sample by sample.
pa_sample_spec recordingSpec();

} // namespace pulse
