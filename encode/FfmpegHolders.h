#pragma once

#include <QString>

#include <cstddef>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

// One owner per FFmpeg object: each holder frees its object with the matching FFmpeg function,
// so error paths only have to return.
namespace ffmpeg {

struct OutputFormatContextDeleter
{
    // Closes the file opened with avio_open (if any) before freeing the context and its streams.
    void operator()(AVFormatContext* context) const
    {
        if (context->pb && context->oformat && !(context->oformat->flags & AVFMT_NOFILE))
            avio_closep(&context->pb);
        avformat_free_context(context);
    }
};

struct InputFormatContextDeleter
{
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

struct CodecContextDeleter
{
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};

struct FrameDeleter
{
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

struct PacketDeleter
{
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

struct SwsContextDeleter
{
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

struct SwrContextDeleter
{
    void operator()(SwrContext* context) const { swr_free(&context); }
};

struct AudioFifoDeleter
{
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};

using OutputFormatContextPtr = std::unique_ptr<AVFormatContext, OutputFormatContextDeleter>;
using InputFormatContextPtr = std::unique_ptr<AVFormatContext, InputFormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

// AVDictionary is filled through an AVDictionary** out-parameter, so it gets a small holder of
// its own instead of a unique_ptr.
class Dictionary
{
public:
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&dictionary_); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;

    AVDictionary** address() { return &dictionary_; }
    AVDictionary* get() const { return dictionary_; }

private:
    AVDictionary* dictionary_ = nullptr;
};

// An owned AVChannelLayout (a custom-order layout holds a heap-allocated map).
class ChannelLayout
{
public:
    ChannelLayout() = default;
    ~ChannelLayout() { av_channel_layout_uninit(&layout_); }
    ChannelLayout(const ChannelLayout&) = delete;
    ChannelLayout& operator=(const ChannelLayout&) = delete;

    // Returns 0 or a negative FFmpeg error code; on failure the holder is empty.
    int copyFrom(const AVChannelLayout& source)
    {
        return av_channel_layout_copy(&layout_, &source);
    }
    void reset() { av_channel_layout_uninit(&layout_); }

    const AVChannelLayout& get() const { return layout_; }
    int channels() const { return layout_.nb_channels; }

private:
    AVChannelLayout layout_{};
};

// The text of an FFmpeg error code, from a buffer of the given size.
inline QString errorText(int errorCode, std::size_t bufferSize = 64)
{
    // av_strerror writes a generic "Error number N occurred" for codes it does not know.
    std::vector<char> buffer(bufferSize, '\0');
    av_strerror(errorCode, buffer.data(), buffer.size());
    return QString::fromUtf8(buffer.data());
}

} // namespace ffmpeg
