#pragma once

#include "AudioDriftCorrector.h"
#include "platform/AudioSource.h"

#include <cstdint>
#include <vector>

// One sound source's samples as planar float stereo, kept on the recording clock: a device that
// runs fast or slow is corrected, a device that delivers nothing is filled with silence. Two
// timelines of the same rate can then be mixed sample by sample, or written to tracks of their
// own, and stay in step with each other and with the pictures. Used by one thread.
class AudioTimeline
{
public:
    // lateLimit: for a source that hands out every moment, how far (in samples) it may fall
    // behind the clock before silence stands in for it; 0 for sources that go quiet.
    AudioTimeline(int rate, std::int64_t lateLimit);

    // Appends a packet read when the clock expected `expected` samples since the start.
    void add(const AudioPacket& packet, const AudioInputFormat& format, std::int64_t expected);
    // For a source with nothing waiting: silence up to the clock once it lags enough (frameSize
    // sets the least lag worth filling). True when silence was added.
    bool fillToClock(std::int64_t expected, int frameSize);
    // Silence up to the clock, however little is missing: the end of a recording, so the sound
    // lasts as long as the pictures.
    void padTo(std::int64_t expected);
    // After a pause the device's lead is measured anew.
    void restart();

    // Samples waiting to be taken.
    int available() const { return int(left_.size() - head_); }
    // Takes n samples (n <= available()) and adds them into the planes, or leaves the planes
    // as they are when muted.
    void takeInto(float* left, float* right, int n, bool muted);
    // Samples added since the start (taken or not): where this source is on its clock.
    std::int64_t position() const { return position_; }
    bool delivered() const { return delivered_; }
    // In a mix, more than this many samples waiting means the other source stalls; the oldest
    // go so memory stays bounded. 0: no bound (the only source is taken as it comes).
    void setMostHeld(std::int64_t samples) { mostHeld_ = samples; }

private:
    void append(const std::uint8_t* data, const AudioInputFormat& format, int n);
    void compact();

    int rate_;
    std::int64_t lateLimit_;
    AudioDriftCorrector drift_;
    std::vector<float> left_;
    std::vector<float> right_;
    std::size_t head_ = 0; // samples before this were taken
    std::int64_t position_ = 0;
    bool delivered_ = false;
    std::int64_t mostHeld_ = 0;
};

// Keeps mixed sound under a ceiling without the hard edges of clipping: the gain drops at once
// to what the loudest sample allows and comes back over some 50 ms.
class AudioLimiter
{
public:
    explicit AudioLimiter(int rate, float ceiling = 0.89f);
    void process(float* left, float* right, int n);

private:
    float ceiling_;
    float release_;
    float gain_ = 1.0f;
};
