#pragma once

#include <QString>

namespace platform {

// Makes folder (mode 0700) unless something has that name already. True when it is then a
// folder of this user's own, not a symbolic link, that no one else may write to: in a shared
// folder such as /tmp another user can take the name first.
bool makePrivateFolder(const QString& folder);

} // namespace platform
