#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <ctime>
#include <sys/file.h>

// Every run rewrites the shared fallback file, and two writers that
// truncate and write at the same moment would leave the head of one
// bulletin over the tail of the other. Readers share the lock, writers take
// it alone. Anyone may open the file, so a lock held by a stuck or hostile
// process must not hold up a login: the wait is bounded, a legitimate
// holder needing microseconds.
ErrorCode fallback_lock(int fd, int operation)
{
    constexpr int kTries = 50;
    constexpr struct timespec kPause = {0, 10 * 1000 * 1000};
    for (int i = 0;; ++i) {
        if (flock(fd, operation | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return errno;
        if (i + 1 == kTries)
            return EWOULDBLOCK;
        nanosleep(&kPause, nullptr);
    }
}
