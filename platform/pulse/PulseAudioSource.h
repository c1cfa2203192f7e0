#pragma once

#include "PulseConnection.h"
#include "platform/AudioSource.h"

#include <memory>
#include <string>

// AudioSource over the PulseAudio asynchronous API (also served by PipeWire): the monitor of the
// default output or an input device; one program's sound is handed to PulseApplicationSource.
// A threaded mainloop runs the connection; every call here takes the mainloop lock, so the
// object may be used from one thread while libpulse runs its own.
class PulseAudioSource : public AudioSource
{
public:
    PulseAudioSource() = default;
    ~PulseAudioSource() override;
    PulseAudioSource(const PulseAudioSource&) = delete;
    PulseAudioSource& operator=(const PulseAudioSource&) = delete;

    OpenError open(const AudioSourceChoice& choice) override;
    AudioInputFormat format() const override;
    int packetSize() override;
    bool read(AudioPacket& packet) override;
    void stop() override;
    std::string errorText() const override;
    bool deliversContinuously() const override { return !program_; }

    // Name of the device that open() recorded from, e.g. "rec.monitor".
    std::string deviceName() const { return device_; }

private:
    // The device for the choice, empty with error_ set when there is none (lock held).
    OpenError findDevice(const AudioSourceChoice& choice, pulse::Clock::time_point deadline);
    OpenError failed(OpenError error, int fallback);
    void keepStreamError();

    pulse::Connection connection_;
    pulse::StreamPtr stream_;
    std::unique_ptr<AudioSource> program_; // when one program's sound is recorded
    std::string device_;
    std::string error_;
};
