#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

// A reader that has gone (SIGPIPE) or a file size limit (SIGXFSZ) would
// otherwise end the run from inside the write, before the bulletin is
// shown and with a status other than 0. Ignored, they fail the write with
// EPIPE or EFBIG instead, which the caller handles like any failed write.
// An ignored signal is discarded, so the old dispositions can come back.
ssize_t quiet_write(int fd, const void *data, std::size_t size)
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction pipe_before {};
    struct sigaction size_before {};
    bool pipe_swapped = sigaction(SIGPIPE, &ignore, &pipe_before) == 0;
    bool size_swapped = sigaction(SIGXFSZ, &ignore, &size_before) == 0;
    ssize_t n = write(fd, data, size);
    int saved = errno;
    if (size_swapped)
        sigaction(SIGXFSZ, &size_before, nullptr);
    if (pipe_swapped)
        sigaction(SIGPIPE, &pipe_before, nullptr);
    errno = saved;
    return n;
}
