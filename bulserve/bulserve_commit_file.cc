#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "bulserve/bulserve.h"

namespace {

bool write_all(int fd, const char *data, std::size_t length)
{
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

// Synced before the rename: once the new name is there, its content must
// survive a crash as well.
int bulserve_commit_file(int fd, const char *temporary, const char *path,
                         std::span<const char> data)
{
    if (!write_all(fd, data.data(), data.size()) || fsync(fd) != 0) {
        int error = errno;
        close(fd);
        unlink(temporary);
        return error;
    }
    if (close(fd) != 0 || rename(temporary, path) != 0) {
        int error = errno;
        unlink(temporary);
        return error;
    }
    return 0;
}
