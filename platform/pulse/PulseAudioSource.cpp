#include "PulseAudioSource.h"

#include "PulseApplicationSource.h"

#include <QDebug>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A missing or hung server must not freeze a recording start.
constexpr auto kTimeout = std::chrono::seconds(5);
constexpr pa_usec_t kFragmentUsec = 20000;
constexpr size_t kMaxPacketFrames = 48000 * 10;
const pa_sample_spec kSpec = pulse::recordingSpec();

void onOverflow(pa_stream*, void*)
{
    qWarning() << "The sound server dropped recorded sound: the capture thread read too late.";
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
        names->defaultSink = pulse::boundedText(info->default_sink_name);
        names->defaultSource = pulse::boundedText(info->default_source_name);
    }
    names->done = true;
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

AudioInputFormat PulseAudioSource::format() const
{
    const pa_sample_spec spec = pulse::recordingSpec();
    return {int(spec.rate), spec.channels, 32, true, false};
}

std::string PulseAudioSource::errorText() const
{
    return program_ ? program_->errorText() : error_;
}

AudioSource::OpenError PulseAudioSource::failed(OpenError error, int fallback)
{
    error_ = pa_strerror(connection_.errorCode(fallback));
    return error;
}

void PulseAudioSource::keepStreamError()
{
    error_ = pa_strerror(connection_.errorCode(PA_ERR_BADSTATE));
}

AudioSource::OpenError PulseAudioSource::findDevice(const AudioSourceChoice& choice,
                                                    pulse::Clock::time_point deadline)
{
    pa_context* context = connection_.context();
    ServerNames names;
    if (!connection_.waitFor(pa_context_get_server_info(context, onServerInfo, &names), deadline) ||
        !names.done)
        return failed(OpenError::NoDevice, PA_ERR_TIMEOUT);
    std::vector<pulse::SourceEntry> sources;
    if (!connection_.waitFor(
            pa_context_get_source_info_list(context, pulse::collectSource, &sources), deadline))
        return failed(OpenError::NoDevice, PA_ERR_TIMEOUT);
    device_.clear();
    if (choice.kind != AudioSourceChoice::Kind::Microphone) {
        // The monitor of the default output is what the user hears.
        if (!names.defaultSink.empty())
            device_ = names.defaultSink + ".monitor";
    } else if (!choice.name.empty()) {
        device_ = pulse::pickMicrophone(sources, choice.name);
        if (device_.empty())
            qInfo().nospace() << "The input device " << choice.name.c_str()
                              << " is missing; recording from the default input instead.";
    }
    if (device_.empty() && choice.kind == AudioSourceChoice::Kind::Microphone)
        device_ = names.defaultSource;
    const bool exists = std::any_of(sources.begin(), sources.end(),
                                    [&](const auto& source) { return source.name == device_; });
    if (device_.empty() || !exists)
        return failed(OpenError::NoDevice, PA_ERR_NOENTITY);
    return OpenError::None;
}

AudioSource::OpenError PulseAudioSource::open(const AudioSourceChoice& choice)
{
    stop();
    error_.clear();
    if (choice.kind == AudioSourceChoice::Kind::Application) {
        program_ = std::make_unique<PulseApplicationSource>();
        return program_->open(choice);
    }
    const auto deadline = pulse::Clock::now() + kTimeout;
    if (!connection_.start("Torvane"))
        return failed(OpenError::Runtime, PA_ERR_INTERNAL);
    pulse::MainloopLock lock(connection_.loop());
    if (!connection_.waitReady(deadline))
        return failed(OpenError::NoServer, PA_ERR_TIMEOUT);
    if (const OpenError error = findDevice(choice, deadline); error != OpenError::None)
        return error;

    // The server converts to the one format every source delivers.
    const pa_sample_spec spec = pulse::recordingSpec();
    stream_.reset(pa_stream_new(connection_.context(), "Torvane recording", &spec, nullptr));
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
    const bool ready = pulse::waitForStream(connection_, stream_.get(), deadline);
    if (!ready)
        return failed(OpenError::StreamStart, PA_ERR_TIMEOUT);
    if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_.get()))
        qInfo().nospace() << "Sound stream on " << device_.c_str() << ": fragments of "
                          << pa_bytes_to_usec(granted->fragsize, &spec) / 1000 << " ms, buffer of "
                          << pa_bytes_to_usec(granted->maxlength, &spec) / 1000 << " ms";
    return OpenError::None;
}

int PulseAudioSource::packetSize()
{
    if (program_)
        return program_->packetSize();
    if (!stream_)
        return -1;
    pulse::MainloopLock lock(connection_.loop());
    const size_t bytes = pa_stream_get_state(stream_.get()) == PA_STREAM_READY
                             ? pa_stream_readable_size(stream_.get())
                             : static_cast<size_t>(-1);
    if (bytes == static_cast<size_t>(-1)) {
        keepStreamError();
        return -1;
    }
    return static_cast<int>(std::min(bytes / pa_frame_size(&kSpec), kMaxPacketFrames));
}

bool PulseAudioSource::read(AudioPacket& packet)
{
    if (program_)
        return program_->read(packet);
    packet.data.clear();
    packet.frames = 0;
    packet.silent = false;
    if (!stream_)
        return false;
    pulse::MainloopLock lock(connection_.loop());
    const size_t frameBytes = pa_frame_size(&kSpec);
    // Everything waiting, up to a hole: a hole is a packet of its own. The length of a hole is
    // the server's word, so no more than a few seconds are taken from it.
    while (size_t(packet.frames) < kMaxPacketFrames) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream_.get(), &data, &bytes) < 0) {
            keepStreamError();
            return false;
        }
        if (bytes == 0 || (!data && packet.frames > 0))
            break; // nothing more waiting, or a hole for the next call
        const size_t frames =
            std::min(bytes / frameBytes, kMaxPacketFrames - size_t(packet.frames));
        packet.frames += static_cast<int>(frames);
        if (data) {
            const auto* begin = static_cast<const std::uint8_t*>(data);
            packet.data.insert(packet.data.end(), begin, begin + frames * frameBytes);
        }
        pa_stream_drop(stream_.get());
        if (!data) {
            packet.silent = true;
            break;
        }
    }
    return true;
}

void PulseAudioSource::stop()
{
    program_.reset();
    if (connection_.loop()) {
        pulse::MainloopLock lock(connection_.loop());
        stream_.reset();
    }
    connection_.close();
}
