#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Every descriptor from 3 up but keep.
void close_all_but(int keep)
{
    unsigned first = 3;
    if (keep >= 3) {
        if (keep > 3 && close_range(3, static_cast<unsigned>(keep) - 1, 0) != 0) {
            for (int fd = 3; fd < keep; ++fd)
                close(fd);
        }
        first = static_cast<unsigned>(keep) + 1;
    }
    if (close_range(first, ~0U, 0) == 0)
        return;
    // Kernels before 5.9: as far as the descriptor limit goes.
    long limit = sysconf(_SC_OPEN_MAX);
    if (limit < 0 || limit > 65536)
        limit = 65536;
    for (long fd = first; fd < limit; ++fd)
        close(static_cast<int>(fd));
}

// A hangup or an interrupt meant for the login must not end the fetch,
// nor a gone reader (SIGPIPE) the write of its hand-off. Ignoring also
// discards what is pending, so the mask can then be cleared.
void ignore_signals()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE})
        sigaction(sig, &ignore, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// The fetch outlives the login that started it, so it holds nothing of it:
// a terminal would send it the login's signals and keep it from being
// revoked; an inherited pipe or socket (the standard output of "ssh host
// cmd", a multiplexer's pane) would keep its reader waiting for an end of
// file until the fetch is over; a working directory would keep a file
// system busy. The log socket is reopened, since its descriptor is among
// those closed.
void detach(int &fd, const char *log_ident)
{
    setsid();
    closelog();
    if (chdir("/") != 0) {
    }
    // The pipe is moved above the standard descriptors first, so that
    // neither the /dev/null copies nor the sweep below can take it.
    if (fd <= 2) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = moved;
    }
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int std_fd = 0; std_fd <= 2; ++std_fd) {
        if (null >= 0 && null != std_fd)
            dup2(null, std_fd);
        else if (null < 0)
            close(std_fd);
    }
    if (null > 2)
        close(null);
    close_all_but(fd);
    openlog(log_ident, LOG_PID, LOG_USER);
}

// The hand-off goes first and in one write (at most PIPE_BUF bytes, so it
// is never split nor held up), so that the waiting run gets the bulletin
// before the fallback file is touched; the file is refreshed after it,
// whether or not anyone still waits.
[[noreturn]] void fetch_in_background(int fd, const char *log_ident,
                                      const char *fallback_path)
{
    detach(fd, log_ident);
    char *bulletin = nullptr;
    std::int32_t length = 0;
    ErrorCode code = ask_first_server(&bulletin, &length);
    if (code != 0)
        syslog(LOG_INFO, "BUL get server failed, %s", error_message(code));

    char handoff[sizeof code + BULLETIN_MAX_REPLY];
    static_assert(sizeof handoff <= PIPE_BUF, "the hand-off must be one atomic write");
    std::size_t size = sizeof code;
    std::memcpy(handoff, &code, sizeof code);
    if (code == 0 && length > 0) {
        std::size_t n = static_cast<std::size_t>(length);
        if (n > BULLETIN_MAX_REPLY)
            n = BULLETIN_MAX_REPLY;
        std::memcpy(handoff + size, bulletin, n);
        size += n;
    }
    if (fd >= 0) {
        if (write(fd, handoff, size) < 0) {
        }
        close(fd);
    }

    if (code == 0) {
        code = put_fallback_file(bulletin, length, fallback_path);
        if (code != 0)
            syslog(LOG_INFO, "BUL put failed, %s", error_message(code));
    }
    _exit(0);
}

} // namespace

// The fetch is a grandchild: this child forks it and exits at once, so it
// is never a child of the run, nor of the program the run may become
// (-vane), which could reap it or wait on it unawares. The fetch's process
// id (or minus the error of the fork) goes into the pipe first: the fetch
// writes nothing before this process is gone.
void quick_fetch_child(int fd, const char *log_ident, const char *fallback_path)
{
    ignore_signals();
    int go[2];
    pid_t fetch = -1;
    if (pipe2(go, O_CLOEXEC) != 0) {
        fetch = -errno;
    } else if ((fetch = fork()) == 0) {
        close(go[1]);
        char byte;
        while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
        }
        close(go[0]);
        fetch_in_background(fd, log_ident, fallback_path);
    } else if (fetch < 0) {
        fetch = -errno;
    }
    if (write(fd, &fetch, sizeof fetch) < 0) {
    }
    _exit(0);
}
