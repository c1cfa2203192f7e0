#include "MuxSettings.h"

#include "base/SettingsKeys.h"

#include <algorithm>

AVCodecID MuxSettings::videoCodecFor(const QString& format)
{
    if (format == settings::kFormatMp4)
        return AV_CODEC_ID_H264;
    if (format == settings::kFormatMpeg2)
        return AV_CODEC_ID_MPEG2VIDEO;
    if (format == settings::kFormatAvi)
        return AV_CODEC_ID_MPEG4;
    if (format == settings::kFormatWmv)
        return AV_CODEC_ID_WMV2;
    return AV_CODEC_ID_NONE;
}

AVCodecID MuxSettings::audioCodecFor(const QString& format)
{
    if (format == "AAC")
        return AV_CODEC_ID_AAC;
    if (format == "MP3")
        return AV_CODEC_ID_MP3;
    if (format == "FLAC")
        return AV_CODEC_ID_FLAC;
    return AV_CODEC_ID_NONE;
}

QStringList MuxSettings::audioFormatsFor(const QString& videoFormat)
{
    // The MPEG program stream carries only MPEG audio, AC-3 and PCM. FLAC has a published mapping
    // into MP4 only: AVI and ASF files with it do not decode cleanly.
    if (videoFormat == QLatin1String(settings::kFormatMpeg2))
        return {QStringLiteral("MP3")};
    if (videoFormat == QLatin1String(settings::kFormatMp4))
        return {QStringLiteral("MP3"), QStringLiteral("AAC"), QStringLiteral("FLAC")};
    return {QStringLiteral("MP3"), QStringLiteral("AAC")};
}

bool MuxSettings::keepsSeparateAudioTracks(const QString& videoFormat)
{
    return videoFormat == QLatin1String(settings::kFormatMp4);
}

int MuxSettings::audioTrackCount() const
{
    if (!withAudio)
        return 0;
    // H.264 is written only into MP4, the one container here whose players offer a choice of
    // sound tracks.
    if (audioTrackNames.size() >= 2 && videoCodecId == AV_CODEC_ID_H264)
        return int(std::min<qsizetype>(audioTrackNames.size(), kMaxAudioTracks));
    return 1;
}

QStringList MuxSettings::audioBitratesFor(const QString& audioFormat)
{
    if (audioFormat == QLatin1String("MP3"))
        return {"64", "128", "192", "256", "320"};
    if (audioFormat == QLatin1String("FLAC"))
        return {"500"};
    return {"128", "192", "256", "320"};
}
