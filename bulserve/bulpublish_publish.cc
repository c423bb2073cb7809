#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bulserve/bulpublish.h"

namespace {

// Counting stops here: a text this long is refused whatever its exact size.
constexpr long long COUNT_LIMIT = 16 << 20;

// The folder that holds the file, opened for a sync or a lock; -1 on
// failure.
int open_folder(const char *file)
{
    char folder[4096];
    std::snprintf(folder, sizeof folder, "%s", file);
    char *slash = std::strrchr(folder, '/');
    if (slash == nullptr)
        std::snprintf(folder, sizeof folder, ".");
    else if (slash == folder)
        slash[1] = '\0';
    else
        *slash = '\0';
    return open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Reads the text whole, keeping what could fit a record and counting the
// rest; false with errno on a read error.
bool read_text(int fd, char *kept, std::size_t capacity, std::size_t *kept_length,
               long long *total)
{
    char chunk[8192];
    *kept_length = 0;
    *total = 0;
    while (*total < COUNT_LIMIT) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        std::size_t take = capacity - *kept_length;
        if (take > static_cast<std::size_t>(n))
            take = static_cast<std::size_t>(n);
        std::memcpy(kept + *kept_length, chunk, take);
        *kept_length += take;
        *total += n;
    }
    return true;
}

// Puts the record at the file's name in one step: written and synced under
// a temporary name beside it, then renamed over it. A reader (the server,
// a copy to a replica) sees the old bulletin or the new one, never a part.
int replace_file(const char *file, const Bulletin &record)
{
    char temporary[4096];
    int n = std::snprintf(temporary, sizeof temporary, "%s.XXXXXX", file);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof temporary)
        return ENAMETOOLONG;
    int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd < 0)
        return errno;
    // Readable by the server, which runs as a user of its own.
    if (fchmod(fd, 0644) != 0) {
        int error = errno;
        close(fd);
        unlink(temporary);
        return error;
    }
    if (int error = bulserve_commit_file(fd, temporary, file,
                                         std::span<const char>(record.record, record.length));
        error != 0)
        return error;
    int dir_fd = open_folder(file);
    if (dir_fd >= 0) {
        (void)fsync(dir_fd);
        close(dir_fd);
    }
    return 0;
}

// The file at the end of the symbolic links from path, as many as the
// kernel follows; path itself when it is no link. 0 or the errno.
int link_target(const char *path, char *out, std::size_t size)
{
    if (std::snprintf(out, size, "%s", path) >= static_cast<int>(size))
        return ENAMETOOLONG;
    for (int links = 0;; ++links) {
        struct stat st {};
        if (lstat(out, &st) != 0 || !S_ISLNK(st.st_mode))
            return 0;
        if (links == 40)
            return ELOOP;
        char link[PATH_MAX];
        ssize_t n = readlink(out, link, sizeof link - 1);
        if (n < 0)
            return errno;
        link[n] = '\0';
        // A relative target is relative to the link's folder.
        char *slash = std::strrchr(out, '/');
        int length = link[0] == '/' || slash == nullptr
                         ? std::snprintf(out, size, "%s", link)
                         : std::snprintf(slash + 1, size - static_cast<std::size_t>(slash + 1 - out),
                                         "%s", link);
        if (length < 0 || std::strlen(out) + 1 >= size)
            return ENAMETOOLONG;
    }
}

// Picks the stamp and puts the record in place.
int publish_locked(const char *program, const BulpublishOptions &options, const char *file,
                   const char *text, std::size_t length, long long total)
{
    const char *state_dir =
        options.state_dir != nullptr ? options.state_dir : BULPUBLISH_DEFAULT_STATE_DIR;
    Bulletin served;
    int state_error = bulpublish_read_state(state_dir, &served);
    std::int64_t highest = bulpublish_highest(file, served);
    std::int64_t stamp = 0;
    if (!bulserve_next_stamp(highest, std::time(nullptr), &stamp)) {
        std::fprintf(stderr,
                     "%s: no stamp left: stamp %lld has been served and clients can hold no "
                     "larger one\n",
                     program, static_cast<long long>(highest));
        return BULPUBLISH_EXIT_REFUSED;
    }
    Bulletin record;
    if (total >= COUNT_LIMIT ||
        !bulserve_build_record(&record, stamp, std::span<const char>(text, length))) {
        std::size_t limit = bulserve_body_limit(stamp);
        if (total >= COUNT_LIMIT)
            std::fprintf(stderr,
                         "%s: text of more than %lld bytes does not fit one answer; at most "
                         "%zu bytes fit\n",
                         program, COUNT_LIMIT, limit);
        else
            std::fprintf(stderr,
                         "%s: text of %lld bytes does not fit one answer; at most %zu bytes "
                         "fit, so it is %lld bytes too long\n",
                         program, total, limit, total - static_cast<long long>(limit));
        return BULPUBLISH_EXIT_REFUSED;
    }
    int error = replace_file(file, record);
    if (error != 0) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", program, file, std::strerror(error));
        return BULPUBLISH_EXIT_FILE;
    }
    if (state_error != 0) {
        char consequence[200];
        std::snprintf(consequence, sizeof consequence,
                      "a server that has served a stamp above %lld refuses this bulletin (give "
                      "its state directory with -S)", static_cast<long long>(stamp));
        bulpublish_warn_state(program, state_dir, state_error, consequence);
    }
    if (file == options.file)
        std::printf("%s: published stamp %lld, %zu bytes of text\n", options.file,
                    static_cast<long long>(stamp), length);
    else
        std::printf("%s: published stamp %lld, %zu bytes of text, in %s, the file the link "
                    "names\n", options.file, static_cast<long long>(stamp), length, file);
    return BULPUBLISH_EXIT_OK;
}

}  // namespace

int bulpublish_publish(const char *program, const BulpublishOptions &options)
{
    bool from_stdin = options.text == nullptr || std::strcmp(options.text, "-") == 0;
    const char *source = from_stdin ? "standard input" : options.text;
    int fd = from_stdin ? 0 : open(options.text, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", program, source, std::strerror(errno));
        return BULPUBLISH_EXIT_FILE;
    }
    char text[BULLETIN_MAX_REPLY + 1];
    std::size_t length = 0;
    long long total = 0;
    bool read_ok = read_text(fd, text, sizeof text, &length, &total);
    int read_error = errno;
    if (!from_stdin)
        close(fd);
    if (!read_ok) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", program, source,
                     std::strerror(read_error));
        return BULPUBLISH_EXIT_FILE;
    }

    // A symbolic link is published through, at the file it names (made
    // there if it isn't yet): a file renamed over the link would cut it,
    // and what is written at its target afterwards would never be served.
    char target[PATH_MAX];
    const char *file = target;
    if (int error = link_target(options.file, target, sizeof target); error != 0) {
        std::fprintf(stderr, "%s: cannot follow the symbolic link %s: %s; publish at the file "
                     "it should name, or remove the link\n", program, options.file,
                     std::strerror(error));
        return BULPUBLISH_EXIT_FILE;
    }
    if (std::strcmp(target, options.file) == 0)
        file = options.file;
    // Two publications at once would both pick the stamp above the same
    // highest, one stamp for two texts: from the reading of the highest to
    // the rename they go one at a time. A folder that can't be locked
    // (some network file systems) leaves them unordered, as a lock of
    // nothing.
    int lock_fd = open_folder(file);
    if (lock_fd >= 0) {
        while (flock(lock_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    int status = publish_locked(program, options, file, text, length, total);
    if (lock_fd >= 0)
        close(lock_fd);
    return status;
}
