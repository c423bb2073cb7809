#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "bulserve/bulserve.h"

void bulserve_refresh(const BulserveOptions &options, ServeState *state, bool force)
{
    struct stat st {};
    if (stat(options.file, &st) != 0) {
        // Keep serving the last good bulletin; say so once per cause, not
        // once per request.
        int error = errno;
        if (!state->have_failed || state->failed_error != error) {
            bulserve_log(LOG_WARNING, "cannot look at %s: %s; still serving stamp %lld",
                         options.file, std::strerror(error),
                         static_cast<long long>(state->current.stamp));
        }
        state->have_failed = true;
        state->failed_error = error;
        state->failed_id = BulletinFileId{};
        return;
    }
    BulletinFileId id = bulserve_file_id(st);
    if (!force) {
        if (bulserve_same_file(id, state->current.id))
            return;
        if (state->have_failed && state->failed_error == 0 && bulserve_same_file(id, state->failed_id))
            return;
        // Rewritten in place, or a file whose last change was a write
        // (created or truncated anew and still being written: a write sets
        // both times to the same instant, while a rename into place or
        // setting the times afterwards moves only the change time), and
        // not settled yet: the current bulletin answers until it is. A
        // change time ahead of the clock (a skewed file server) can't be
        // waited out and is taken at once.
        bool same_inode = id.dev == state->current.id.dev && id.ino == state->current.id.ino;
        bool last_change_a_write =
            id.ctime.tv_sec == id.mtime.tv_sec && id.ctime.tv_nsec == id.mtime.tv_nsec;
        if (same_inode || last_change_a_write) {
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            long long age_ms = (static_cast<long long>(now.tv_sec) - id.ctime.tv_sec) * 1000 +
                               (now.tv_nsec - id.ctime.tv_nsec) / 1000000;
            if (age_ms >= 0 && age_ms < options.settle_ms)
                return;
        }
    }
    Bulletin fresh;
    int fresh_fd = -1;
    LoadResult result = bulserve_load(options.file, options, &fresh, &fresh_fd);
    if (result.status != LoadStatus::ok) {
        bulserve_log_load_failure(options.file, result, "cannot reload");
        bulserve_log(LOG_WARNING, "still serving stamp %lld",
                     static_cast<long long>(state->current.stamp));
        state->have_failed = true;
        state->failed_error = 0;
        state->failed_id = id;
        return;
    }
    state->current = fresh;
    if (state->pinned_fd >= 0)
        close(state->pinned_fd);
    state->pinned_fd = fresh_fd;
    state->have_failed = false;
    state->failed_error = 0;
    bulserve_log(LOG_INFO, "reloaded %s: %zu bytes, stamp %lld", options.file,
                 fresh.length, static_cast<long long>(fresh.stamp));
}
