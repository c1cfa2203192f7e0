#pragma once

#include <atomic>
#include <cstdint>

namespace tabcapture {

// What one tab recording holds between the socket and the encoder: the messages accepted and
// not yet decoded, and the pictures and sound not yet let go by the encoder. The limits are in
// bytes and seconds and fixed here; a client's declared values are bounded (checkStartRequest)
// and cannot raise them. Once a message would pass one, the encoder is falling behind and the
// recording ends rather than letting memory grow.
//
// Thread-safe: tryCharge is called from one thread (the GUI thread); charge and release from
// any (the decoding thread, and whichever thread lets a frame go last).
class MediaBudget
{
public:
    struct Charge
    {
        std::int64_t bytes = 0;
        std::int64_t pictures = 0;
        std::int64_t samples = 0;
    };

    static constexpr std::int64_t kMaxBytes = 128LL * 1024 * 1024;
    static constexpr int kMaxSeconds = 2;
    // Each held item costs at least this much, so a flood of tiny messages is bounded too.
    static constexpr std::int64_t kItemOverheadBytes = 1024;

    // frameRate and sampleRate as checkStartRequest leaves them (positive, bounded); maxItems
    // keeps the frame queue behind the budget from ever filling, so nothing waits on it.
    MediaBudget(int frameRate, int sampleRate, int maxItems);

    // One item of payloadBytes bytes with pictures and samples: its charge, overhead included.
    static Charge chargeFor(std::int64_t payloadBytes, std::int64_t pictures, std::int64_t samples);

    // Takes the charge when everything held stays within the limits; false, taking nothing,
    // when it would pass one.
    bool tryCharge(const Charge& charge);
    // Takes it regardless: a decoded picture that replaces its packet's charge.
    void charge(const Charge& charge);
    void release(const Charge& charge);

    Charge held() const;
    std::int64_t heldItems() const { return items_.load(); }
    // The most items held at once, for the tab benchmark.
    std::int64_t peakItems() const { return peakItems_.load(); }

private:
    std::atomic<std::int64_t> bytes_{0};
    std::atomic<std::int64_t> pictures_{0};
    std::atomic<std::int64_t> samples_{0};
    std::atomic<std::int64_t> items_{0};
    std::atomic<std::int64_t> peakItems_{0};
    const std::int64_t maxPictures_;
    const std::int64_t maxSamples_;
    const std::int64_t maxItems_;
};

} // namespace tabcapture
