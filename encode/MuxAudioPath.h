#pragma once

#include "FfmpegHolders.h"
#include "MuxEncoderSetup.h"
#include "MuxPacketWriter.h"
#include "media/FrameQueueItem.h"

#include <cstdint>

// One sound track of the mux loop: resamples the captured frames to the encoder's 48 kHz format,
// re-blocks them through the FIFO into frames of the encoder's frame size, encodes them with a
// running sample count as pts and writes the packets. Used by the mux thread only.
class MuxAudioPath
{
public:
    using MessageSink = MuxEncoderSetup::MessageSink;

    MuxAudioPath(MuxAudioTrack& track, MuxPacketWriter& writer, MessageSink sink);

    void handleItem(const FrameQueueItem& item);

    // After the last item: the resampler's delay, the FIFO remainder (a last, shorter frame)
    // and the encoder's own delay.
    void flush();

    // The sample count at the encoder rate handed to the encoder so far.
    std::int64_t samplesEncoded() const { return sampleCounter_; }

private:
    // The log and emitted texts of one encoding path (the loop or the flush); an empty emitted
    // text means the error is logged only.
    struct Texts
    {
        const char* notOpen;
        const char* sendLog;
        const char* sendEmitted;
        const char* receiveLog;
        const char* receiveEmitted;
    };
    static const Texts kLoopTexts;
    static const Texts kFlushTexts;
    static const Texts kDrainTexts;

    bool updateResampler(const AVFrame& input);
    bool prepareResampledFrame(int samples);
    // The output samples inputSamples at the input rate take; -1 beyond a sane bound.
    int resampledCapacity(std::int64_t inputSamples) const;
    const AVFrame* resample(const AVFrame& input);
    bool writeToFifo(const AVFrame& samples);
    bool ensureBlockFrame();
    bool encodeBlock(int samples, const Texts& texts);
    bool sendAndWrite(const AVFrame* frame, const Texts& texts);
    void writePackets(const Texts& texts);
    int blockSize() const;
    void report(const QString& logText, const QString& emittedText);

    MuxAudioTrack& track_;
    MuxPacketWriter& writer_;
    AVCodecContext* context_ = nullptr;
    MessageSink sink_;

    // The input the resampler was built for; a frame that differs gets a new one.
    bool hasInput_ = false;
    int inputRate_ = 0;
    int inputFormat_ = AV_SAMPLE_FMT_NONE;
    ffmpeg::ChannelLayout inputLayout_;
    ffmpeg::SwrContextPtr resampler_; // absent while the input already matches the encoder
    int resampledCapacity_ = 0;

    ffmpeg::FramePtr blockFrame_;
    ffmpeg::PacketPtr packet_;
    std::int64_t sampleCounter_ = 0;
    std::int32_t lastSequence_ = 0;
};
