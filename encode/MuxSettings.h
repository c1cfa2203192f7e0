#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

extern "C" {
#include <libavcodec/codec_id.h>
}

// The encoding choices of one recording, handed to the mux thread when it is initialised and
// fixed from then on.
struct MuxSettings
{
    AVCodecID videoCodecId = AV_CODEC_ID_NONE; // none: "VideoFormat" was not recognised
    AVCodecID audioCodecId = AV_CODEC_ID_NONE; // none: "AudioFormat" was not recognised
    int audioBitrateKbps = 128;
    int videoBitrateKbps = 6000;
    int fps = 15;
    bool autoBitrate = false;
    QString quality;
    bool useHardwareEncoder = true;
    QString outputPath;
    bool withAudio = false;
    // With two or more names, one sound track per name (the name written into the file), in the
    // order of FrameQueueItem::track, where the container keeps tracks apart (audioTrackCount());
    // otherwise one unnamed track.
    QStringList audioTrackNames;
    // Size of the frames the session delivers; the encoder rounds it up to even numbers.
    int outputWidth = 0;
    int outputHeight = 0;
    // Set when the pictures arrive already compressed in this codec at the output size, with
    // the codec's set-up (for H.264 an avcC record): their packets go into the file as they
    // are, and no video encoder runs.
    AVCodecID copiedVideoCodec = AV_CODEC_ID_NONE;
    QByteArray copiedVideoConfig;

    // The codec of a "VideoFormat" value and of an "AudioFormat" value; none when not recognised.
    static AVCodecID videoCodecFor(const QString& videoFormat);
    static AVCodecID audioCodecFor(const QString& audioFormat);

    // The "AudioFormat" values the container of a "VideoFormat" value takes, in the order the
    // settings list them.
    static QStringList audioFormatsFor(const QString& videoFormat);
    // Whether the container of a "VideoFormat" value keeps several sound tracks apart; the
    // others get one mixed track.
    static bool keepsSeparateAudioTracks(const QString& videoFormat);
    // The sound tracks the file gets: one per name (at most kMaxAudioTracks) where the container
    // keeps them apart, else one; none without sound.
    int audioTrackCount() const;
    static constexpr int kMaxAudioTracks = 4;
    // The "AudioSett"/"Bitrate" values (kbit/s) offered for an "AudioFormat" value.
    static QStringList audioBitratesFor(const QString& audioFormat);
};
