#pragma once

#include "platform/AudioSource.h"

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>

// AudioSource over the PulseAudio asynchronous API (also served by PipeWire). A threaded
// mainloop runs the connection; every call here takes the mainloop lock, so the object may be
// used from one thread while libpulse runs its own.
class PulseAudioSource : public AudioSource
{
public:
    PulseAudioSource() = default;
    ~PulseAudioSource() override;
    PulseAudioSource(const PulseAudioSource&) = delete;
    PulseAudioSource& operator=(const PulseAudioSource&) = delete;

    OpenError open(const AudioSourceChoice& choice) override;
    AudioInputFormat format() const override { return format_; }
    int packetSize() override;
    bool read(AudioPacket& packet) override;
    void stop() override;
    std::string errorText() const override { return error_; }
    bool deliversContinuously() const override { return true; }

    // Name of the device that open() recorded from, e.g. "rec.monitor".
    std::string deviceName() const { return device_; }

private:
    struct MainloopDeleter
    {
        void operator()(pa_threaded_mainloop* loop) const { pa_threaded_mainloop_free(loop); }
    };
    struct ContextDeleter
    {
        void operator()(pa_context* context) const
        {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
    };
    struct StreamDeleter
    {
        void operator()(pa_stream* stream) const
        {
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
    };
    struct OperationDeleter
    {
        void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
    };

    // Waits (lock held) until the operation finishes or the timeout passes.
    bool waitFor(pa_operation* operation);
    bool waitForContextReady();
    bool waitForStreamReady();
    // Keeps the server's reason for a failure (fallback when it has none) and returns error.
    OpenError failed(OpenError error, int fallback);
    void keepStreamError();

    std::unique_ptr<pa_threaded_mainloop, MainloopDeleter> mainloop_;
    std::unique_ptr<pa_context, ContextDeleter> context_;
    std::unique_ptr<pa_stream, StreamDeleter> stream_;
    bool running_ = false;
    AudioInputFormat format_;
    int frameBytes_ = 0;
    std::string device_;
    std::string error_;
};
