// The capture clock's time source, kept in media/ beside the clock it feeds: on Linux
// CLOCK_MONOTONIC in the shape of a Windows performance counter (ticks and ticks per second).
#pragma once

#include <cstdint>

namespace media {

// Ticks of the monotonic clock (100 ns each). Thread-safe.
std::int64_t performanceCounter();

// Ticks per second of performanceCounter(). Thread-safe.
std::int64_t performanceFrequency();

} // namespace media
