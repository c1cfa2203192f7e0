#pragma once

#include <QString>

namespace platform {

// The user's private folder for sockets and locks of running programs (XDG_RUNTIME_DIR, made
// by the session for this user alone); empty when there is none.
QString userRuntimeFolder();

// The numeric id of the user running this process.
unsigned userId();

} // namespace platform
