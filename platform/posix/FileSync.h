#pragma once

class QFile;

namespace platform {

// Asks the system to put the data of the open file on the disk before returning, so that it
// outlives a power loss. The data of every handle on the same file goes with it.
bool syncFileData(QFile& file);

} // namespace platform
