#include "MuxSettings.h"

#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"

#include <cmath>

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

MuxSettings MuxSettings::fromSettingsStore()
{
    using namespace settings;
    SettingsStore& store = SettingsStore::instance();
    MuxSettings result;

    // "29.97" records at 29 fps; a rate below one frame a second would divide by zero later.
    const double fpsValue = store.value(kVideoGroup, kFps, 15).toDouble();
    result.fps = static_cast<int>(std::trunc(fpsValue));
    if (result.fps < 1)
        result.fps = 15;

    result.audioBitrateKbps = store.value(kAudioGroup, kAudioBitrate, 96000).toInt();
    result.audioCodecId = audioCodecFor(store.value(kAudioGroup, kAudioFormat, "AAC").toString());

    const QVariant videoBitrate = store.value(kVideoGroup, kVideoBitrate, 400000);
    result.autoBitrate = videoBitrate.toString() == kBitrateAuto;
    if (!result.autoBitrate)
        result.videoBitrateKbps = videoBitrate.toInt();

    result.videoCodecId =
        videoCodecFor(store.value(kVideoGroup, kVideoFormat, kFormatMp4).toString());
    result.quality = store.value(kVideoGroup, kQuality, kQualityHigh).toString();
    result.useHardwareEncoder = store.value(kVideoGroup, kUseHardwareEncoder, true).toBool();
    return result;
}
