#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "bulserve/bulserve.h"

namespace {

// Reads at most buffer.size() bytes; the count read, or -1 with errno.
ssize_t read_some(int fd, std::span<char> buffer)
{
    std::size_t total = 0;
    while (total < buffer.size()) {
        ssize_t n = read(fd, buffer.data() + total, buffer.size() - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(total);
}

bool same_version(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

LoadResult fail(LoadStatus status, int error, int fd)
{
    LoadResult result;
    result.status = status;
    result.error = error;
    if (fd >= 0)
        close(fd);
    return result;
}

}  // namespace

LoadResult bulserve_read_file(const char *path, bool writing, FileContent *content)
{
    // O_NONBLOCK: a FIFO put in the file's place must not hang the server
    // in open(); it is refused below as not a regular file.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return fail(LoadStatus::system_error, errno, -1);
    struct stat before {};
    if (fstat(fd, &before) != 0)
        return fail(LoadStatus::system_error, errno, fd);
    if (!S_ISREG(before.st_mode))
        return fail(LoadStatus::not_regular, 0, fd);
    // The kernel refuses a read lease with EAGAIN while any process has
    // the file open for writing: the one sure sign that a writer, however
    // slow, has not finished. Taking one needs the file's owner or
    // CAP_LEASE; without it, the watch's record of writes stands in.
    bool leased = fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    if (!leased && errno == EAGAIN)
        return fail(LoadStatus::being_written, 0, fd);
    if (!leased && writing)
        return fail(LoadStatus::being_written, 0, fd);
    // One byte beyond the largest record tells an oversize file from one
    // that fits exactly, whatever the size fstat saw before the read.
    ssize_t n = read_some(fd, std::span<char>(content->bytes, sizeof content->bytes));
    int read_error = errno;
    struct stat after {};
    // Under a lease no write can land; a link made or removed meanwhile
    // changes the file's times but not its bytes.
    bool moved = !leased && n >= 0 && (fstat(fd, &after) != 0 || !same_version(before, after));
    if (leased)
        (void)fcntl(fd, F_SETLEASE, F_UNLCK);
    close(fd);
    if (n < 0)
        return fail(LoadStatus::system_error, read_error, -1);
    // Only without a lease can a write land during the read, leaving bytes
    // of two versions.
    if (moved)
        return fail(LoadStatus::changing, 0, -1);
    content->length = static_cast<std::size_t>(n);
    content->file_size = before.st_size > n ? static_cast<std::int64_t>(before.st_size) : n;
    content->mtime = before.st_mtim;
    content->leased = leased;
    return LoadResult{};
}
