#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The fallback file lies in a directory every user may write, so whatever
// is at the path may have been planted: a symbolic link is not followed
// (ELOOP), and anything but a regular file is refused with EINVAL before a
// byte is read, so that a FIFO or a device can't hold up a login.
// O_NONBLOCK keeps the open itself from waiting on a FIFO's writer. The
// shared lock keeps a writer from rewriting it under the read; a lock
// held past the bounded wait is passed by, since anyone may take it, and a
// record caught mid-write is refused by the record checks in any case.
ErrorCode get_fallback_file(char **bulletin_out, std::int32_t *length_out,
                            const char *path)
{
    if (bulletin_out == nullptr || length_out == nullptr || path == nullptr)
        return BUL_MISSING_ARGUMENT;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    struct stat st;
    ErrorCode code = 0;
    if (fstat(fd, &st) != 0)
        code = errno;
    else if (!S_ISREG(st.st_mode))
        code = EINVAL;
    else if (st.st_size > BULFETCH_MAX_FILE)
        code = EFBIG;
    else {
        if (fallback_lock(fd, LOCK_SH) != 0) {
        }
        code = read_to_memory(bulletin_out, length_out, fd);
    }
    close(fd);
    return code;
}
