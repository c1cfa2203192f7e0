#pragma once

#include <cstdint>

namespace tabcapture {

// Where a tab's stamped sound blocks go on the file's continuous sound track, in samples on the
// pictures' clock. The first block lands exactly at its stamp. After it the sound stays
// continuous, since single stamps jitter and each correction is a seam in the sound: it moves
// when a block is far from where the track ends (the browser dropped sound, or sent it twice),
// or when the stamps of a whole window of blocks sit off to the same side, by their mean.
class SoundPlacement
{
public:
    struct Step
    {
        std::int64_t silence = 0; // samples of silence to write before the block
        std::int64_t skip = 0;    // samples at the block's start to leave out
        std::int64_t movedUs = 0; // a new move of the sound, later (+) or earlier (-)
    };

    // A block this far from where the track ends is moved to its stamp at once.
    static constexpr std::int64_t kSlackUs = 20000;
    // A stamp further than this from where the track ends, either way, is not believed.
    static constexpr std::int64_t kLongestGapUs = 5000000;
    // Blocks averaged before a steady offset is corrected, and the offset that is.
    static constexpr int kWindowBlocks = 50;
    static constexpr std::int64_t kSteadyErrorUs = 4000;

    // sampleRate: positive, as the start request's check leaves it.
    explicit SoundPlacement(int sampleRate);

    // The block of blockSamples stamped at dueUs on the pictures' clock, when the track holds
    // written samples. A skip longer than the block goes on into the blocks after it.
    Step place(std::int64_t dueUs, std::int64_t written, std::int64_t blockSamples);

private:
    Step moveBy(std::int64_t gap, std::int64_t blockSamples);
    Step skip(std::int64_t samples, std::int64_t blockSamples);

    const int sampleRate_;
    bool placed_ = false;
    std::int64_t pendingSkip_ = 0;
    std::int64_t errorSum_ = 0;
    int errorBlocks_ = 0;
};

} // namespace tabcapture
