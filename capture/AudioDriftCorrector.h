#pragma once

#include <cstdint>

// Keeps a sound device whose clock runs apart from the system's in step with the pictures, which
// follow the system clock. A device some hundred parts per million fast or slow moves the sound
// by tens of milliseconds an hour; this leaves out or repeats one sample now and then instead.
//
// The sound's lead over the clock is smoothed over seconds (sound arrives in fragments, late at
// times). Its value once settled is the device's own latency, kept as the baseline; only a
// lasting move away from it, of a few milliseconds, is corrected, by at most one sample in a
// thousand: never heard, and ten times faster than any real device drifts.
class AudioDriftCorrector
{
public:
    explicit AudioDriftCorrector(int rate);

    // Called before `incoming` samples are added, with the samples the capture clock expects by
    // now and those added so far. Returns how many of the incoming samples to leave out
    // (positive) or to repeat (negative).
    int correction(std::int64_t expected, std::int64_t produced, int incoming);
    // After a pause or inserted silence the lead is measured anew.
    void reset();

private:
    int rate_;
    std::int64_t observed_ = 0; // samples seen since the last reset
    double smoothedLead_ = 0;
    double baseline_ = 0;
    bool settled_ = false;
    bool correcting_ = false;
    double owed_ = 0; // fractions of a sample not yet corrected
};
