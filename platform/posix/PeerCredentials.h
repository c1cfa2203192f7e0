#pragma once

#include <QtGlobal>

#include <optional>

namespace platform {

// The user id of the process at the other end of a connected local (Unix domain) socket, as the
// kernel recorded it when the connection was made; nullopt when it cannot be told.
std::optional<unsigned> localPeerUser(qintptr descriptor);

// Whether the other end of a connected local socket is a process of this user.
bool isOwnUsersLocalPeer(qintptr descriptor);

} // namespace platform
