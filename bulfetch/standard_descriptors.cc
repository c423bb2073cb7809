#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// A run started with descriptor 0, 1 or 2 closed would hand that number to
// the first thing it opens: the log socket taking descriptor 1 would receive
// the bulletin as log lines, which anyone who can write the shared copy
// could then forge. /dev/null is opened read-only in each closed slot, so a
// write there still fails with EBADF as it did on the closed descriptor,
// and a read ends at once. Not close-on-exec: the notice program inherits
// the same protection.
ErrorCode standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lower descriptors are open by now, so the lowest free one is fd.
        int null_fd = open("/dev/null", O_RDONLY | O_NOCTTY);
        if (null_fd < 0)
            return errno;
        if (null_fd != fd) {
            int moved = dup2(null_fd, fd);
            ErrorCode code = moved < 0 ? errno : 0;
            close(null_fd);
            if (code != 0)
                return code;
        }
    }
    return 0;
}
