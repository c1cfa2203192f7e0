// Feeds arbitrary bytes to the reader of the update check's version file and compares the
// version it offers with itself and with this build's, as the update check does.
#include "base/Version.h"
#include "update/VersionFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const VersionFile file =
        VersionFile::parse(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    const QString current = QString::fromLatin1(kTorvaneVersion);
    if (isNewerVersion(file.version, file.version) ||
        (isNewerVersion(file.version, current) && isNewerVersion(current, file.version)))
        std::abort();
    (void)file.downloadUrl.toDisplayString();
    return 0;
}
