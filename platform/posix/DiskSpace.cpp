#include "DiskSpace.h"

#include <QFile>

#include <sys/statvfs.h>

namespace platform {
namespace {

std::optional<std::int64_t> systemFreeBytes(const QString& folder)
{
    struct statvfs info = {};
    if (statvfs(QFile::encodeName(folder).constData(), &info) != 0)
        return std::nullopt;
    // The blocks kept for root do not count: the recording does not run as root.
    return std::int64_t(info.f_bavail) * std::int64_t(info.f_frsize);
}

FreeSpaceQuery& replacedQuery()
{
    static FreeSpaceQuery query;
    return query;
}

} // namespace

std::optional<std::int64_t> freeDiskBytes(const QString& folder)
{
    const FreeSpaceQuery& query = replacedQuery();
    return query ? query(folder) : systemFreeBytes(folder);
}

void setFreeSpaceQuery(FreeSpaceQuery query)
{
    replacedQuery() = std::move(query);
}

} // namespace platform
