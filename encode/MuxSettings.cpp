#include "MuxSettings.h"

#include "base/FrameRateSetting.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"

#include <QDebug>

namespace {

AVCodecID videoCodecFor(const QString& format)
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

AVCodecID audioCodecFor(const QString& format)
{
    if (format == "AAC")
        return AV_CODEC_ID_AAC;
    if (format == "MP3")
        return AV_CODEC_ID_MP3;
    if (format == "FLAC")
        return AV_CODEC_ID_FLAC;
    return AV_CODEC_ID_NONE;
}

} // namespace

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

QStringList MuxSettings::audioBitratesFor(const QString& audioFormat)
{
    if (audioFormat == QLatin1String("MP3"))
        return {"64", "128", "192", "256", "320"};
    if (audioFormat == QLatin1String("FLAC"))
        return {"500"};
    return {"128", "192", "256", "320"};
}

MuxSettings MuxSettings::fromSettingsStore()
{
    using namespace settings;
    SettingsStore& store = SettingsStore::instance();
    MuxSettings result;

    result.fps = frameRateFromSetting(store.value(kVideoGroup, kFps));

    const QString videoFormat = store.value(kVideoGroup, kVideoFormat, kFormatMp4).toString();
    QString audioFormat = store.value(kAudioGroup, kAudioFormat, "AAC").toString();
    QString audioBitrate = store.value(kAudioGroup, kAudioBitrate, 96000).toString();
    const QStringList taken = audioFormatsFor(videoFormat);
    // An unknown name stays as it is, to fail with its own message.
    if (audioCodecFor(audioFormat) != AV_CODEC_ID_NONE && !taken.contains(audioFormat)) {
        const QString stored = audioFormat;
        audioFormat = taken.first();
        if (!audioBitratesFor(audioFormat).contains(audioBitrate))
            audioBitrate = QStringLiteral("128");
        qWarning().noquote() << QStringLiteral("%1 files cannot hold %2 sound: recording %3 at %4 "
                                               "kbit/s instead.")
                                    .arg(videoFormat, stored, audioFormat, audioBitrate);
    }
    result.audioBitrateKbps = audioBitrate.toInt();
    result.audioCodecId = audioCodecFor(audioFormat);

    const QVariant videoBitrate = store.value(kVideoGroup, kVideoBitrate, 400000);
    result.autoBitrate = videoBitrate.toString() == kBitrateAuto;
    if (!result.autoBitrate)
        result.videoBitrateKbps = videoBitrate.toInt();

    result.videoCodecId = videoCodecFor(videoFormat);
    result.quality = store.value(kVideoGroup, kQuality, kQualityHigh).toString();
    result.useHardwareEncoder = store.value(kVideoGroup, kUseHardwareEncoder, true).toBool();
    return result;
}
