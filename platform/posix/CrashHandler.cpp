#include "CrashHandler.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 128;
constexpr std::size_t kArgMax = 4096;

// Everything the handler needs is prepared at install time: no allocation after a crash.
char g_argv0[kArgMax];
char g_boxSwitch[64];
char* g_boxArgv[3] = {g_argv0, g_boxSwitch, nullptr};
std::atomic_flag g_handling = ATOMIC_FLAG_INIT;

// A stack overflow leaves no room to run the handler on the faulting stack.
alignas(16) char g_altStack[64 * 1024];

const char* signalName(int sig)
{
    switch (sig) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    default:
        return "unknown signal";
    }
}

// Async-signal-safe output helpers: write(2) only, no stdio, no allocation.
void writeText(int fd, const char* text)
{
    std::size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(fd, text, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
}

void writeDecimal(int fd, long long value)
{
    char buf[24];
    char* p = buf + sizeof(buf);
    *--p = '\0';
    const bool negative = value < 0;
    unsigned long long v = negative ? 0ULL - static_cast<unsigned long long>(value)
                                    : static_cast<unsigned long long>(value);
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative)
        *--p = '-';
    writeText(fd, p);
}

void writeHex(int fd, std::uintptr_t value)
{
    char buf[2 + 2 * sizeof(value) + 1];
    char* p = buf + sizeof(buf);
    *--p = '\0';
    do {
        *--p = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value != 0);
    *--p = 'x';
    *--p = '0';
    writeText(fd, p);
}

void writeDump(int sig, const siginfo_t* info)
{
    const int fd = ::open("crash.dmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    writeText(fd, "Torvane crash report\nSignal: ");
    writeDecimal(fd, sig);
    writeText(fd, " (");
    writeText(fd, signalName(sig));
    writeText(fd, ")\nSignal code: ");
    writeDecimal(fd, info ? info->si_code : 0);
    writeText(fd, "\nFault address: ");
    writeHex(fd, info ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0);
    writeText(fd, "\nProcess id: ");
    writeDecimal(fd, ::getpid());
    writeText(fd, "\nBacktrace:\n");
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, count, fd);
    ::close(fd);
}

pid_t forkFromHandler()
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Unlike fork(), _Fork() runs no atfork handlers and is async-signal-safe.
    return ::_Fork();
#else
    return ::fork();
#endif
}

void showCrashBox()
{
    const pid_t child = forkFromHandler();
    if (child == 0) {
        // The crashing signal is blocked in the handler; the box process must not inherit that.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv("/proc/self/exe", g_boxArgv);
        ::_exit(127);
    }
    if (child < 0)
        return;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

void onFatalSignal(int sig, siginfo_t* info, void*)
{
    // A second thread crashing meanwhile waits for the first one to end the process.
    if (g_handling.test_and_set()) {
        for (;;)
            ::pause();
    }
    writeDump(sig, info);
    showCrashBox();

    // End the way the crash would have ended without us, so the parent sees the real signal.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
}

void copyBounded(char* dest, std::size_t size, const char* src)
{
    std::size_t n = src ? std::strlen(src) : 0;
    if (n >= size)
        n = size - 1;
    if (n > 0)
        std::memcpy(dest, src, n);
    dest[n] = '\0';
}

} // namespace

void CrashHandler::install(const char* argv0, const char* boxSwitch)
{
    copyBounded(g_argv0, sizeof(g_argv0), argv0 ? argv0 : "torvane");
    copyBounded(g_boxSwitch, sizeof(g_boxSwitch), boxSwitch);

    // backtrace() loads its unwinder on first use, which allocates: do that now, not in the
    // handler.
    void* warmUp[4];
    ::backtrace(warmUp, 4);

    stack_t altStack = {};
    altStack.ss_sp = g_altStack;
    altStack.ss_size = sizeof(g_altStack);
    sigaltstack(&altStack, nullptr);

    struct sigaction action = {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A fault inside the handler then kills the process at once instead of re-entering it.
    sigemptyset(&action.sa_mask);
    for (int sig : kFatalSignals)
        sigaddset(&action.sa_mask, sig);
    for (int sig : kFatalSignals)
        sigaction(sig, &action, nullptr);
}

void CrashHandler::crashForTest()
{
    volatile std::uintptr_t address = 0x10;
    *reinterpret_cast<volatile int*>(address) = 1;
    ::abort(); // not reached: the write above faults
}
