#pragma once

#include <QtGlobal>

class QFile;

namespace platform {

// Asks the system to put the data of the open file on the disk before returning, so that it
// outlives a power loss. The data of every handle on the same file goes with it. False: errno
// says why, and what was written since the last good sync may be lost; a failed write.
bool syncFileData(QFile& file);
// Tests make every later sync fail with error, as a failing disk would; 0 syncs for real again.
void setSyncFailureForTest(int error);

// Has the file system set aside room for length bytes of the file from offset on, without
// changing the file's size: later writes there cannot fail for want of space, even when
// something else fills the disk. The file must be open for writing. Returns 0 or the errno:
// ENOSPC or EDQUOT when there is no room, EOPNOTSUPP where the file system cannot do it.
int reserveFileSpace(QFile& file, qint64 offset, qint64 length);
// Gives the room set aside beyond the file's end back to the file system.
void releaseReservedSpace(QFile& file);

} // namespace platform
