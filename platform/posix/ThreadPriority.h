#pragma once

namespace platform {

// Makes the calling thread (and the threads it starts from now on, which inherit it) yield to
// the process's other threads and to the display server when the cores are busy: the encoder's
// work can wait in the queue, a capture that misses its slot cannot be made up. Steps are nice
// levels, added to the thread's own. Returns false when the system refuses.
bool lowerThisThreadPriority(int steps);

} // namespace platform
