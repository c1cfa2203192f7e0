#include "PrivateFolder.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool makePrivateFolder(const QString& folder)
{
    const QByteArray path = QFile::encodeName(folder);
    ::mkdir(path.constData(), 0700);
    // lstat: a link would hand us whatever folder its maker points it at.
    struct stat info = {};
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace platform
