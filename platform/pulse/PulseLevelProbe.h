#pragma once

#include "PulseConnection.h"
#include "PulseProgramStreams.h"
#include "platform/AudioSourceList.h"

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <utility>

// Level meters the way desktop mixers draw them: the server measures peaks of a tiny mono
// stream a few times a second, so the client only wakes to store a number. Everything but
// levels() runs with the mainloop lock held.
class PulseLevelProbe : public AudioLevelProbe
{
public:
    PulseLevelProbe();
    ~PulseLevelProbe() override;
    PulseLevelProbe(const PulseLevelProbe&) = delete;
    PulseLevelProbe& operator=(const PulseLevelProbe&) = delete;

    void watch(const std::vector<AudioSourceChoice>& sources) override;
    std::vector<float> levels() const override;

private:
    static constexpr std::size_t kSlots = 2;
    struct Slot
    {
        std::atomic<float> peak{0.0f};
        std::atomic<long long> stampMs{-1000000};
    };
    struct Meter
    {
        PulseLevelProbe* probe;
        std::size_t slot;
        pulse::StreamPtr stream;
    };

    void onReady(pa_context* context);
    static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void onSource(pa_context*, const pa_source_info* info, int eol, void* self);
    static void onRead(pa_stream* stream, size_t bytes, void* meter);
    void build();
    void clear();
    // Starts a meter on a device (a name, or a monitor source index for a program's stream).
    void meter(std::size_t slot, const std::string& device, uint32_t sinkInput);

    pulse::KeptConnection connection_;
    std::array<Slot, kSlots> slots_;
    std::atomic<std::size_t> watched_{0};
    std::vector<AudioSourceChoice> choices_;
    std::map<std::pair<std::size_t, uint32_t>, std::unique_ptr<Meter>> meters_;
    std::array<std::unique_ptr<pulse::ProgramStreams>, kSlots> programs_;
    std::vector<pulse::SourceEntry> sources_;
    pa_operation* sourceList_ = nullptr;
};
