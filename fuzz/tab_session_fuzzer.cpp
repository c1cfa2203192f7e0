// The tab recording session's arithmetic past the parsers: a start's values as the server checks
// them, then a stream of video and audio messages taken or refused as the session does and charged
// to its budget, with the decoder replaced by one that yields a picture of any size the input
// names, and the encoder by one that lets go of what it holds in any order. What the budget holds
// must stay within its limits, and come back to nothing once everything is let go.
#include "tabcapture/TabCaptureProtocol.h"
#include "tabcapture/TabMediaBudget.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>

using tabcapture::MediaBudget;

namespace {

constexpr int kMaxItems = 512;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// A message as the socket delivers it: the tag, then bytes the input chooses.
QByteArray message(FuzzedDataProvider& input, char tag)
{
    const std::string bytes = input.ConsumeRandomLengthString(4096);
    return QByteArray(1, tag) + QByteArray(bytes.data(), qsizetype(bytes.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const std::string text = input.ConsumeRandomLengthString(512);
    const std::optional<tabcapture::ClientMessage> start =
        tabcapture::parseClientText(QByteArray(text.data(), qsizetype(text.size())));
    tabcapture::StartRequest request;
    if (start && start->type == tabcapture::ClientMessageType::Start)
        request = start->start;
    else
        request = {input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(),
                   input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(),
                   input.ConsumeIntegral<int>()};
    if (!tabcapture::checkStartRequest(request).isEmpty())
        return 0;
    check(request.width >= 2 && request.width <= tabcapture::kMaxWidth && request.width % 2 == 0);
    check(request.height >= 2 && request.height <= tabcapture::kMaxHeight &&
          request.height % 2 == 0);
    check(request.frameRate >= 1 && request.frameRate <= tabcapture::kMaxFrameRate);
    check(request.audioSampleRate >= tabcapture::kMinSampleRate &&
          request.audioSampleRate <= tabcapture::kMaxSampleRate);
    check(request.audioChannels >= 0 && request.audioChannels <= tabcapture::kMaxChannels);
    check(1000000 / request.frameRate > 0);

    MediaBudget budget(request.frameRate, request.audioSampleRate, kMaxItems);
    std::deque<MediaBudget::Charge> held;
    const auto withinLimits = [&] {
        const MediaBudget::Charge now = budget.held();
        // A decoded picture is charged without asking: the most it can pass by is one picture.
        const std::int64_t onePicture =
            std::int64_t(tabcapture::kMaxWidth) * tabcapture::kMaxHeight * 4 +
            MediaBudget::kItemOverheadBytes;
        return now.bytes >= 0 && now.bytes <= MediaBudget::kMaxBytes + onePicture &&
               now.pictures >= 0 && now.pictures <= MediaBudget::kMaxSeconds * request.frameRate &&
               now.samples >= 0 &&
               now.samples <= std::int64_t(MediaBudget::kMaxSeconds) * request.audioSampleRate;
    };

    while (input.remaining_bytes() > 0) {
        switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: {
            const QByteArray bytes = message(input, tabcapture::kVideoTag);
            const auto video = tabcapture::parseVideoMessage(bytes);
            if (!video || !tabcapture::acceptsPicture(video->timestampUs, video->width,
                                                      video->height, request.width, request.height))
                break;
            const MediaBudget::Charge charge = MediaBudget::chargeFor(bytes.size(), 1, 0);
            if (!budget.tryCharge(charge))
                break;
            // The stand-in decoder: the packet yields a picture of the size the input names.
            const int width = video->isRawPicture ? video->width : input.ConsumeIntegral<int>();
            const int height = video->isRawPicture ? video->height : input.ConsumeIntegral<int>();
            budget.release(charge);
            if (tabcapture::acceptsPicture(video->timestampUs, width, height, request.width,
                                           request.height)) {
                held.push_back(MediaBudget::chargeFor(std::int64_t(width) * height * 4, 1, 0));
                budget.charge(held.back());
            }
            break;
        }
        case 1: {
            const QByteArray bytes = message(input, tabcapture::kAudioTag);
            const auto audio = tabcapture::parseAudioMessage(bytes);
            if (!audio || request.audioChannels == 0 ||
                !tabcapture::acceptsAudio(*audio, request.audioSampleRate))
                break;
            const MediaBudget::Charge charge =
                MediaBudget::chargeFor(bytes.size(), 0, audio->samplesPerChannel);
            if (budget.tryCharge(charge))
                held.push_back(charge);
            break;
        }
        default:
            // The stand-in encoder lets go of one item, oldest or newest.
            if (!held.empty()) {
                const bool oldest = input.ConsumeBool();
                budget.release(oldest ? held.front() : held.back());
                oldest ? held.pop_front() : held.pop_back();
            }
            break;
        }
        check(withinLimits() && budget.heldItems() == std::int64_t(held.size()) &&
              budget.heldItems() <= kMaxItems);
    }
    for (const MediaBudget::Charge& charge : held)
        budget.release(charge);
    const MediaBudget::Charge left = budget.held();
    check(left.bytes == 0 && left.pictures == 0 && left.samples == 0 && budget.heldItems() == 0);
    return 0;
}
