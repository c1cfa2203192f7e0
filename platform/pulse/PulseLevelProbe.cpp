#include "PulseLevelProbe.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Peaks a second; the meter repaints no faster.
constexpr uint32_t kPeakRate = 25;
// A source silent for this long, or gone, reads 0.
constexpr long long kStaleMs = 300;
constexpr uint32_t kNoStream = PA_INVALID_INDEX;
constexpr pa_usec_t kRetryUsec = 2 * PA_USEC_PER_SEC;

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               pulse::Clock::now().time_since_epoch())
        .count();
}

} // namespace

std::unique_ptr<AudioLevelProbe> AudioLevelProbe::create()
{
    return std::make_unique<PulseLevelProbe>();
}

PulseLevelProbe::PulseLevelProbe()
{
    // Connects in the background: the meters start once the server answers, and are built
    // again on a new connection.
    connection_.start(kRetryUsec, {[this](pa_context* context, pa_context_state_t state) {
                                       if (state == PA_CONTEXT_READY)
                                           onReady(context);
                                   },
                                   [this] { clear(); }});
}

PulseLevelProbe::~PulseLevelProbe()
{
    if (connection_.loop()) {
        pulse::MainloopLock lock(connection_.loop());
        clear();
    }
    connection_.close();
}

void PulseLevelProbe::watch(const std::vector<AudioSourceChoice>& sources)
{
    if (!connection_.loop())
        return;
    pulse::MainloopLock lock(connection_.loop());
    clear();
    choices_.assign(sources.begin(), sources.begin() + std::min(sources.size(), kSlots));
    watched_ = choices_.size();
    if (connection_.ready())
        build();
}

std::vector<float> PulseLevelProbe::levels() const
{
    std::vector<float> result(watched_.load());
    const long long now = nowMs();
    for (std::size_t i = 0; i < result.size() && i < kSlots; ++i)
        result[i] = now - slots_[i].stampMs.load() < kStaleMs ? slots_[i].peak.load() : 0.0f;
    return result;
}

void PulseLevelProbe::onReady(pa_context* context)
{
    pa_context_set_subscribe_callback(context, onEvent, this);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT);
    if (pa_operation* operation = pa_context_subscribe(context, mask, nullptr, nullptr))
        pa_operation_unref(operation);
    build();
}

void PulseLevelProbe::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                              void* self)
{
    for (auto& program : static_cast<PulseLevelProbe*>(self)->programs_)
        if (program)
            program->onEvent(type, index);
}

void PulseLevelProbe::clear()
{
    if (sourceList_) {
        pa_operation_cancel(sourceList_);
        pa_operation_unref(sourceList_);
        sourceList_ = nullptr;
    }
    meters_.clear();
    for (auto& program : programs_)
        program.reset();
    for (Slot& slot : slots_)
        slot.stampMs = -1000000;
}

void PulseLevelProbe::build()
{
    pa_context* context = connection_.context();
    bool microphones = false;
    for (std::size_t slot = 0; slot < choices_.size(); ++slot) {
        const AudioSourceChoice& choice = choices_[slot];
        if (choice.kind == AudioSourceChoice::Kind::SystemSound) {
            meter(slot, "@DEFAULT_MONITOR@", kNoStream);
        } else if (choice.kind == AudioSourceChoice::Kind::Microphone) {
            microphones = true; // after the devices are known
        } else {
            programs_[slot] = std::make_unique<pulse::ProgramStreams>(
                context, choice.name,
                [this, slot](uint32_t input, uint32_t monitor) {
                    meter(slot, std::to_string(monitor), input);
                },
                [this, slot](uint32_t input) {
                    meters_.erase({slot, input});
                });
            if (pa_operation* operation = programs_[slot]->start())
                pa_operation_unref(operation);
        }
    }
    if (microphones) {
        sources_.clear();
        sourceList_ = pa_context_get_source_info_list(context, onSource, this);
    }
}

void PulseLevelProbe::onSource(pa_context* context, const pa_source_info* info, int eol, void* self)
{
    auto* probe = static_cast<PulseLevelProbe*>(self);
    if (eol == 0) {
        pulse::collectSource(context, info, eol, &probe->sources_);
        return;
    }
    for (std::size_t slot = 0; slot < probe->choices_.size(); ++slot) {
        const AudioSourceChoice& choice = probe->choices_[slot];
        if (choice.kind != AudioSourceChoice::Kind::Microphone)
            continue;
        const std::string device = pulse::pickMicrophone(probe->sources_, choice.name);
        probe->meter(slot, device.empty() ? "@DEFAULT_SOURCE@" : device, kNoStream);
    }
}

void PulseLevelProbe::meter(std::size_t slot, const std::string& device, uint32_t sinkInput)
{
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = kPeakRate;
    spec.channels = 1;
    auto meter = std::make_unique<Meter>(Meter{this, slot, nullptr});
    meter->stream.reset(pa_stream_new(connection_.context(), "Torvane level", &spec, nullptr));
    if (!meter->stream)
        return;
    pa_stream* stream = meter->stream.get();
    if (sinkInput != kNoStream && pa_stream_set_monitor_stream(stream, sinkInput) < 0)
        return;
    pa_stream_set_read_callback(stream, onRead, meter.get());
    // One peak per fragment.
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = sizeof(float);
    auto flags = PA_STREAM_PEAK_DETECT | PA_STREAM_ADJUST_LATENCY;
    if (sinkInput != kNoStream)
        flags |= PA_STREAM_DONT_MOVE;
    if (pa_stream_connect_record(stream, device.c_str(), &attr,
                                 static_cast<pa_stream_flags_t>(flags)) < 0)
        return;
    meters_[{slot, sinkInput}] = std::move(meter);
}

void PulseLevelProbe::onRead(pa_stream* stream, size_t, void* userdata)
{
    const auto* meter = static_cast<const Meter*>(userdata);
    float peak = 0.0f;
    for (int chunk = 0; chunk < 16; ++chunk) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            break;
        const auto* samples = static_cast<const float*>(data);
        for (size_t i = 0; data && i < bytes / sizeof(float); ++i)
            if (std::isfinite(samples[i]))
                peak = std::max(peak, std::min(std::fabs(samples[i]), 1.0f));
        pa_stream_drop(stream);
    }
    // A program's streams share one slot: the loudest of them in the last moment counts.
    Slot& slot = meter->probe->slots_[meter->slot];
    const long long now = nowMs();
    if (now - slot.stampMs.load() < 1000 / kPeakRate)
        peak = std::max(peak, slot.peak.load());
    slot.peak = peak;
    slot.stampMs = now;
}
