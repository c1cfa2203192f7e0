#include "FileSync.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {
std::atomic<int> failedSyncError{0};
} // namespace

bool syncFileData(QFile& file)
{
    const int descriptor = file.handle();
    const int injected = failedSyncError.load();
    if (descriptor < 0 || injected != 0) {
        errno = descriptor < 0 ? EBADF : injected;
        return false;
    }
    return ::fdatasync(descriptor) == 0;
}

void setSyncFailureForTest(int error)
{
    failedSyncError.store(error);
}

int reserveFileSpace(QFile& file, qint64 offset, qint64 length)
{
    const int descriptor = file.handle();
    if (descriptor < 0)
        return EBADF;
    // Not posix_fallocate: where the file system cannot reserve, it would write zeros instead.
    return ::fallocate(descriptor, FALLOC_FL_KEEP_SIZE, offset, length) == 0 ? 0 : errno;
}

void releaseReservedSpace(QFile& file)
{
    const int descriptor = file.handle();
    struct stat status = {};
    if (descriptor < 0 || ::fstat(descriptor, &status) != 0)
        return;
    // Blocks set aside beyond the end stay the file's until it is cut to its own size (ext4,
    // tmpfs) or they are punched out (file systems that skip a cut to the same size).
    if (::ftruncate(descriptor, status.st_size) != 0)
        return;
    constexpr off_t kToTheEnd = off_t(1) << 50;
    [[maybe_unused]] const int punched = ::fallocate(
        descriptor, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, status.st_size, kToTheEnd);
}

} // namespace platform
