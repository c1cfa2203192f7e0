#pragma once

#include "PulseConnection.h"
#include "PulseProgramStreams.h"
#include "platform/AudioSource.h"

#include <map>
#include <memory>
#include <string>

// Records the playback streams of one program and nothing else, each through its own monitor
// stream on the output it plays to, mixed into one. Follows the program as it opens and
// closes streams; while it plays nothing, nothing is delivered.
class PulseApplicationSource : public AudioSource
{
public:
    PulseApplicationSource();
    ~PulseApplicationSource() override;
    PulseApplicationSource(const PulseApplicationSource&) = delete;
    PulseApplicationSource& operator=(const PulseApplicationSource&) = delete;

    OpenError open(const AudioSourceChoice& choice) override;
    AudioInputFormat format() const override;
    int packetSize() override;
    bool read(AudioPacket& packet) override;
    void stop() override;
    std::string errorText() const override { return error_; }
    bool deliversContinuously() const override { return false; }

private:
    struct Feed;

    static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void onRead(pa_stream* stream, size_t bytes, void* feed);
    static void onStreamState(pa_stream* stream, void* feed);
    void add(std::uint32_t sinkInput, std::uint32_t monitorSource);
    void remove(std::uint32_t sinkInput);
    // Frames that can be mixed now (lock held).
    std::size_t mixable();
    OpenError failed(OpenError error, int fallback);

    pulse::Connection connection_;
    std::unique_ptr<pulse::ProgramStreams> streams_;
    std::map<std::uint32_t, std::unique_ptr<Feed>> feeds_;
    std::string program_;
    std::string error_;
    bool saidSilent_ = false;
};
