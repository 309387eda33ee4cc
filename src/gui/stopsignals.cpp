#include "stopsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/interrupt.h"

namespace {

// The handler may only touch an atomic and write a byte: the event loop does
// the rest when it reads that byte.
int gWriteFd = -1;

void OnSignal(int signal)
{
    link::RequestStop(signal);
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gWriteFd, &byte, 1);
}

} // namespace

StopSignals::StopSignals(int readFd)
    : QObject(QCoreApplication::instance()), readFd_(readFd),
      notifier_(new QSocketNotifier(readFd, QSocketNotifier::Read, this))
{
    connect(notifier_, &QSocketNotifier::activated, this, &StopSignals::Arrived);
}

void StopSignals::Catch()
{
    if (gWriteFd >= 0)
        return;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return;
    gWriteFd = fds[0];
    new StopSignals(fds[1]);
    struct sigaction action
    {
    };
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGHUP, SIGINT})
        sigaction(signal, &action, nullptr);
}

int StopSignals::Received()
{
    return link::StopSignal();
}

void StopSignals::Arrived()
{
    char bytes[16];
    while (::read(readFd_, bytes, sizeof bytes) > 0) {
    }
    // exit(), not quit(): a running operation or reading run refuses to close
    // the window, and this must end the program all the same. Every event loop
    // ends as soon as control returns to it.
    QCoreApplication::exit(128 + link::StopSignal());
}
