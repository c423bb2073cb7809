#include <fcntl.h>
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

}  // namespace

namespace {

LoadResult load_once(const char *path, const BulserveOptions &options, Bulletin *bulletin,
                     int *pin_fd)
{
    LoadResult result;
    // O_NONBLOCK: a FIFO put in the file's place must not hang the server
    // in open(); it is refused below as not a regular file.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        result.status = LoadStatus::system_error;
        result.error = errno;
        return result;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        result.status = LoadStatus::system_error;
        result.error = errno;
        close(fd);
        return result;
    }
    if (!S_ISREG(st.st_mode)) {
        result.status = LoadStatus::not_regular;
        close(fd);
        return result;
    }
    std::int64_t stamp = options.have_stamp ? options.stamp : static_cast<std::int64_t>(st.st_mtime);
    std::size_t limit = bulserve_body_limit(stamp);
    // One byte beyond the limit tells an oversize file from one that fits
    // exactly, whatever the size that fstat saw before the read.
    char body[BULLETIN_MAX_REPLY + 1];
    ssize_t n = read_some(fd, std::span<char>(body, limit + 1));
    int read_error = errno;
    // A write that landed while we read leaves bytes of two versions.
    struct stat after {};
    bool changed = n >= 0 && (fstat(fd, &after) != 0 ||
                              !bulserve_same_file(bulserve_file_id(st), bulserve_file_id(after)));
    Bulletin fresh;
    bool fits = n >= 0 && !changed &&
                bulserve_build_record(&fresh, stamp, std::span<const char>(body, static_cast<std::size_t>(n)));
    if (fits && pin_fd != nullptr)
        *pin_fd = fd;
    else
        close(fd);
    if (n < 0) {
        result.status = LoadStatus::system_error;
        result.error = read_error;
        return result;
    }
    if (changed) {
        result.status = LoadStatus::changing;
        return result;
    }
    if (!fits) {
        result.status = LoadStatus::too_big;
        result.size = st.st_size > n ? static_cast<std::int64_t>(st.st_size) : n;
        result.limit = limit;
        return result;
    }
    fresh.id = bulserve_file_id(st);
    *bulletin = fresh;
    return result;
}

}  // namespace

LoadResult bulserve_load(const char *path, const BulserveOptions &options, Bulletin *bulletin,
                         int *pin_fd)
{
    LoadResult result;
    for (int attempt = 0; attempt < 3; ++attempt) {
        result = load_once(path, options, bulletin, pin_fd);
        if (result.status != LoadStatus::changing)
            break;
    }
    return result;
}
