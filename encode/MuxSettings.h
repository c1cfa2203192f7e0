#pragma once

#include <QString>
#include <QStringList>

extern "C" {
#include <libavcodec/codec_id.h>
}

// The encoding choices of one recording, read from the settings when the mux thread is
// initialised and fixed from then on.
struct MuxSettings
{
    AVCodecID videoCodecId = AV_CODEC_ID_NONE; // none: "VideoFormat" was not recognised
    AVCodecID audioCodecId = AV_CODEC_ID_NONE; // none: "AudioFormat" was not recognised
    int audioBitrateKbps = 96000;
    int videoBitrateKbps = 400000;
    int fps = 15;
    bool autoBitrate = false;
    QString quality;
    bool useHardwareEncoder = true;
    QString outputPath;
    bool withAudio = false;
    // Size of the frames the session delivers; the encoder rounds it up to even numbers.
    int outputWidth = 0;
    int outputHeight = 0;

    // Reads the "VideoSett" and "AudioSett" encoder keys through the SettingsStore. A sound format
    // the video format's container does not take is replaced by the first one it takes, with a
    // bitrate that format has, and the run log says so.
    static MuxSettings fromSettingsStore();

    // The "AudioFormat" values the container of a "VideoFormat" value takes, in the order the
    // settings list them.
    static QStringList audioFormatsFor(const QString& videoFormat);
    // The "AudioSett"/"Bitrate" values (kbit/s) offered for an "AudioFormat" value.
    static QStringList audioBitratesFor(const QString& audioFormat);
};
