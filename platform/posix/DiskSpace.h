#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace platform {

// Answers how many bytes this user may still write in the file system that holds a folder;
// empty when the system cannot tell (the folder or its drive is gone).
using FreeSpaceQuery = std::function<std::optional<std::int64_t>(const QString& folder)>;

// Asks the system, or the query a test put in its place. Any thread; a test replaces the query
// only while nothing asks.
std::optional<std::int64_t> freeDiskBytes(const QString& folder);

// Tests report a file system of their own choosing; an empty query brings the system's back.
void setFreeSpaceQuery(FreeSpaceQuery query);

} // namespace platform
