#pragma once

#include <cstdint>
#include <optional>

namespace platform {

// CPU time this process has spent so far, user plus system, in 100 ns units (the unit of the
// performance counter). Empty when the system cannot tell. Thread-safe.
std::optional<std::int64_t> processCpuTime();

} // namespace platform
