#include "TerminationSignals.h"

#include <QDebug>
#include <QObject>
#include <QSocketNotifier>

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int wakeFds[2] = {-1, -1};

// Only async-signal-safe calls here: the byte wakes the event loop, which does the work.
void onSignalNumber(int sig)
{
    const char byte = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t written = ::write(wakeFds[0], &byte, 1);
}

void restoreDefaults()
{
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : kSignals)
        sigaction(sig, &dfl, nullptr);
}

} // namespace

void catchTerminationSignals()
{
    if (wakeFds[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wakeFds) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onSignalNumber;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : kSignals)
        sigaction(sig, &action, nullptr);
}

void onTerminationSignal(QObject* context, std::function<void()> onSignal)
{
    catchTerminationSignals();
    if (wakeFds[1] < 0)
        return;
    // A signal caught before this point waits in the socket and is handed over at once.
    auto* notifier = new QSocketNotifier(wakeFds[1], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [notifier, onSignal = std::move(onSignal)] {
                         char sig = 0;
                         if (::read(wakeFds[1], &sig, 1) != 1)
                             return;
                         notifier->setEnabled(false);
                         restoreDefaults();
                         qInfo().noquote() << "Termination signal" << int(sig)
                                           << "received: finishing and quitting.";
                         onSignal();
                     });
}

} // namespace platform
