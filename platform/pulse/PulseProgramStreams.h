#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace pulse {

// Follows the playback streams ("sink inputs") of one program on the mainloop thread: says when
// one appears, with the monitor source of the output it plays on, and when one goes. Browsers
// open one per tab, so there may be several at once. Every call, and every callback, runs
// with the mainloop lock held.
class ProgramStreams
{
public:
    using Added = std::function<void(std::uint32_t sinkInput, std::uint32_t monitorSource)>;
    using Removed = std::function<void(std::uint32_t sinkInput)>;

    ProgramStreams(pa_context* context, std::string program, Added added, Removed removed);
    ~ProgramStreams();
    ProgramStreams(const ProgramStreams&) = delete;
    ProgramStreams& operator=(const ProgramStreams&) = delete;

    // Asks for the streams playing now. The caller subscribes the context to sink-input events
    // and passes them to onEvent(); the returned operation ends when the first answer is in.
    pa_operation* start();
    void onEvent(pa_subscription_event_type_t type, std::uint32_t index);
    // Forgets a stream whose recording failed, so that its next change adds it again.
    void forget(std::uint32_t sinkInput);
    // Streams recorded or about to be.
    std::size_t count() const { return playing_.size() + waiting_.size(); }

private:
    static void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* self);
    static void onSink(pa_context*, const pa_sink_info* info, int eol, void* self);
    void seen(const pa_sink_input_info& info);
    void drop(std::uint32_t sinkInput);
    void keep(pa_operation* operation);

    pa_context* context_;
    std::string program_;
    Added added_;
    Removed removed_;
    std::map<std::uint32_t, std::uint32_t> playing_; // sink input -> its sink, once added
    std::map<std::uint32_t, std::uint32_t> waiting_; // sink input -> its sink, being looked up
    std::vector<pa_operation*> pending_;             // cancelled when this goes
};

} // namespace pulse
