#include "UserFolders.h"

#include <QFileInfo>

#include <unistd.h>

namespace platform {

QString userRuntimeFolder()
{
    const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    // A folder that is not ours (a variable carried over by su or sudo) would let another user
    // hold our lock.
    const QFileInfo info(folder);
    if (folder.isEmpty() || !info.isDir() || !info.isWritable() || info.ownerId() != userId())
        return {};
    return folder;
}

unsigned userId()
{
    return static_cast<unsigned>(getuid());
}

} // namespace platform
