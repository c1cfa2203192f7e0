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

void check(bool condition)
{
    if (!condition)
        std::abort();
}

QByteArray bytes(FuzzedDataProvider& input, std::size_t most)
{
    const std::string text = input.ConsumeRandomLengthString(most);
    return QByteArray(text.data(), qsizetype(text.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const auto start = tabcapture::parseClientText(bytes(input, 512));
    tabcapture::StartRequest s;
    if (start && start->type == tabcapture::ClientMessageType::Start)
        s = start->start;
    else
        s = {input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(),
             input.ConsumeIntegral<int>(), input.ConsumeIntegral<int>(),
             input.ConsumeIntegral<int>()};
    if (!tabcapture::checkStartRequest(s).isEmpty())
        return 0;
    check(s.width >= 2 && s.width <= tabcapture::kMaxWidth && s.width % 2 == 0 && s.height >= 2 &&
          s.height <= tabcapture::kMaxHeight && s.height % 2 == 0 && s.frameRate >= 1 &&
          s.frameRate <= tabcapture::kMaxFrameRate &&
          s.audioSampleRate >= tabcapture::kMinSampleRate &&
          s.audioSampleRate <= tabcapture::kMaxSampleRate && s.audioChannels >= 0 &&
          s.audioChannels <= tabcapture::kMaxChannels);

    constexpr int kMaxItems = 512;
    MediaBudget budget(s.frameRate, s.audioSampleRate, kMaxItems);
    std::deque<MediaBudget::Charge> held; // what the stand-in encoder holds
    // A decoded picture is charged without asking: it may pass the limit by one picture.
    const std::int64_t onePicture =
        MediaBudget::chargeFor(std::int64_t(s.width) * s.height * 4, 1, 0).bytes;
    while (input.remaining_bytes() > 0) {
        const int what = input.ConsumeIntegralInRange(0, 3);
        const QByteArray message = QByteArray(1, what == 0 ? 'v' : 'a') + bytes(input, 4096);
        if (what == 0) {
            const auto video = tabcapture::parseVideoMessage(message);
            if (!video || !tabcapture::acceptsPicture(video->timestampUs, video->width,
                                                      video->height, s.width, s.height))
                continue;
            const MediaBudget::Charge packet = MediaBudget::chargeFor(message.size(), 1, 0);
            if (!budget.tryCharge(packet))
                continue;
            // The stand-in decoder yields a picture of the size the input names.
            const int width = video->isRawPicture ? video->width : input.ConsumeIntegral<int>();
            const int height = video->isRawPicture ? video->height : input.ConsumeIntegral<int>();
            budget.release(packet);
            if (tabcapture::acceptsPicture(video->timestampUs, width, height, s.width, s.height)) {
                held.push_back(MediaBudget::chargeFor(std::int64_t(width) * height * 4, 1, 0));
                budget.charge(held.back());
            }
        } else if (what == 1) {
            const auto audio = tabcapture::parseAudioMessage(message);
            const MediaBudget::Charge charge =
                MediaBudget::chargeFor(message.size(), 0, audio ? audio->samplesPerChannel : 0);
            if (audio && s.audioChannels > 0 &&
                tabcapture::acceptsAudio(*audio, s.audioSampleRate) && budget.tryCharge(charge))
                held.push_back(charge);
        } else if (!held.empty()) {
            const bool oldest = input.ConsumeBool();
            budget.release(oldest ? held.front() : held.back());
            oldest ? held.pop_front() : held.pop_back();
        }
        const MediaBudget::Charge now = budget.held();
        check(now.bytes >= 0 && now.bytes <= MediaBudget::kMaxBytes + onePicture &&
              now.pictures >= 0 && now.pictures <= MediaBudget::kMaxSeconds * s.frameRate &&
              now.samples >= 0 &&
              now.samples <= std::int64_t(MediaBudget::kMaxSeconds) * s.audioSampleRate &&
              budget.heldItems() == std::int64_t(held.size()) && budget.heldItems() <= kMaxItems);
    }
    for (const MediaBudget::Charge& charge : held)
        budget.release(charge);
    const MediaBudget::Charge left = budget.held();
    check(left.bytes == 0 && left.pictures == 0 && left.samples == 0 && budget.heldItems() == 0);
    return 0;
}
