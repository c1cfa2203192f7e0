#pragma once

// Catches the fatal signals of a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), writes
// "crash.dmp" into the current working directory (signal, fault address, the backtrace as raw
// addresses with the executable's load address and the code mappings, for addr2line; mode 0600;
// an older dump, or a link in its place, is replaced) and has the crash message shown by a
// fresh copy of this executable, started as `argv0 boxSwitch`. The crashed process waits for
// that copy to end and then dies of the original signal.
//
// The message box is not shown from the handler itself: a crashed process may hold any lock
// (the heap's, Qt's), so only async-signal-safe calls are made there.
class CrashHandler
{
public:
    // Call once, before any other thread exists. `argv0` becomes the new copy's argv[0], so
    // that it keeps this program's name and therefore its configuration folder.
    static void install(const char* argv0, const char* boxSwitch);

    // Gives the calling thread a stack of its own for the handler, so that a stack overflow there
    // is still reported; freed when the thread ends. Each thread Torvane starts calls it first;
    // install() does for the main thread. Calls after the first do nothing.
    static void installAltStackForThisThread();

    // Makes an invalid memory write at address 0x10: the crash path, on purpose, for tests.
    [[noreturn]] static void crashForTest();
};
