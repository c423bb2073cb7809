#include <sys/inotify.h>
#include <syslog.h>

#include <cerrno>
#include <ctime>

#include "bulserve/bulserve.h"

LoadResult bulserve_refresh(const BulserveOptions &options, ServeState *state, RefreshCause cause)
{
    state->want_load = false;
    FileContent content;
    LoadResult result = bulserve_read_file(options.file, state->writing, &content);
    // The kernel reports a writer's close before it stops counting that
    // writer, so a lease refused when no write has been seen since the
    // last close may be refused only for that moment, and no event would
    // come after it. A few short looks (127 ms at most) tell that from a
    // writer that still holds the file, whose own close brings a new event.
    for (long pause_ms = 1; result.status == LoadStatus::being_written && !state->writing &&
                            pause_ms <= 64;
         pause_ms *= 2) {
        timespec pause{0, pause_ms * 1000000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        result = bulserve_read_file(options.file, state->writing, &content);
    }
    if (state->inotify_fd >= 0) {
        int watch = inotify_add_watch(state->inotify_fd, options.file, BULSERVE_FILE_EVENTS);
        if (watch >= 0)
            state->file_watch = watch;
    }
    Bulletin fresh;
    if (result.status == LoadStatus::ok) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        result = bulserve_take(content, options, state->current, state->highest, now.tv_sec,
                               &fresh);
    }
    // Recorded before it is served: a stamp that clients may have seen
    // must be known to the next run. The directory is the one read at
    // start, -S or the service manager's $STATE_DIRECTORY.
    if (result.status == LoadStatus::ok && result.changed && !options.have_stamp &&
        state->state_dir != nullptr) {
        int error = bulserve_state_save(state->state_dir, fresh);
        if (error != 0) {
            result = LoadResult{};
            result.status = LoadStatus::state_error;
            result.error = error;
        }
    }
    if (result.status != LoadStatus::ok) {
        // Once per cause, not once per event; SIGHUP always says.
        bool repeated = state->last_failure == result.status && state->last_error == result.error;
        if (cause == RefreshCause::hangup || (cause == RefreshCause::change && !repeated))
            bulserve_log_load_failure(options.file, result, "cannot reload", *state);
        state->last_failure = result.status;
        state->last_error = result.error;
        return result;
    }
    state->last_failure = LoadStatus::ok;
    state->last_error = 0;
    if (!options.have_stamp && fresh.stamp > state->highest)
        state->highest = fresh.stamp;
    state->current = fresh;
    if (cause == RefreshCause::start)
        return result;
    if (result.changed)
        bulserve_log(LOG_INFO, "reloaded %s: %zu bytes, stamp %lld", options.file,
                     fresh.file_size, static_cast<long long>(fresh.stamp));
    else if (cause == RefreshCause::hangup)
        bulserve_log(LOG_INFO, "reloaded %s: unchanged, %zu bytes, stamp %lld", options.file,
                     fresh.file_size, static_cast<long long>(fresh.stamp));
    return result;
}
