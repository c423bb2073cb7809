#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "bulserve/bulserve.h"

namespace {

// Counted, never reset, by the handlers; the serving loop compares them
// with the counts it has dealt with. A count can't be lost between a read
// and a reset, as a flag could.
volatile sig_atomic_t ends = 0;
volatile sig_atomic_t end_signal = 0;
volatile sig_atomic_t hangups = 0;
volatile sig_atomic_t changes = 0;
volatile sig_atomic_t wake_fd = -1;

// A signal that lands after the serving loop has looked at the counts but
// before its receive has begun would not end that receive; an empty
// datagram to the server's own socket does.
void wake()
{
    int saved = errno;
    if (wake_fd >= 0)
        (void)send(wake_fd, "", 0, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = saved;
}

void on_end(int signal)
{
    end_signal = signal;
    ends = ends + 1;
    wake();
}

void on_hangup(int)
{
    hangups = hangups + 1;
    wake();
}

void on_change(int)
{
    changes = changes + 1;
    wake();
}

bool handle(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a signal ends the wait for requests, so that the
    // serving loop sees it at once.
    action.sa_flags = 0;
    return sigaction(signal, &action, nullptr) == 0;
}

}  // namespace

bool bulserve_signals_start(int inotify_fd)
{
    // SIGIO comes from the change notification (set up below) and from
    // the break of a read lease on the bulletin file; either way the file
    // is worth a look.
    if (!handle(SIGTERM, on_end) || !handle(SIGINT, on_end) || !handle(SIGHUP, on_hangup) ||
        !handle(SIGIO, on_change))
        return false;
    int flags = fcntl(inotify_fd, F_GETFL);
    return flags >= 0 && fcntl(inotify_fd, F_SETOWN, getpid()) == 0 &&
           fcntl(inotify_fd, F_SETFL, flags | O_ASYNC | O_NONBLOCK) == 0;
}

SignalCounts bulserve_signals_pending()
{
    SignalCounts counts;
    counts.ends = ends;
    counts.end_signal = end_signal;
    counts.hangups = hangups;
    counts.changes = changes;
    return counts;
}

void bulserve_signals_wake_by(int fd)
{
    wake_fd = fd;
}
