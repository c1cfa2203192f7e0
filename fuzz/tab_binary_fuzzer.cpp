// Feeds arbitrary bytes to the parsers of the extension's video and audio messages and reads
// every sample an accepted audio message claims to hold.
#include "tabcapture/TabCaptureProtocol.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView bytes(data, qsizetype(size));
    if (const auto video = tabcapture::parseVideoMessage(bytes)) {
        const std::uint64_t rawSize =
            std::uint64_t(video->width) * std::uint64_t(video->height) * 4u;
        if (video->width <= 0 || video->height <= 0 ||
            video->payload.size() != qsizetype(size) - tabcapture::kVideoHeaderSize ||
            video->isRawPicture != (std::uint64_t(video->payload.size()) == rawSize))
            std::abort();
    }
    if (const auto audio = tabcapture::parseAudioMessage(bytes)) {
        if (audio->channels < 1 || audio->channels > 2 || audio->samplesPerChannel <= 0 ||
            audio->samples.size() != qsizetype(audio->channels) * audio->samplesPerChannel * 4)
            std::abort();
        std::vector<float> left(std::size_t(audio->samplesPerChannel));
        std::vector<float> right(audio->channels == 2 ? left.size() : 0);
        tabcapture::copyPlanarSamples(*audio, left.data(), right.empty() ? nullptr : right.data());
    }
    return 0;
}
