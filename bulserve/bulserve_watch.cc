#include <sys/inotify.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "bulserve/bulserve.h"

namespace {

// The events of the file's name in its folder: replaced by rename, created,
// removed, written in place, its mode or times changed.
constexpr std::uint32_t FOLDER_EVENTS = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE |
                                        IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool is_our_name(const ServeState &state, const char *name, std::size_t length)
{
    // The name is padded with NULs up to the event's length.
    std::size_t n = strnlen(name, length);
    return n == std::strlen(state.name) && std::memcmp(name, state.name, n) == 0;
}

void take_event(const inotify_event &event, const char *name, ServeState *state)
{
    if (event.mask & IN_Q_OVERFLOW) {
        // Events were lost: look at the file as it is now.
        state->want_load = true;
        return;
    }
    if (event.wd == state->dir_watch && (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF))) {
        bulserve_log(LOG_WARNING, "the folder of %s was moved or removed; changes to the "
                     "file are now taken only on SIGHUP", state->name);
        return;
    }
    if (event.wd == state->file_watch && (event.mask & IN_IGNORED)) {
        state->file_watch = -1;
        return;
    }
    bool ours = event.wd == state->dir_watch ? is_our_name(*state, name, event.len)
                                              : event.wd == state->file_watch;
    if (!ours)
        return;
    // Between a write (or the creation of a file by opening it) and the
    // close that follows, the file may be partial.
    if (event.mask & (IN_MODIFY | IN_CREATE))
        state->writing = true;
    if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM))
        state->writing = false;
    // A name made by link or symlink gets no close after it, so a creation
    // is looked at too; a file still being written is refused until its
    // close.
    if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB |
                      IN_CREATE))
        state->want_load = true;
}

}  // namespace

bool bulserve_watch(const char *path, ServeState *state)
{
    const char *slash = std::strrchr(path, '/');
    char folder[4096];
    if (slash == nullptr) {
        std::strcpy(folder, ".");
        state->name = path;
    } else {
        std::size_t n = slash == path ? 1 : static_cast<std::size_t>(slash - path);
        if (n >= sizeof folder) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(folder, path, n);
        folder[n] = '\0';
        state->name = slash + 1;
    }
    state->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (state->inotify_fd < 0)
        return false;
    state->dir_watch = inotify_add_watch(state->inotify_fd, folder, FOLDER_EVENTS);
    if (state->dir_watch < 0)
        return false;
    // The file itself too, for a symbolic link whose target is written in
    // place; renewed each time the file is read, as its inode may change.
    state->file_watch = inotify_add_watch(state->inotify_fd, path, BULSERVE_FILE_EVENTS);
    return true;
}

bool bulserve_watch_events(ServeState *state)
{
    // One read per call: a folder where another program writes without a
    // pause must not keep the server from its requests. What is left is
    // read at the next turn of the serving loop.
    alignas(inotify_event) char buffer[4096];
    ssize_t n = read(state->inotify_fd, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    std::size_t length = static_cast<std::size_t>(n);
    std::size_t at = 0;
    while (length - at >= sizeof(inotify_event)) {
        inotify_event event;
        std::memcpy(&event, buffer + at, sizeof event);
        at += sizeof event;
        if (event.len > length - at)
            break;
        take_event(event, buffer + at, state);
        at += event.len;
    }
    // A full buffer may have left events behind.
    return length + sizeof(inotify_event) + NAME_MAX + 1 > sizeof buffer;
}
