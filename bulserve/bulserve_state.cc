#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bulserve/bulserve.h"

namespace {

bool state_path(const char *dir, const char *name, char *out, std::size_t size)
{
    int n = std::snprintf(out, size, "%s/%s", dir, name);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

LoadResult state_failure(LoadStatus status, int error)
{
    LoadResult result;
    result.status = status;
    result.error = error;
    return result;
}

}  // namespace

LoadResult bulserve_state_load(const char *dir, Bulletin *served)
{
    char path[4096];
    if (!state_path(dir, BULSERVE_STATE_NAME, path, sizeof path))
        return state_failure(LoadStatus::state_error, ENAMETOOLONG);
    FileContent content;
    LoadResult read = bulserve_read_file(path, false, &content);
    if (read.status == LoadStatus::system_error && read.error == ENOENT) {
        *served = Bulletin{};
        return LoadResult{};
    }
    if (read.status != LoadStatus::ok)
        return state_failure(LoadStatus::state_error, read.status == LoadStatus::system_error
                                                          ? read.error : EINVAL);
    std::int64_t stamp = 0;
    std::size_t body_at = 0;
    std::span<const char> bytes(content.bytes, content.length);
    Bulletin record;
    if (bulserve_record_form(bytes, &stamp, &body_at) != RecordForm::published ||
        !bulserve_build_record(&record, stamp, bytes.subspan(body_at)))
        return state_failure(LoadStatus::state_error, EINVAL);
    record.file_size = content.length - body_at;
    *served = record;
    return LoadResult{};
}

int bulserve_state_save(const char *dir, const Bulletin &served)
{
    char path[4096];
    char temporary[4096];
    if (!state_path(dir, BULSERVE_STATE_NAME, path, sizeof path) ||
        !state_path(dir, ".served.new", temporary, sizeof temporary))
        return ENAMETOOLONG;
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return errno;
    // Synced before the rename, and the folder after it: the record must
    // survive a crash once the stamp in it has gone out to clients.
    if (int error = bulserve_commit_file(fd, temporary, path,
                                         std::span<const char>(served.record, served.length));
        error != 0)
        return error;
    int dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0)
        return errno;
    int error = fsync(dir_fd) == 0 ? 0 : errno;
    close(dir_fd);
    return error;
}
