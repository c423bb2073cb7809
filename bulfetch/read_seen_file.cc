#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The file is the user's, but it need not be a regular file: a FIFO there
// must not hold up a login, so the open never waits and anything but a
// regular file counts as no record. A symbolic link is followed (dotfiles
// are often kept as links). Only the head of the file is read: the record
// is its first line, and a file grown past the bound is still judged by it.
ErrorCode read_seen_file(const char *path, char **content_out, std::int32_t *length_out,
                         struct stat *st)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    ErrorCode code = fstat(fd, st) != 0 ? errno : S_ISREG(st->st_mode) ? 0 : EINVAL;
    if (code == 0)
        code = read_head(content_out, length_out, fd, BULFETCH_MAX_FILE);
    close(fd);
    return code;
}
