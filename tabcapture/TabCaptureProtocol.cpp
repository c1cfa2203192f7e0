#include "TabCaptureProtocol.h"

#include "app/FrameRateSetting.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QUrl>

#include <cstring>
#include <type_traits>

namespace tabcapture {

namespace {

// Little-endian reads byte by byte: message bytes carry no alignment guarantee.
template <typename T> T readLE(QByteArrayView data, qsizetype offset)
{
    using U = std::make_unsigned_t<T>;
    U value = 0;
    for (qsizetype i = qsizetype(sizeof(T)); i-- > 0;)
        value = U((value << 8) | U(static_cast<unsigned char>(data[offset + i])));
    return static_cast<T>(value);
}

float readFloatLE(const char* p)
{
    unsigned char bytes[4];
    std::memcpy(bytes, p, 4);
    const std::uint32_t bits = std::uint32_t(bytes[0]) | (std::uint32_t(bytes[1]) << 8) |
                               (std::uint32_t(bytes[2]) << 16) | (std::uint32_t(bytes[3]) << 24);
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

VideoCodec codecFromName(const QString& name)
{
    const QString n = name.trimmed().toLower();
    if (n.contains(QLatin1String("vp8")))
        return VideoCodec::VP8;
    if (n.contains(QLatin1String("vp9")))
        return VideoCodec::VP9;
    if (n.contains(QLatin1String("av1")) || n.contains(QLatin1String("av01")))
        return VideoCodec::AV1;
    if (n.contains(QLatin1String("h264")) || n.contains(QLatin1String("avc")))
        return VideoCodec::H264;
    return VideoCodec::VP8;
}

std::optional<ClientMessage> parseClientText(const QByteArray& utf8, QString* error)
{
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(utf8, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        if (error)
            *error = parseError.error != QJsonParseError::NoError
                         ? parseError.errorString()
                         : QStringLiteral("not a JSON object");
        return std::nullopt;
    }
    const QJsonObject object = doc.object();
    const QString type = object.value(QLatin1String("type")).toString();
    ClientMessage message;
    if (type == QLatin1String("stop")) {
        message.type = ClientMessageType::Stop;
    } else if (type == QLatin1String("start")) {
        message.type = ClientMessageType::Start;
        StartRequest& start = message.start;
        start.width = object.value(QLatin1String("width")).toInt(start.width);
        start.height = object.value(QLatin1String("height")).toInt(start.height);
        start.frameRate = object.value(QLatin1String("frameRate")).toInt(start.frameRate);
        start.audioSampleRate =
            object.value(QLatin1String("audioSampleRate")).toInt(start.audioSampleRate);
        start.audioChannels =
            object.value(QLatin1String("audioChannels")).toInt(start.audioChannels);
        const QString codec = object.value(QLatin1String("videoCodec")).toString().trimmed();
        start.videoCodecGiven = !codec.isEmpty();
        start.videoCodec = codecFromName(codec);
    }
    return message;
}

std::optional<VideoMessage> parseVideoMessage(QByteArrayView data)
{
    if (data.size() < kVideoHeaderSize || data.front() != kVideoTag)
        return std::nullopt;
    VideoMessage message;
    message.timestampUs = readLE<std::int64_t>(data, 1);
    message.width = readLE<std::int32_t>(data, 9);
    message.height = readLE<std::int32_t>(data, 13);
    if (message.width <= 0 || message.height <= 0)
        return std::nullopt;
    message.payload = data.sliced(kVideoHeaderSize);
    // Both factors are below 2^31, so the product times 4 stays below 2^64.
    const std::uint64_t rawSize = std::uint64_t(message.width) * std::uint64_t(message.height) * 4u;
    message.isRawPicture = std::uint64_t(message.payload.size()) == rawSize;
    return message;
}

std::optional<AudioMessage> parseAudioMessage(QByteArrayView data)
{
    if (data.size() < kAudioHeaderSize || data.front() != kAudioTag)
        return std::nullopt;
    AudioMessage message;
    message.sampleRate = readLE<std::int32_t>(data, 9);
    const std::uint16_t channels = readLE<std::uint16_t>(data, 13);
    message.channels = channels == 0 ? 1 : (channels > 2 ? 2 : int(channels));
    message.samplesPerChannel = readLE<std::int32_t>(data, 15);
    if (message.samplesPerChannel <= 0)
        return std::nullopt;
    const std::uint64_t needed =
        std::uint64_t(message.channels) * std::uint64_t(message.samplesPerChannel) * 4u;
    const QByteArrayView rest = data.sliced(kAudioHeaderSize);
    if (std::uint64_t(rest.size()) < needed)
        return std::nullopt;
    message.samples = rest.first(qsizetype(needed));
    return message;
}

void copyPlanarSamples(const AudioMessage& message, float* left, float* right)
{
    const char* p = message.samples.data();
    const qsizetype n = message.samplesPerChannel;
    if (message.channels == 1) {
        for (qsizetype i = 0; i < n; ++i)
            left[i] = readFloatLE(p + 4 * i);
        return;
    }
    for (qsizetype i = 0; i < n; ++i) {
        left[i] = readFloatLE(p + 8 * i);
        right[i] = readFloatLE(p + 8 * i + 4);
    }
}

bool isOriginAllowed(const QString& origin)
{
    // An allow-list rather than a block-list: sandboxed frames of web pages send "null", and
    // local pages send file: origins.
    const QString trimmed = origin.trimmed();
    if (trimmed.isEmpty())
        return true;
    return QUrl(trimmed).scheme().toLower().endsWith(QLatin1String("-extension"));
}

int configFrameRate(const QVariant& storedFps)
{
    return settings::frameRateFromSetting(storedFps);
}

QString configMessage(int frameRate)
{
    return compact({{QStringLiteral("type"), QStringLiteral("config")},
                    {QStringLiteral("frameRate"), frameRate}});
}

QString startedMessage()
{
    return compact({{QStringLiteral("type"), QStringLiteral("started")}});
}

QString busyMessage()
{
    return compact({{QStringLiteral("type"), QStringLiteral("busy")},
                    {QStringLiteral("reason"), QStringLiteral("already_recording")}});
}

QString overloadMessage()
{
    return compact({{QStringLiteral("type"), QStringLiteral("overload")},
                    {QStringLiteral("reason"), QStringLiteral("encoder_falling_behind")}});
}

QString stopRecordingMessage()
{
    return compact({{QStringLiteral("type"), QStringLiteral("stopRecording")}});
}

} // namespace tabcapture
