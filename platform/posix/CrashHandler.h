#pragma once

// Catches the fatal signals of a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), writes
// "crash.dmp" into the current working directory (signal, fault address, backtrace; an older
// dump is overwritten) and has the crash message shown by a fresh copy of this executable,
// started as `argv0 boxSwitch`. The crashed process waits for that copy to end and then dies
// of the original signal.
//
// The message box is not shown from the handler itself: a crashed process may hold any lock
// (the heap's, Qt's), so only async-signal-safe calls are made there.
class CrashHandler
{
public:
    // Call once, before any other thread exists. `argv0` becomes the new copy's argv[0], so
    // that it keeps this program's name and therefore its configuration folder.
    static void install(const char* argv0, const char* boxSwitch);

    // Makes an invalid memory write at address 0x10: the crash path, on purpose, for tests.
    [[noreturn]] static void crashForTest();
};
