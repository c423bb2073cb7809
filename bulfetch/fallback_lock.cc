#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/file.h>

namespace {

std::int64_t monotonic_ns()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

} // namespace

// Every run rewrites the shared fallback file, and two writers that
// rewrite it at the same moment would leave the head of one
// bulletin over the tail of the other. Readers share the lock, writers take
// it alone. Anyone may open the file, so a lock held by a stuck or hostile
// process must not hold up a login: the wait ends half a second after it
// began, by the clock, a legitimate holder needing microseconds. The lock
// is tried every millisecond, so that among many runs at once a waiter
// finds the moments it is free rather than sleeping through them.
ErrorCode fallback_lock(int fd, int operation)
{
    constexpr std::int64_t kWait = 500 * 1000 * 1000;
    constexpr struct timespec kPause = {0, 1000 * 1000};
    const std::int64_t start = monotonic_ns();
    for (;;) {
        if (flock(fd, operation | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return errno;
        if (monotonic_ns() - start + kPause.tv_nsec >= kWait)
            return EWOULDBLOCK;
        nanosleep(&kPause, nullptr);
    }
}
