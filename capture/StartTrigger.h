#pragma once

#include <cstdint>

// Who started a recording. Only one the user started asks or tells anything in boxes; a schedule
// or a macro runs unattended and only logs.
enum class StartTrigger : std::int32_t {
    User = 0,
    Schedule = 1,
    Macro = 2,
};
