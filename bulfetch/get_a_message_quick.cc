#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#ifndef BULFETCH_FALLBACK_FILE
#error "BULFETCH_FALLBACK_FILE must name the fallback file"
#endif

namespace {

void on_interrupt(int) {}

// ^C and ^\ end the wait. From here until the process exits or replaces
// itself they are caught, never fatal: the shell running the login hook
// goes on with the rest of the set-up only when the run exits by itself.
// They stay blocked but inside the wait, so one that comes early ends the
// wait as soon as it starts. ^Z is caught as well and stays blocked through
// the wait, so that it neither stops the run (a login would be left with a
// stopped job) nor ends the wait; it is let through, to do nothing, after
// it. A signal that the caller ignores or blocks stays ignored or blocked.
void catch_interrupts(sigset_t *entry_mask, sigset_t *wait_mask)
{
    sigset_t interrupts;
    sigemptyset(&interrupts);
    for (int sig : {SIGINT, SIGQUIT, SIGTSTP})
        sigaddset(&interrupts, sig);
    sigprocmask(SIG_BLOCK, &interrupts, entry_mask);
    *wait_mask = *entry_mask;
    sigaddset(wait_mask, SIGTSTP);
    struct sigaction catcher {};
    catcher.sa_handler = on_interrupt;
    sigemptyset(&catcher.sa_mask);
    catcher.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGQUIT, SIGTSTP}) {
        struct sigaction before {};
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(sig, &catcher, nullptr);
    }
}

struct timespec after_ms(long ms)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += (ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

// The read end does not block, so that a fetch that has not written yet
// (its starter killed before naming it) can't hold up the run.
ErrorCode start_fetch(int ends[2], pid_t *fetch, const char *log_ident,
                      const char *fallback_path)
{
    if (pipe2(ends, O_CLOEXEC) != 0)
        return errno;
    // With SIGCHLD ignored the starter would leave no status, and the wait
    // for it would last until every other child of this process ends.
    struct sigaction reaping {};
    reaping.sa_handler = SIG_DFL;
    sigemptyset(&reaping.sa_mask);
    struct sigaction before {};
    bool swapped = sigaction(SIGCHLD, &reaping, &before) == 0;
    pid_t starter = fork();
    if (starter == 0) {
        close(ends[0]);
        quick_fetch_child(ends[1], log_ident, fallback_path);
    }
    ErrorCode code = starter < 0 ? errno : 0;
    close(ends[1]);
    if (code == 0) {
        while (waitpid(starter, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (fcntl(ends[0], F_SETFL, O_NONBLOCK) != 0 ||
            read(ends[0], fetch, sizeof *fetch) != sizeof *fetch)
            code = BUL_FETCH_LOST;
        else if (*fetch < 0)
            code = -*fetch;
    }
    if (swapped)
        sigaction(SIGCHLD, &before, nullptr);
    if (code != 0)
        close(ends[0]);
    return code;
}

ErrorCode heap_record(const char *bytes, std::size_t n, char **out)
{
    char *copy = static_cast<char *>(std::malloc(n + 1));
    if (copy == nullptr)
        return BUL_NO_MEMORY;
    std::memcpy(copy, bytes, n);
    copy[n] = '\0';
    *out = copy;
    return 0;
}

} // namespace

ErrorCode get_a_message_quick(char **bulletin_out, const char *log_ident)
{
    return get_a_message_quick_using(bulletin_out, log_ident, BULFETCH_FALLBACK_FILE,
                                     BULFETCH_QUICK_WAIT_MS);
}

// The same log lines as a run without -quick, the fetch writing those of
// the server side and of the refresh of the fallback file under its own
// process id, plus one line when the wait ends without the fetch's answer.
ErrorCode get_a_message_quick_using(char **bulletin_out, const char *log_ident,
                                    const char *fallback_path, long wait_ms)
{
    if (bulletin_out == nullptr || log_ident == nullptr || fallback_path == nullptr)
        return BUL_MISSING_ARGUMENT;
    struct timespec deadline = after_ms(wait_ms);
    bulfetch_from_copy = false;
    sigset_t entry_mask;
    sigset_t wait_mask;
    catch_interrupts(&entry_mask, &wait_mask);

    int ends[2] = {-1, -1};
    pid_t fetch = -1;
    ErrorCode code = start_fetch(ends, &fetch, log_ident, fallback_path);

    // Read while the fetch asks, so that the lock wait and the read of the
    // fallback file take nothing from the time left for the answer.
    char *copy = nullptr;
    std::int32_t copy_length = 0;
    ErrorCode copy_code = get_fallback_file(&copy, &copy_length, fallback_path);

    // The wait's own outcome is kept apart from the code the fetch hands
    // over, which may be any code of the server side.
    char handoff[sizeof code + BULLETIN_MAX_REPLY];
    std::size_t got = 0;
    ErrorCode waited = code;
    bool logged = false;
    if (code == 0) {
        waited = quick_wait(ends[0], handoff, sizeof handoff, &got, deadline, &wait_mask);
        close(ends[0]);
        code = waited;
        if (waited == 0 && got < sizeof code) {
            code = BUL_FETCH_LOST;
        } else if (waited == 0) {
            std::memcpy(&code, handoff, sizeof code);
            logged = code != 0;  // by the fetch
        }
    }
    sigprocmask(SIG_SETMASK, &entry_mask, nullptr);

    if (code == 0) {
        std::free(copy);
        return heap_record(handoff + sizeof code, got - sizeof code, bulletin_out);
    }
    if (waited == BUL_INTERRUPTED) {
        syslog(LOG_INFO, "BUL get server wait interrupted, pid %ld goes on; nothing shown",
               static_cast<long>(fetch));
        std::free(copy);
        return code;
    }
    if (waited == BUL_SERVER_TIMEOUT) {
        syslog(LOG_INFO, "BUL get server not done in %ld ms, pid %ld goes on; "
               "using the fallback file", wait_ms, static_cast<long>(fetch));
    } else if (!logged) {
        syslog(LOG_INFO, "BUL get server failed, %s", error_message(code));
    }
    if (copy_code != 0) {
        syslog(LOG_INFO, "BUL put failed, %s", error_message(copy_code));
        return copy_code;
    }
    bulfetch_from_copy = true;
    *bulletin_out = copy;
    return 0;
}
