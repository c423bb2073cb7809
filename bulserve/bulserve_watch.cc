#include <sys/inotify.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "bulserve/bulserve.h"

namespace {

// The events of the file's name in its folder: replaced by rename, created,
// removed, written in place, its mode or times changed.
constexpr std::uint32_t FOLDER_EVENTS = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE |
                                        IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                        IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The events of a name on the way to the file: made, removed, renamed
// (`ln -sfn` flips a symbolic link by renaming a new one over it).
constexpr std::uint32_t STEP_EVENTS = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

bool same_name(const char *a, const char *name, std::size_t length)
{
    // The name is padded with NULs up to the event's length.
    std::size_t n = strnlen(name, length);
    return n == std::strlen(a) && std::memcmp(name, a, n) == 0;
}

struct Steps {
    PathWatch *watch;
    int count = 0;
    int folder_error = 0;
};

PathWatch *known(const Steps &steps, int wd, const char *name)
{
    for (int i = 0; i < steps.count; ++i)
        if (steps.watch[i].wd == wd && std::strcmp(steps.watch[i].name, name) == 0)
            return &steps.watch[i];
    return nullptr;
}

bool add_step(int fd, const char *folder, std::string_view name, bool own, Steps *steps)
{
    if (name.size() >= sizeof steps->watch[0].name || steps->count >= BULSERVE_MAX_PATH_WATCHES)
        return false;
    // IN_MASK_ADD: a folder met twice keeps the events of both.
    int wd = inotify_add_watch(fd, folder, (own ? FOLDER_EVENTS : STEP_EVENTS) | IN_MASK_ADD);
    if (wd < 0) {
        if (own)
            steps->folder_error = errno;
        return false;
    }
    PathWatch &w = steps->watch[steps->count];
    std::memcpy(w.name, name.data(), name.size());
    w.name[name.size()] = '\0';
    w.wd = wd;
    w.file_folder = own;
    if (PathWatch *met = known(*steps, wd, w.name))
        met->file_folder = met->file_folder || own;
    else
        ++steps->count;
    return true;
}

// Walks the path as the kernel looks it up, following symbolic links
// (40 at most, as the kernel does), and watches each folder a name is
// looked up in, for that name: a link flipped, a folder moved away or
// one moved in, anywhere on the way, comes as an event. The walk goes as
// far as the names exist, so a dangling link is watched for its target.
void add_steps(int fd, const char *path, Steps *steps)
{
    char done[PATH_MAX];     // where the next name is looked up
    char rest[PATH_MAX];     // the names still to look up
    if (std::strlen(path) >= sizeof rest)
        return;
    std::strcpy(done, path[0] == '/' ? "/" : ".");
    std::strcpy(rest, path);
    for (int links = 0;;) {
        std::string_view left(rest);
        std::size_t at = left.find_first_not_of('/');
        if (at == std::string_view::npos)
            return;
        left.remove_prefix(at);
        std::size_t end = left.find('/');
        std::string_view name = left.substr(0, end);
        bool last = end == std::string_view::npos || left.find_first_not_of('/', end) ==
                                                         std::string_view::npos;
        char next[PATH_MAX];
        std::size_t done_length = std::strlen(done);
        const char *joint = done[done_length - 1] == '/' ? "" : "/";
        int n = std::snprintf(next, sizeof next, "%s%s%.*s", done, joint,
                              static_cast<int>(name.size()), name.data());
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof next)
            return;
        std::string_view after = last ? std::string_view() : left.substr(end);
        // A folder on the way that the server may search but not read
        // can't be watched; the walk goes on to the file's own folder.
        bool step = name != "." && name != "..";
        if (step)
            (void)add_step(fd, done, name, false, steps);
        char target[PATH_MAX];
        ssize_t length = readlink(next, target, sizeof target - 1);
        if (length > 0) {
            if (++links > 40)
                return;
            target[length] = '\0';
            char spliced[PATH_MAX];
            n = std::snprintf(spliced, sizeof spliced, "%s%.*s", target,
                              static_cast<int>(after.size()), after.data());
            if (n < 0 || static_cast<std::size_t>(n) >= sizeof spliced)
                return;
            std::strcpy(rest, spliced);
            if (target[0] == '/')
                std::strcpy(done, "/");
            continue;
        }
        // The name the file itself has, after every link: its writes and
        // closes are watched too, as a writer at work there is the file's.
        if (last) {
            if (step)
                (void)add_step(fd, done, name, true, steps);
            return;
        }
        std::strcpy(done, next);
        std::memmove(rest, after.data(), after.size());
        rest[after.size()] = '\0';
    }
}

const PathWatch *file_step(const ServeState &state)
{
    for (int i = 0; i < state.step_count; ++i)
        if (state.steps[i].file_folder)
            return &state.steps[i];
    return nullptr;
}

bool on_the_way(const ServeState &state, int wd)
{
    for (int i = 0; i < state.step_count; ++i)
        if (state.steps[i].wd == wd)
            return true;
    return false;
}

void take_event(const inotify_event &event, const char *name, ServeState *state)
{
    if (event.mask & IN_Q_OVERFLOW) {
        // Events were lost: look at the way and the file as they are now.
        state->rewatch = true;
        state->want_load = true;
        return;
    }
    if (event.wd == state->file_watch && (event.mask & IN_IGNORED) &&
        !on_the_way(*state, event.wd)) {
        state->file_watch = -1;
        return;
    }
    bool file_event = event.wd == state->file_watch;
    for (int i = 0; i < state->step_count; ++i) {
        const PathWatch &w = state->steps[i];
        if (w.wd != event.wd)
            continue;
        if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
            state->rewatch = true;
        } else if (event.len > 0 && same_name(w.name, name, event.len)) {
            // The name made anew may be a symbolic link now, or another
            // one: its way is walked again.
            if (!w.file_folder || (event.mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                                 IN_MOVED_TO)))
                state->rewatch = true;
            if (w.file_folder)
                file_event = true;
        }
    }
    if (state->rewatch)
        state->want_load = true;
    if (!file_event)
        return;
    // Between a write and the close that follows, the file may be partial.
    if (event.mask & IN_MODIFY)
        state->writing = true;
    // A name made anew is a file its creator may not have written yet, or
    // a finished file linked in, which no close follows: the read tells
    // (bulserve_refresh).
    if (event.mask & IN_CREATE)
        state->created = true;
    if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM)) {
        state->writing = false;
        state->created = false;
    }
    if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB |
                      IN_CREATE))
        state->want_load = true;
}

}  // namespace

int bulserve_rewatch(ServeState *state)
{
    state->rewatch = false;
    PathWatch fresh[BULSERVE_MAX_PATH_WATCHES];
    Steps steps{fresh};
    add_steps(state->inotify_fd, state->path, &steps);
    int error = steps.folder_error;
    PathWatch old{};
    if (const PathWatch *w = file_step(*state))
        old = *w;
    // A folder that left the way is no longer watched: each replacement
    // would otherwise leave a watch behind for as long as the old folder
    // survives somewhere.
    for (int i = 0; i < state->step_count; ++i) {
        int wd = state->steps[i].wd;
        bool kept = wd == state->file_watch;
        for (int j = 0; j < steps.count && !kept; ++j)
            kept = fresh[j].wd == wd;
        if (!kept)
            (void)inotify_rm_watch(state->inotify_fd, wd);
    }
    std::memcpy(state->steps, fresh, sizeof fresh);
    state->step_count = steps.count;
    const PathWatch *now = file_step(*state);
    state->dir_watch = now != nullptr ? now->wd : -1;
    if (now == nullptr || now->wd != old.wd || std::strcmp(now->name, old.name) != 0) {
        // Another folder or name (the name made a link): nothing seen of
        // the old one says anything of the file now at the end of the way.
        state->writing = false;
        state->created = false;
    }
    return error;
}

bool bulserve_watch(const char *path, ServeState *state)
{
    const char *slash = std::strrchr(path, '/');
    state->path = path;
    state->name = slash == nullptr ? path : slash + 1;
    state->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (state->inotify_fd < 0)
        return false;
    int error = bulserve_rewatch(state);
    if (error != 0 && error != ENOENT && error != ENOTDIR) {
        errno = error;
        return false;
    }
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
    if (state->rewatch) {
        int error = bulserve_rewatch(state);
        if (error != 0 && error != ENOENT && error != ENOTDIR)
            bulserve_log(LOG_WARNING, "cannot watch %s for changes: %s; changes are taken "
                         "on SIGHUP", state->path, std::strerror(error));
    }
    // A full buffer may have left events behind.
    return length + sizeof(inotify_event) + NAME_MAX + 1 > sizeof buffer;
}
