#include "SafeFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

SafeFile::~SafeFile()
{
    close();
}

void SafeFile::close()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
    descriptor_ = -1;
}

SafeFile::Status SafeFile::failed()
{
    error_ = QString::fromLocal8Bit(std::strerror(errno));
    close();
    return Status::Failed;
}

SafeFile::Status SafeFile::refuseUnlessOwnRegular()
{
    struct stat status = {};
    if (::fstat(descriptor_, &status) != 0)
        return failed();
    if (!S_ISREG(status.st_mode))
        error_ = QStringLiteral("not a regular file");
    else if (status.st_uid != ::geteuid())
        error_ = QStringLiteral("owned by another user");
    else
        return Status::Ok;
    close();
    return Status::Refused;
}

SafeFile::Status SafeFile::openExisting(const QString& path)
{
    close();
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    descriptor_ = ::open(QFile::encodeName(path).constData(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor_ < 0 && errno == ENOENT) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        return Status::Missing;
    }
    if (descriptor_ < 0 && errno == ELOOP) {
        error_ = QStringLiteral("a symbolic link");
        return Status::Refused;
    }
    if (descriptor_ < 0)
        return failed();
    return refuseUnlessOwnRegular();
}

SafeFile::Status SafeFile::createNew(const QString& path, unsigned mode)
{
    close();
    // O_EXCL fails on any existing name, a dangling symbolic link too, so nothing planted there
    // is written through.
    descriptor_ = ::open(QFile::encodeName(path).constData(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                         mode_t(mode & 0777));
    return descriptor_ < 0 ? failed() : Status::Ok;
}

bool SafeFile::tryLock()
{
    return descriptor_ >= 0 && ::flock(descriptor_, LOCK_EX | LOCK_NB) == 0;
}

bool SafeFile::isNamedBy(const QString& path) const
{
    struct stat named = {};
    struct stat open = {};
    return descriptor_ >= 0 && ::lstat(QFile::encodeName(path).constData(), &named) == 0 &&
           ::fstat(descriptor_, &open) == 0 && named.st_dev == open.st_dev &&
           named.st_ino == open.st_ino;
}

std::int64_t SafeFile::size() const
{
    struct stat status = {};
    return descriptor_ >= 0 && ::fstat(descriptor_, &status) == 0 ? std::int64_t(status.st_size)
                                                                  : -1;
}

unsigned SafeFile::mode() const
{
    struct stat status = {};
    return descriptor_ >= 0 && ::fstat(descriptor_, &status) == 0 ? unsigned(status.st_mode & 0777)
                                                                  : 0600u;
}

} // namespace platform
