#include "ThreadPriority.h"

#include <cerrno>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

bool lowerThisThreadPriority(int steps)
{
    // On Linux the nice value belongs to the thread, addressed by its thread id.
    const auto thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, thread);
    if (current == -1 && errno != 0)
        return false;
    return setpriority(PRIO_PROCESS, thread, current + steps) == 0;
}

} // namespace platform
