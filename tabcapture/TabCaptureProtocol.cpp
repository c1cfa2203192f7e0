#include "TabCaptureProtocol.h"

#include "base/FrameRateSetting.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
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

// A number read whole; beyond the int range it reads as the range's nearest end, which no bound
// takes, so 1e12 is refused instead of wrapping or falling back to a default.
int readInt(const QJsonObject& object, QLatin1String key, int fallback)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    if (number >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (number <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(number);
}

QString outOfRange(const char* key, int value, int low, int high)
{
    return QStringLiteral("%1 %2 not in %3..%4")
        .arg(QLatin1String(key))
        .arg(value)
        .arg(low)
        .arg(high);
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

QString checkStartRequest(StartRequest& request)
{
    const StartRequest defaults;
    for (auto [value, fallback] :
         {std::pair{&request.width, defaults.width}, std::pair{&request.height, defaults.height},
          std::pair{&request.frameRate, defaults.frameRate},
          std::pair{&request.audioSampleRate, defaults.audioSampleRate}}) {
        if (*value <= 0)
            *value = fallback;
    }
    if (request.width > kMaxWidth)
        return outOfRange("width", request.width, 1, kMaxWidth);
    if (request.height > kMaxHeight)
        return outOfRange("height", request.height, 1, kMaxHeight);
    if (request.frameRate > kMaxFrameRate)
        return outOfRange("frameRate", request.frameRate, 1, kMaxFrameRate);
    if (request.audioSampleRate < kMinSampleRate || request.audioSampleRate > kMaxSampleRate)
        return outOfRange("audioSampleRate", request.audioSampleRate, kMinSampleRate,
                          kMaxSampleRate);
    if (request.audioChannels < 0 || request.audioChannels > kMaxChannels)
        return outOfRange("audioChannels", request.audioChannels, 0, kMaxChannels);
    if (!request.videoConfigValid)
        return QStringLiteral("videoConfig is not base64 of at most %1 bytes")
            .arg(kMaxVideoConfigBytes);
    // The encoders take even sizes only; both maxima are even.
    request.width = (request.width + 1) & ~1;
    request.height = (request.height + 1) & ~1;
    return {};
}

std::pair<int, int> encodedSize(const StartRequest& request)
{
    const std::int64_t pixels = std::int64_t(request.width) * request.height;
    if (pixels <= kMaxEncodedPixels)
        return {request.width, request.height};
    const double scale = std::sqrt(double(kMaxEncodedPixels) / double(pixels));
    const auto shrink = [scale](int length) { return std::max(2, int(length * scale) & ~1); };
    return {shrink(request.width), shrink(request.height)};
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
        start.width = readInt(object, QLatin1String("width"), start.width);
        start.height = readInt(object, QLatin1String("height"), start.height);
        start.frameRate = readInt(object, QLatin1String("frameRate"), start.frameRate);
        start.audioSampleRate =
            readInt(object, QLatin1String("audioSampleRate"), start.audioSampleRate);
        start.audioChannels = readInt(object, QLatin1String("audioChannels"), start.audioChannels);
        const QString codec = object.value(QLatin1String("videoCodec")).toString().trimmed();
        start.videoCodecGiven = !codec.isEmpty();
        start.videoCodec = codecFromName(codec);
        start.soundOnPictureClock =
            object.value(QLatin1String("audioClock")).toString() == QLatin1String("video");
        const QString config = object.value(QLatin1String("videoConfig")).toString();
        // Measured before decoding: base64 is a third longer than what it carries.
        if (config.size() > (kMaxVideoConfigBytes + 2) / 3 * 4) {
            start.videoConfigValid = false;
        } else if (!config.isEmpty()) {
            auto decoded = QByteArray::fromBase64Encoding(config.toLatin1(),
                                                          QByteArray::AbortOnBase64DecodingErrors);
            start.videoConfigValid = bool(decoded);
            start.videoConfig = decoded ? *decoded : QByteArray();
        }
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
    if (message.width <= 0 || message.height <= 0 || message.width > kMaxWidth ||
        message.height > kMaxHeight)
        return std::nullopt;
    message.payload = data.sliced(kVideoHeaderSize);
    const std::uint64_t rawSize = std::uint64_t(message.width) * std::uint64_t(message.height) * 4u;
    message.isRawPicture = std::uint64_t(message.payload.size()) == rawSize;
    return message;
}

std::optional<AudioMessage> parseAudioMessage(QByteArrayView data)
{
    if (data.size() < kAudioHeaderSize || data.front() != kAudioTag)
        return std::nullopt;
    AudioMessage message;
    message.timestampUs = readLE<std::int64_t>(data, 1);
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

bool acceptsPicture(std::int64_t timestampUs, int pictureWidth, int pictureHeight, int width,
                    int height)
{
    constexpr std::int64_t kMaxTimestampUs = 1'000'000'000'000;
    return pictureWidth > 0 && pictureHeight > 0 && pictureWidth <= width &&
           pictureHeight <= height && timestampUs >= 0 && timestampUs <= kMaxTimestampUs;
}

bool acceptsAudio(const AudioMessage& message, int sessionSampleRate)
{
    return message.sampleRate == sessionSampleRate &&
           message.samplesPerChannel <= sessionSampleRate;
}

bool isOriginAllowed(const QString& origin, const QStringList& addedIds)
{
    const QString scheme = QStringLiteral("chrome-extension://");
    if (origin == scheme + QLatin1String(kExtensionId))
        return true;
    for (const QString& id : addedIds) {
        if (!id.isEmpty() && (origin == id || origin == scheme + id))
            return true;
    }
    return false;
}

bool tokenMatches(const QUrl& requestUrl, const QByteArray& secret)
{
    const QByteArray given = QUrlQuery(requestUrl)
                                 .queryItemValue(QLatin1String(kTokenParameter), QUrl::FullyDecoded)
                                 .toUtf8();
    if (secret.isEmpty() || given.size() != secret.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < secret.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    return difference == 0;
}

int configFrameRate(const QVariant& storedFps)
{
    return settings::frameRateFromSetting(storedFps);
}

QString configMessage(int frameRate, std::int64_t clockOffsetUs)
{
    QJsonObject object{{QStringLiteral("type"), QStringLiteral("config")},
                       {QStringLiteral("frameRate"), frameRate}};
    if (clockOffsetUs != 0) // a JSON number holds it exactly: 2^53 us are 285 years
        object.insert(QStringLiteral("clockOffsetUs"), double(clockOffsetUs));
    return compact(object);
}

std::int64_t wallMinusMonotonicUs()
{
    using namespace std::chrono;
    const auto wall = duration_cast<microseconds>(system_clock::now().time_since_epoch());
    const auto monotonic = duration_cast<microseconds>(steady_clock::now().time_since_epoch());
    return (wall - monotonic).count();
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

QString errorReply(const QString& reason)
{
    return compact(
        {{QStringLiteral("type"), QStringLiteral("error")}, {QStringLiteral("reason"), reason}});
}

} // namespace tabcapture
