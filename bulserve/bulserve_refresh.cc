#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <ctime>

#include "bulserve/bulserve.h"

namespace {

// Watches the file now at the name, and no longer the one before: a file
// replaced but kept elsewhere (a hard link, a release folder) would keep
// its watch for as long as it lives.
void renew_file_watch(const char *path, ServeState *state)
{
    if (state->inotify_fd < 0)
        return;
    int watch = inotify_add_watch(state->inotify_fd, path, BULSERVE_FILE_EVENTS);
    int old = state->file_watch;
    state->file_watch = watch;
    if (old < 0 || old == watch)
        return;
    for (int i = 0; i < state->step_count; ++i)
        if (state->steps[i].wd == old)
            return;
    (void)inotify_rm_watch(state->inotify_fd, old);
}

// When to look again without an event: after a grace for a file missing
// since a change (its replacement is likely under way), sooner and then
// less often for a failure no event ends, never otherwise.
void plan_retry(const LoadResult &result, RefreshCause cause, ServeState *state)
{
    bool missing = result.status == LoadStatus::system_error && result.error == ENOENT;
    if (missing && cause == RefreshCause::change) {
        if (state->retry_at_ms == 0)
            state->retry_at_ms = bulserve_monotonic_ms() + BULSERVE_MISSING_GRACE_MS;
        return;
    }
    if (result.status == LoadStatus::state_error || result.status == LoadStatus::changing) {
        std::int64_t delay = state->retry_delay_ms * 2;
        state->retry_delay_ms = delay < 1000 ? 1000 : delay > BULSERVE_RETRY_MAX_MS
                                                          ? BULSERVE_RETRY_MAX_MS : delay;
        state->retry_at_ms = bulserve_monotonic_ms() + state->retry_delay_ms;
        return;
    }
    state->retry_at_ms = 0;
    state->retry_delay_ms = 0;
}

}  // namespace

std::int64_t bulserve_monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

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
                            !state->created && pause_ms <= 64;
         pause_ms *= 2) {
        timespec pause{0, pause_ms * 1000000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        result = bulserve_read_file(options.file, state->writing, &content);
    }
    // Without a lease, the events that came up to the end of the read
    // (a name made anew, a write) are taken first. A name made anew is
    // told by what it holds: a creator that has written nothing yet leaves
    // it empty, and one that has written has sent a write event. A
    // finished file linked in (ln, ln -s) holds its text, or has other
    // names even when empty, and no write follows; a name made a symbolic
    // link is no name made anew (bulserve_rewatch).
    if (result.status == LoadStatus::ok && !content.leased) {
        (void)bulserve_watch_events(state);
        struct stat file {};
        bool linked = stat(options.file, &file) == 0 && file.st_nlink > 1;
        bool unfinished = state->writing || (state->created && content.length == 0 && !linked);
        if (unfinished) {
            result = LoadResult{};
            result.status = LoadStatus::being_written;
        }
    }
    renew_file_watch(options.file, state);
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
    plan_retry(result, cause, state);
    if (result.status != LoadStatus::ok) {
        // Once per cause, not once per event; SIGHUP always says. On a
        // change, a missing file (looked at again later), a writer at work
        // (its close brings the next look) and a file that changed while
        // it was read without a lease (looked at again a second later;
        // install's chmod after its close is one) are the course of a
        // replacement.
        bool quiet = cause == RefreshCause::change &&
                     (result.status == LoadStatus::being_written ||
                      result.status == LoadStatus::changing ||
                      (result.status == LoadStatus::system_error && result.error == ENOENT));
        if (quiet)
            return result;
        bool repeated = state->last_failure == result.status && state->last_error == result.error;
        if (cause == RefreshCause::hangup || (cause != RefreshCause::start && !repeated))
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
