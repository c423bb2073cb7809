#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

// What is left until the deadline, never negative.
struct timespec remaining(const struct timespec &deadline)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::int64_t ns = (deadline.tv_sec - now.tv_sec) * 1000000000LL +
                      (deadline.tv_nsec - now.tv_nsec);
    if (ns < 0)
        ns = 0;
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

} // namespace

// ppoll swaps in the wait mask only for the wait itself, so an interrupt
// that came while the caller had it blocked (during the fallback read)
// ends the wait at once instead of being lost. poll calls are never
// restarted after a handler, SA_RESTART or not: EINTR here means one ran.
ErrorCode quick_wait(int fd, char *buffer, std::size_t capacity,
                     std::size_t *length, const struct timespec &deadline,
                     const sigset_t *wait_mask)
{
    if (buffer == nullptr || length == nullptr)
        return BUL_MISSING_ARGUMENT;
    std::size_t total = 0;
    for (;;) {
        struct pollfd readable = {fd, POLLIN, 0};
        struct timespec left = remaining(deadline);
        int ready = ppoll(&readable, 1, &left, wait_mask);
        if (ready < 0)
            return errno == EINTR ? BUL_INTERRUPTED : errno;
        if (ready == 0)
            return BUL_SERVER_TIMEOUT;
        // One byte of room beyond the capacity tells an overlong hand-off
        // from one that fills it exactly.
        char spill;
        char *into = total < capacity ? buffer + total : &spill;
        std::size_t room = total < capacity ? capacity - total : 1;
        ssize_t n = read(fd, into, room);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return errno;
        }
        if (n == 0)
            break;
        if (total >= capacity)
            return EFBIG;
        total += static_cast<std::size_t>(n);
    }
    *length = total;
    return 0;
}
