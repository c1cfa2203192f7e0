#pragma once

#include <cstdint>

// The monotonic clock in the shape of a performance counter: ticks and ticks per second.
namespace platform {

// Ticks of the monotonic clock (100 ns each). Thread-safe.
std::int64_t performanceCounter();

// Ticks per second of performanceCounter(). Thread-safe.
std::int64_t performanceFrequency();

} // namespace platform
