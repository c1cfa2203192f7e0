#pragma once

#include "platform/AudioSource.h"

#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/samplefmt.h>
}

// The arithmetic of audio capture, free of devices and threads so it can be tested on its own.
namespace audioconvert {

// Sample format and frame size the capture thread produces for an audio encoder.
struct TargetFormat
{
    AVSampleFormat format = AV_SAMPLE_FMT_S16;
    int frameSize = 1024;
};

// AAC and MP3 take planar float, everything else interleaved 16-bit.
TargetFormat targetFor(AVCodecID codec);

// "FLTP", "S16" or "OTHER", for the log.
const char* formatName(AVSampleFormat format);

// Converts n interleaved input samples (per channel) into two-channel output starting at sample
// offset. planes[0]/planes[1] are the left/right planes for FLTP; planes[0] holds the interleaved
// pairs for S16. Input channel 0 is left, channel 1 right (left again for mono), further channels
// are dropped. Inputs other than 32-bit float or 16-bit PCM give silence.
void convert(const std::uint8_t* input, const AudioInputFormat& inputFormat, int n,
             AVSampleFormat target, std::uint8_t* const planes[2], int offset);

// Writes n samples of planar float stereo into two-channel output starting at sample offset,
// as convert() does.
void convertPlanarFloat(const float* left, const float* right, int n, AVSampleFormat target,
                        std::uint8_t* const planes[2], int offset);

// Writes n samples of silence into both channels from sample offset.
void writeSilence(AVSampleFormat target, std::uint8_t* const planes[2], int offset, int n);

// Samples the stream should hold by now on the capture clock (integer arithmetic, truncating).
std::int64_t expectedSamples(std::int64_t nowTicks, std::int64_t startTicks,
                             std::int64_t ticksPerSecond, int rate);

// Silence to insert when the device has been quiet: the lag behind the clock once it reaches
// max(5 frames, 100 ms, minimumLag), capped at 2 s; otherwise 0.
std::int64_t silenceToInsert(std::int64_t expected, std::int64_t samplesHeld, int rate,
                             int frameSize, std::int64_t minimumLag = 0);

} // namespace audioconvert
