#include "CrashHandler.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
// The executable and where it is loaded: frames inside it are written as offsets that
// addr2line resolves against the file. Symbol names are not looked up after a crash, since
// that takes the loader's lock, which the crashed thread may hold.
char g_exePath[kArgMax];
std::uintptr_t g_exeBase = 0;
std::uintptr_t g_exeEnd = 0;

// A stack overflow leaves no room to run the handler on the faulting stack: each thread needs
// one of its own, mapped rather than allocated so that no heap is involved.
constexpr std::size_t kAltStackBytes = 64 * 1024;

struct AltStack
{
    void* memory = nullptr;
    ~AltStack()
    {
        if (memory == nullptr)
            return;
        stack_t off = {};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        ::munmap(memory, kAltStackBytes);
    }
};
thread_local AltStack t_altStack;

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

// The executable lines of /proc/self/maps: where each library was loaded, for the frames
// outside the executable. open, read and write only.
void writeCodeMappings(int fd)
{
    const int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0)
        return;
    char chunk[4096];
    char line[512]; // longer lines (long paths) are cut
    std::size_t length = 0;
    ssize_t n = 0;
    while ((n = ::read(maps, chunk, sizeof(chunk))) > 0 || (n < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] != '\n') {
                if (length < sizeof(line) - 2)
                    line[length++] = chunk[i];
                continue;
            }
            // "start-end perms offset ...": the third letter of perms is x for code.
            const char* perms = static_cast<const char*>(std::memchr(line, ' ', length));
            if (perms && perms + 3 < line + length && perms[3] == 'x') {
                line[length++] = '\n';
                line[length] = '\0';
                writeText(fd, line);
            }
            length = 0;
        }
    }
    ::close(maps);
}

// A symbolic link or another user's file planted as crash.dmp is removed, not written through;
// one that cannot be removed leaves the crash without a dump.
int openDump()
{
    ::unlink("crash.dmp");
    return ::open("crash.dmp", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  S_IRUSR | S_IWUSR);
}

void writeDump(int sig, const siginfo_t* info)
{
    const int fd = openDump();
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
    writeText(fd, "\nExecutable: ");
    writeText(fd, g_exePath);
    writeText(fd, "\nLoad address: ");
    writeHex(fd, g_exeBase);
    writeText(fd, "\nBacktrace (addr2line -f -C -e <executable> <offset after +>):\n");
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    for (int i = 0; i < count; ++i) {
        const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
        writeHex(fd, address);
        if (address >= g_exeBase && address < g_exeEnd) {
            writeText(fd, " torvane+");
            writeHex(fd, address - g_exeBase);
        }
        writeText(fd, "\n");
    }
    writeText(fd, "Code mappings:\n");
    writeCodeMappings(fd);
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

// The first object the loader lists is the executable; its load segments give its range.
int findExecutable(dl_phdr_info* info, std::size_t, void*)
{
    g_exeBase = info->dlpi_addr;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD)
            g_exeEnd = std::max<std::uintptr_t>(g_exeEnd, info->dlpi_addr + segment.p_vaddr +
                                                              segment.p_memsz);
    }
    return 1;
}

} // namespace

void CrashHandler::install(const char* argv0, const char* boxSwitch)
{
    copyBounded(g_argv0, sizeof(g_argv0), argv0 ? argv0 : "torvane");
    copyBounded(g_boxSwitch, sizeof(g_boxSwitch), boxSwitch);
    const ssize_t pathLength = ::readlink("/proc/self/exe", g_exePath, sizeof(g_exePath) - 1);
    g_exePath[pathLength > 0 ? pathLength : 0] = '\0';
    dl_iterate_phdr(findExecutable, nullptr);

    // backtrace() loads its unwinder on first use, which allocates: do that now, not in the
    // handler.
    void* warmUp[4];
    ::backtrace(warmUp, 4);

    installAltStackForThisThread();

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

void CrashHandler::installAltStackForThisThread()
{
    // One set up already (a sanitizer's) is kept: replaced, it would leak.
    stack_t current = {};
    if (t_altStack.memory != nullptr ||
        (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE)))
        return;
    void* memory = ::mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED)
        return;
    stack_t altStack = {};
    altStack.ss_sp = memory;
    altStack.ss_size = kAltStackBytes;
    if (sigaltstack(&altStack, nullptr) != 0) {
        ::munmap(memory, kAltStackBytes);
        return;
    }
    t_altStack.memory = memory;
}

void CrashHandler::crashForTest()
{
    volatile std::uintptr_t address = 0x10;
    *reinterpret_cast<volatile int*>(address) = 1;
    ::abort(); // not reached: the write above faults
}
