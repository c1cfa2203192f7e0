#include "PulseApplicationSource.h"

#include <QDebug>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr auto kOpenTimeout = std::chrono::seconds(5);
// A stream that delivered nothing for this long is paused or gone: the others are not held
// back waiting for it.
constexpr auto kQuietAfter = std::chrono::milliseconds(100);
constexpr pa_usec_t kFragmentUsec = 20000;
constexpr int kChannels = 2;
// What one stream may hold before its oldest sound is dropped: a second.
constexpr std::size_t kMaxFrames = 48000;
constexpr int kMaxChunksPerWakeup = 64;

// The recorded frames of one stream, oldest first, bounded.
class FrameFifo
{
public:
    FrameFifo() : samples_(kMaxFrames * kChannels) {}
    std::size_t frames() const { return count_ / kChannels; }
    // Null data is silence. False when old sound had to make room.
    bool push(const float* data, std::size_t frames)
    {
        bool room = frames * kChannels <= samples_.size() - count_;
        // More than fits would only push itself out again; a hole's length is the server's word.
        if (frames > kMaxFrames) {
            data = data ? data + (frames - kMaxFrames) * kChannels : nullptr;
            frames = kMaxFrames;
            room = false;
        }
        for (std::size_t i = 0; i < frames * kChannels; ++i) {
            if (count_ == samples_.size()) { // full: the oldest goes
                head_ = (head_ + 1) % samples_.size();
                --count_;
            }
            samples_[(head_ + count_++) % samples_.size()] = data ? data[i] : 0.0f;
        }
        return room;
    }
    // Adds the oldest frames to out and takes them away.
    void mixInto(float* out, std::size_t frames)
    {
        const std::size_t n = std::min(frames * kChannels, count_);
        for (std::size_t i = 0; i < n; ++i)
            out[i] += samples_[(head_ + i) % samples_.size()];
        head_ = (head_ + n) % samples_.size();
        count_ -= n;
    }

private:
    std::vector<float> samples_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;
};

} // namespace

struct PulseApplicationSource::Feed
{
    pulse::StreamPtr stream;
    FrameFifo fifo;
    pulse::Clock::time_point lastData{};
    bool delivered = false;
    bool failed = false;
    bool overran = false;
};

PulseApplicationSource::PulseApplicationSource() = default;

PulseApplicationSource::~PulseApplicationSource()
{
    stop();
}

AudioInputFormat PulseApplicationSource::format() const
{
    const pa_sample_spec spec = pulse::recordingSpec();
    return {int(spec.rate), spec.channels, 32, true, false};
}

AudioSource::OpenError PulseApplicationSource::failed(OpenError error, int fallback)
{
    error_ = pa_strerror(connection_.errorCode(fallback));
    return error;
}

AudioSource::OpenError PulseApplicationSource::open(const AudioSourceChoice& choice)
{
    stop();
    error_.clear();
    program_ = choice.name;
    saidSilent_ = false;
    const auto deadline = pulse::Clock::now() + kOpenTimeout;
    if (!connection_.start("Torvane"))
        return failed(OpenError::Runtime, PA_ERR_INTERNAL);
    pulse::MainloopLock lock(connection_.loop());
    if (!connection_.waitReady(deadline))
        return failed(OpenError::NoServer, PA_ERR_TIMEOUT);
    pa_context* context = connection_.context();
    streams_ = std::make_unique<pulse::ProgramStreams>(
        context, program_, [this](uint32_t input, uint32_t monitor) { add(input, monitor); },
        [this](uint32_t input) { remove(input); });
    pa_context_set_subscribe_callback(context, onEvent, this);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT);
    if (!connection_.waitFor(pa_context_subscribe(context, mask, nullptr, nullptr), deadline) ||
        !connection_.waitFor(streams_->start(), deadline))
        return failed(OpenError::NoDevice, PA_ERR_TIMEOUT);
    if (streams_->count() == 0) {
        saidSilent_ = true;
        qInfo().nospace() << "The program " << program_.c_str()
                          << " plays no sound now; the recording has silence until it does.";
    } else {
        qInfo().nospace() << "Recording the sound of the program " << program_.c_str() << " ("
                          << streams_->count() << " playback streams).";
    }
    return OpenError::None;
}

void PulseApplicationSource::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                                     void* self)
{
    auto* source = static_cast<PulseApplicationSource*>(self);
    if (source->streams_)
        source->streams_->onEvent(type, index);
}

void PulseApplicationSource::add(std::uint32_t sinkInput, std::uint32_t monitorSource)
{
    auto feed = std::make_unique<Feed>();
    const pa_sample_spec spec = pulse::recordingSpec();
    feed->stream.reset(pa_stream_new(connection_.context(), "Torvane recording", &spec, nullptr));
    if (!feed->stream)
        return;
    pa_stream* stream = feed->stream.get();
    if (pa_stream_set_monitor_stream(stream, sinkInput) < 0)
        return;
    pa_stream_set_read_callback(stream, onRead, feed.get());
    pa_stream_set_state_callback(stream, onStreamState, feed.get());
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &spec));
    const std::string device = std::to_string(monitorSource);
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, device.c_str(), &attr, flags) < 0)
        return;
    feeds_[sinkInput] = std::move(feed);
    if (saidSilent_)
        qInfo().nospace() << "The program " << program_.c_str() << " plays sound again.";
    saidSilent_ = false;
}

void PulseApplicationSource::remove(std::uint32_t sinkInput)
{
    feeds_.erase(sinkInput);
    if (streams_->count() == 0 && !saidSilent_) {
        saidSilent_ = true;
        qInfo().nospace() << "The program " << program_.c_str()
                          << " stopped playing sound; the recording goes on with silence.";
    }
}

void PulseApplicationSource::onRead(pa_stream* stream, size_t, void* userdata)
{
    auto* feed = static_cast<Feed*>(userdata);
    for (int chunk = 0; chunk < kMaxChunksPerWakeup; ++chunk) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            return;
        // A null pointer is a hole in the stream: silence of that length.
        const bool kept =
            feed->fifo.push(static_cast<const float*>(data), bytes / (sizeof(float) * kChannels));
        if (!kept && !std::exchange(feed->overran, true))
            qWarning() << "Sound of the recorded program was dropped: the capture thread read too "
                          "late.";
        feed->lastData = pulse::Clock::now();
        feed->delivered = true;
        pa_stream_drop(stream);
    }
}

void PulseApplicationSource::onStreamState(pa_stream* stream, void* userdata)
{
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
        static_cast<Feed*>(userdata)->failed = true;
}

std::size_t PulseApplicationSource::mixable()
{
    // A stream whose recording failed is let go once its sound is out; its next change in
    // the server brings it back.
    for (auto it = feeds_.begin(); it != feeds_.end();) {
        if (it->second->failed && it->second->fifo.frames() == 0) {
            streams_->forget(it->first);
            it = feeds_.erase(it);
        } else {
            ++it;
        }
    }
    // Streams of one program play in step: only what every playing stream has is mixed, so
    // none runs ahead of another. Once none plays, the rest comes out.
    const auto now = pulse::Clock::now();
    std::size_t least = SIZE_MAX, most = 0;
    for (const auto& [sinkInput, feed] : feeds_) {
        most = std::max(most, feed->fifo.frames());
        if (feed->delivered && now - feed->lastData < kQuietAfter)
            least = std::min(least, feed->fifo.frames());
    }
    return least != SIZE_MAX ? least : most;
}

int PulseApplicationSource::packetSize()
{
    if (!connection_.loop())
        return -1;
    pulse::MainloopLock lock(connection_.loop());
    if (!connection_.ready()) {
        error_ = pa_strerror(connection_.errorCode(PA_ERR_CONNECTIONTERMINATED));
        return -1;
    }
    return static_cast<int>(mixable());
}

bool PulseApplicationSource::read(AudioPacket& packet)
{
    packet.data.clear();
    packet.frames = 0;
    packet.silent = false;
    if (!connection_.loop())
        return false;
    pulse::MainloopLock lock(connection_.loop());
    if (!connection_.ready()) {
        error_ = pa_strerror(connection_.errorCode(PA_ERR_CONNECTIONTERMINATED));
        return false;
    }
    const std::size_t frames = mixable();
    if (frames == 0)
        return true;
    std::vector<float> mix(frames * kChannels, 0.0f);
    for (auto& [sinkInput, feed] : feeds_)
        feed->fifo.mixInto(mix.data(), frames);
    packet.frames = static_cast<int>(frames);
    packet.data.resize(mix.size() * sizeof(float));
    std::memcpy(packet.data.data(), mix.data(), packet.data.size());
    return true;
}

void PulseApplicationSource::stop()
{
    if (connection_.loop()) {
        pulse::MainloopLock lock(connection_.loop());
        if (connection_.context())
            pa_context_set_subscribe_callback(connection_.context(), nullptr, nullptr);
        feeds_.clear();
        streams_.reset();
    }
    connection_.close();
}
