#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "bulserve/bulserve.h"

bool bulserve_std_fds()
{
    // Lowest free descriptor first: each open fills the lowest closed one.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != fd) {
            if (opened >= 0)
                close(opened);
            return false;
        }
    }
    return true;
}
