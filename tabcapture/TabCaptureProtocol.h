#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>

#include <cstdint>
#include <optional>
#include <utility>

// The messages a browser extension and the tab capture server exchange. Pure parsing and
// building, Qt Core only, so the fuzzers and the unit tests reach it without a socket.
namespace tabcapture {

enum class VideoCodec { VP8, VP9, AV1, H264 };

// Matched after trimming and lower-casing, by substring; anything unknown is VP8.
VideoCodec codecFromName(const QString& name);

// What a client may declare. Values beyond these are refused rather than clamped: a client that
// sends them is not the extension, and each one sizes buffers, rates or the encoder.
constexpr int kMaxFrameRate = 240;
constexpr int kMinSampleRate = 8000;
constexpr int kMaxSampleRate = 384000;
constexpr int kMaxChannels = 8;
constexpr int kMaxWidth = 7680;
constexpr int kMaxHeight = 4320;
// Larger pictures are encoded shrunk to this many pixels: decoding and encoding a 7680x4320 tab as
// it is holds about 500 MB, and few H.264 players decode more than 4K.
constexpr std::int64_t kMaxEncodedPixels = 3840LL * 2160;
// An avcC record with a few parameter sets is some tens of bytes.
constexpr qsizetype kMaxVideoConfigBytes = 1024;

// A "start" request as the client sent it: missing keys take their defaults; numbers are read
// whole, those beyond the int range as its nearest end (checkStartRequest then refuses them).
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
    // "audioClock": "video": sound messages are stamped on the pictures' clock (microseconds
    // from the first picture), so the sound is placed by its stamps, not by counting samples.
    bool soundOnPictureClock = false;
    // "videoConfig": the codec's set-up (an H.264 avcC record), base64; packets then carry no
    // parameter sets of their own. False when it was not valid base64 or longer than allowed.
    QByteArray videoConfig = {};
    bool videoConfigValid = true;
};

enum class ClientMessageType { Start, Stop, Other };

struct ClientMessage
{
    ClientMessageType type = ClientMessageType::Other;
    StartRequest start; // meaningful for Start only
};

// Gives the values not above 0 their defaults (zero channels stay zero: no sound), rounds the
// picture size up to even and checks every value against the bounds above. Returns why the
// request is refused, or an empty string when it holds.
QString checkStartRequest(StartRequest& request);

// The size a checked start's pictures are encoded at: their own, or at most kMaxEncodedPixels
// with the aspect kept, even.
std::pair<int, int> encodedSize(const StartRequest& request);

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
    std::int64_t timestampUs = 0;
    std::int32_t sampleRate = 0;
    // The effective count: 0 reads as 1 and anything above 2 as 2.
    int channels = 1;
    std::int32_t samplesPerChannel = 0;
    // At least channels x samplesPerChannel 32-bit floats, interleaved for two channels, not
    // necessarily aligned for float access: read them through copyPlanarSamples.
    QByteArrayView samples;
};

// Nullopt for anything but a well-formed message of that kind (wrong tag, short header,
// width or height not within 1 .. kMaxWidth x kMaxHeight, sample count not above 0, audio
// shorter than its samples).
std::optional<VideoMessage> parseVideoMessage(QByteArrayView data);
std::optional<AudioMessage> parseAudioMessage(QByteArrayView data);

// Splits the message's samples into planes of samplesPerChannel floats each; right is unused
// (and may be null) for one channel.
void copyPlanarSamples(const AudioMessage& message, float* left, float* right);

// Whether a recording announced as width x height takes a picture of pictureWidth x
// pictureHeight (as a message declares it, or as it decodes) stamped timestampUs: none larger than
// announced, and no time stamp the frame arithmetic could overflow with (0 to about 11 days).
bool acceptsPicture(std::int64_t timestampUs, int pictureWidth, int pictureHeight, int width,
                    int height);

// Whether a recording takes this sound: at the session's own rate
// (a rate fixed at the start, so no message can make the resampler's output grow), at most one
// second in one message.
bool acceptsAudio(const AudioMessage& message, int sessionSampleRate);

// The id of Torvane's own extension, fixed by the public key in its manifest.
constexpr char kExtensionId[] = "coaipahlfnecbcalaimcgaboillcmpol";

// Only our extension may connect with an origin: a web page (http:, https:, the "null" of
// sandboxed frames, file:) could otherwise start recordings and fill the disk, and another
// extension make libavcodec parse its bytes. Matched exactly; addedIds are ids the user allows
// besides ours (as chrome-extension://<id>) or whole origins. An empty origin is not allowed
// here: such a client proves itself with the secret (tokenMatches).
bool isOriginAllowed(const QString& origin, const QStringList& addedIds = {});

// The query parameter a client without an origin sends the per-user secret in.
constexpr char kTokenParameter[] = "token";
// Whether the connection's URL carries the secret (compared in constant time).
bool tokenMatches(const QUrl& requestUrl, const QByteArray& secret);

// The frame rate announced in "config": the stored "fps" as every recording reads it.
int configFrameRate(const QVariant& storedFps);

// Server to client, compact JSON.
// clockOffsetUs: this machine's wall clock minus its monotonic clock (microseconds), which
// browsers stamp captured pictures by; 0 leaves it out.
QString configMessage(int frameRate, std::int64_t clockOffsetUs = 0);
// The clock offset as this process sees it now.
std::int64_t wallMinusMonotonicUs();
QString startedMessage();
QString busyMessage();
QString overloadMessage();
QString stopRecordingMessage();
// Why a "start" did not record, or why a recording ended by itself.
QString errorReply(const QString& reason);

} // namespace tabcapture
