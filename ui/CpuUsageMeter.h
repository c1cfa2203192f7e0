#pragma once

#include <cstdint>

// The process's share of the machine's CPU between two readings, as the main window shows it:
// process CPU time spent over wall time passed, divided by the number of cores, 0..100.
// Not thread-safe; the main window samples it from its preview timer.
class CpuUsageMeter
{
public:
    // processTime: user plus system time of the process in 100 ns units; counter: a monotonic
    // clock reading in ticks of frequency per second. The first reading only sets the base and
    // gives 0, as does a reading without a usable process time or without time passing.
    double sample(std::int64_t processTime, std::int64_t counter, std::int64_t frequency,
                  int threadCount);
    // A failed process time query: 0, and the next good reading starts afresh.
    double sampleFailed();

private:
    bool hasBase_ = false;
    std::int64_t lastProcessTime_ = 0;
    std::int64_t lastCounter_ = 0;
};
