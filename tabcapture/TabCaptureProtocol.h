#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVariant>

#include <cstdint>
#include <optional>

// The messages a browser extension and the tab capture server exchange. Pure parsing and
// building, Qt Core only, so the fuzzers and the unit tests reach it without a socket.
namespace tabcapture {

enum class VideoCodec { VP8, VP9, AV1, H264 };

// Matched after trimming and lower-casing, by substring; anything unknown is VP8.
VideoCodec codecFromName(const QString& name);

// A "start" request as the client sent it: missing keys take their defaults, but values that
// are present are passed on unchecked (the session replaces the ones not above 0).
struct StartRequest
{
    int width = 1920;
    int height = 1080;
    int frameRate = 30;
    int audioSampleRate = 48000;
    int audioChannels = 2;
    VideoCodec videoCodec = VideoCodec::VP8;
    // False when "videoCodec" was missing or empty: only raw pictures can then be recorded.
    bool videoCodecGiven = false;
};

enum class ClientMessageType { Start, Stop, Other };

struct ClientMessage
{
    ClientMessageType type = ClientMessageType::Other;
    StartRequest start; // meaningful for Start only
};

// Parses a client's text message. Nullopt, with the reason in *error when given, for text that
// is not a JSON object; an object with an unknown or missing "type" is a message of type Other.
std::optional<ClientMessage> parseClientText(const QByteArray& utf8, QString* error = nullptr);

constexpr char kVideoTag = 'v';
constexpr char kAudioTag = 'a';
constexpr qsizetype kVideoHeaderSize = 17;
constexpr qsizetype kAudioHeaderSize = 20;

// A view into the received message: valid only while that QByteArray lives.
struct VideoMessage
{
    std::int64_t timestampUs = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    QByteArrayView payload;
    // True when the payload is exactly width x height x 4 bytes: an RGBA picture, rows top to
    // bottom without padding. Any other payload is one compressed packet.
    bool isRawPicture = false;
};

struct AudioMessage
{
    std::int32_t sampleRate = 0;
    // The effective count: 0 reads as 1 and anything above 2 as 2.
    int channels = 1;
    std::int32_t samplesPerChannel = 0;
    // At least channels x samplesPerChannel 32-bit floats, interleaved for two channels, not
    // necessarily aligned for float access: read them through copyPlanarSamples.
    QByteArrayView samples;
};

// Nullopt for anything but a well-formed message of that kind (wrong tag, short header,
// width, height or sample count not above 0, audio shorter than its samples).
std::optional<VideoMessage> parseVideoMessage(QByteArrayView data);
std::optional<AudioMessage> parseAudioMessage(QByteArrayView data);

// Splits the message's samples into planes of samplesPerChannel floats each; right is unused
// (and may be null) for one channel.
void copyPlanarSamples(const AudioMessage& message, float* left, float* right);

// Web pages (http:, https:, and the "null" of sandboxed frames) must never reach the server:
// any site the user visits could otherwise start recordings and fill the disk. Browser
// extensions (chrome-extension:, moz-extension:) and clients sending no origin may connect.
bool isOriginAllowed(const QString& origin);

// The frame rate announced in "config": the stored "fps" as every recording reads it.
int configFrameRate(const QVariant& storedFps);

// Server to client, compact JSON.
QString configMessage(int frameRate);
QString startedMessage();
QString busyMessage();
QString overloadMessage();
QString stopRecordingMessage();

} // namespace tabcapture
