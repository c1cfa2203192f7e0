#include "PeerCredentials.h"

#include <sys/socket.h>
#include <unistd.h>

namespace platform {

std::optional<unsigned> localPeerUser(qintptr descriptor)
{
    if (descriptor < 0)
        return std::nullopt;
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials)
        return std::nullopt;
    return unsigned(credentials.uid);
}

bool isOwnUsersLocalPeer(qintptr descriptor)
{
    const std::optional<unsigned> user = localPeerUser(descriptor);
    return user && *user == unsigned(geteuid());
}

} // namespace platform
