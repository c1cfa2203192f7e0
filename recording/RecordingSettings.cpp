#include "RecordingSettings.h"

#include "base/FrameRateSetting.h"
#include "base/SettingsKeys.h"
#include "base/SettingsStore.h"
#include "capture/OutputResolution.h"

#include <QDebug>

namespace {

QString text(const QVariant& stored, const QString& fallback)
{
    return stored.isValid() ? stored.toString() : fallback;
}

int positive(const QVariant& stored, int fallback)
{
    bool ok = false;
    const int value = stored.toInt(&ok);
    return ok && value > 0 ? value : fallback;
}

// A sound format the video format's container does not take is replaced by the first one it
// takes, with a bitrate that format has, and the run log says so. An unknown name stays as it
// is, to fail with its own message.
MuxSettings readMux(const RecordingSettings::Lookup& stored, const QString& videoFormat)
{
    using namespace settings;
    MuxSettings result;
    result.fps = frameRateFromSetting(stored(kVideoGroup, kFps));
    QString audioFormat = text(stored(kAudioGroup, kAudioFormat), QStringLiteral("AAC"));
    QString audioBitrate = stored(kAudioGroup, kAudioBitrate).toString();
    const QStringList taken = MuxSettings::audioFormatsFor(videoFormat);
    if (MuxSettings::audioCodecFor(audioFormat) != AV_CODEC_ID_NONE &&
        !taken.contains(audioFormat)) {
        const QString wanted = audioFormat;
        audioFormat = taken.first();
        if (!MuxSettings::audioBitratesFor(audioFormat).contains(audioBitrate))
            audioBitrate = QStringLiteral("128");
        qWarning().noquote() << QStringLiteral("%1 files cannot hold %2 sound: recording %3 at %4 "
                                               "kbit/s instead.")
                                    .arg(videoFormat, wanted, audioFormat, audioBitrate);
    }
    result.audioBitrateKbps = positive(audioBitrate, result.audioBitrateKbps);
    result.audioCodecId = MuxSettings::audioCodecFor(audioFormat);

    const QVariant videoBitrate = stored(kVideoGroup, kVideoBitrate);
    result.autoBitrate = videoBitrate.toString() == kBitrateAuto;
    if (!result.autoBitrate)
        result.videoBitrateKbps = positive(videoBitrate, result.videoBitrateKbps);
    result.videoCodecId = MuxSettings::videoCodecFor(videoFormat);
    result.quality = text(stored(kVideoGroup, kQuality), kQualityHigh);
    const QVariant hardware = stored(kVideoGroup, kUseHardwareEncoder);
    result.useHardwareEncoder = !hardware.isValid() || hardware.toBool();
    return result;
}

QString readFolder(const RecordingSettings::Lookup& stored)
{
    const QString folder = stored(settings::kOutputGroup, settings::kRecordingPath).toString();
    return folder.isEmpty() ? RecordingSettings().folder : folder;
}

RecordingSettings::Lookup lookupIn(SettingsStore& store)
{
    return [&store](const QString& group, const QString& key) { return store.value(group, key); };
}

} // namespace

RecordingSettings RecordingSettings::read(const Lookup& stored)
{
    using namespace settings;
    RecordingSettings result;
    result.folder = readFolder(stored);
    result.microphoneOwnTrack = stored(kAudioGroup, kMicrophoneOwnTrack).toBool();

    const QString api = text(stored(kVideoGroup, kVideoCaptureApi), QStringLiteral("WGC"));
    result.captureKind = api == QLatin1String("WGC")    ? ScreenGrabber::Kind::Composite
                         : api == QLatin1String("DXGI") ? ScreenGrabber::Kind::SharedMemory
                                                        : ScreenGrabber::Kind::Compatible;
    result.outputSize = outputResolutionFor(stored(kVideoGroup, kResolutionIndex).toInt(),
                                            stored(kVideoGroup, kCustomWidth).toInt(),
                                            stored(kVideoGroup, kCustomHeight).toInt());
    result.screenRestoreToken = stored(kVideoGroup, kWaylandScreenToken).toString();
    result.windowRestoreToken = stored(kVideoGroup, kWaylandWindowToken).toString();
    result.videoFormat = text(stored(kVideoGroup, kVideoFormat), kFormatMp4);
    result.mux = readMux(stored, result.videoFormat);
    return result;
}

MuxSettings RecordingSettings::newFileMux()
{
    return readMux([](const QString&, const QString&) { return QVariant(); }, settings::kFormatMp4);
}

RecordingSettings RecordingSettings::fromStore(SettingsStore& store)
{
    return read(lookupIn(store));
}

QString RecordingSettings::folderFromStore(SettingsStore& store)
{
    return readFolder(lookupIn(store));
}

void RecordingSettings::saveRestoreToken(SettingsStore& store, bool window, const QString& token)
{
    store.setValue(settings::kVideoGroup,
                   window ? settings::kWaylandWindowToken : settings::kWaylandScreenToken, token);
}
