#pragma once

#include <functional>

class QObject;

namespace platform {

// Calls onSignal on context's thread when the process is asked to end by SIGTERM, SIGINT or
// SIGHUP (a desktop session logging out, Ctrl+C in a terminal), so that a running recording is
// finished instead of cut off mid-write. Only the first such signal is handed over; a second one
// ends the process as it would without this. Call once, from the GUI thread.
void onTerminationSignal(QObject* context, std::function<void()> onSignal);
// Catches those signals from now on and keeps them for onTerminationSignal, so that one that
// comes while the program is still starting is not lost. Call once, early, from the main thread.
void catchTerminationSignals();

} // namespace platform
