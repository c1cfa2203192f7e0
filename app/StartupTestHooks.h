#pragma once

// Faults on request, so that the process-level tests can see the crash path, fatal messages and
// the standard stream redirection of a real run. Set TORVANE_TEST_HOOK to:
//   "crash"  an invalid memory write,
//   "fatal"  a fatal Qt message,
//   "stdio"  one line to std::cout and one to std::cerr.
// Unset (the normal case), nothing happens.
class StartupTestHooks
{
public:
    // Queues the requested action to run once the event loop runs.
    static void scheduleFromEnvironment();
};
