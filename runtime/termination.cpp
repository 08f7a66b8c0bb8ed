#include "termination.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rt {

namespace {
int g_pipe[2] = {-1, -1};
volatile std::sig_atomic_t g_requested = 0;
// Lock-free, so the signal handler may set it.
std::atomic<bool> g_cancel{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onSignal(int)
{
    g_requested = 1;
    g_cancel.store(true);
    const char byte = 1;
    // Only async-signal-safe work here: wake the event loop.
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
}
} // namespace

bool terminationRequested()
{
    return g_requested != 0;
}

void requestCancel()
{
    g_cancel.store(true);
}

bool cancelRequested()
{
    return g_cancel.load(std::memory_order_relaxed);
}

void clearCancel()
{
    g_cancel.store(false);
}

void installTerminationHandler()
{
    if (g_pipe[0] >= 0 || !QCoreApplication::instance())
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0)
        return;
    ::fcntl(g_pipe[1], F_SETFL, O_NONBLOCK);
    auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char buf[16];
        [[maybe_unused]] const ssize_t n = ::read(g_pipe[0], buf, sizeof buf);
        // exit() ends every running loop, a modal dialog's included, also
        // before the main loop has started.
        QCoreApplication::exit(0);
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
}

} // namespace rt
