#include "FileSync.h"

#include <QFile>

#include <unistd.h>

namespace platform {

bool syncFileData(QFile& file)
{
    const int descriptor = file.handle();
    return descriptor >= 0 && ::fdatasync(descriptor) == 0;
}

} // namespace platform
