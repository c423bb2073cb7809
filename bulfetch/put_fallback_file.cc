#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Every open of the shared path refuses to follow a symbolic link, so a
// link planted by another user can't aim our rewrite at a file of ours,
// and never waits: a FIFO without a reader fails with ENXIO.
constexpr int kNoSurprises = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Opens the path for writing; the caller rewrites it once it holds the
// lock. An existing file is opened without O_CREAT:
// with fs.protected_regular the kernel refuses an O_CREAT open of another
// user's file in a sticky world-writable directory, which would leave the
// file frozen for everyone but its owner. A missing one is created
// exclusively, mode 0666 whatever our mask, since every user's run must be
// able to rewrite it; should another run create it first, that file is
// opened instead.
int open_for_rewrite(const char *path)
{
    int fd = open(path, O_WRONLY | kNoSurprises);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    mode_t previous = umask(0);
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | kNoSurprises, 0666);
    int saved = errno;
    umask(previous);
    if (fd >= 0 || saved != EEXIST) {
        errno = saved;
        return fd;
    }
    return open(path, O_WRONLY | kNoSurprises);
}

} // namespace

ErrorCode put_fallback_file(const char *bulletin, std::int32_t length,
                            const char *path)
{
    if (bulletin == nullptr || length == 0 || path == nullptr)
        return BUL_MISSING_ARGUMENT;
    if (length < 0)
        return BUL_NEGATIVE_LENGTH;
    std::int32_t stamp =
        bulletin_stamp(std::string_view(bulletin, static_cast<std::size_t>(length)));

    int probe = open(path, O_RDONLY | kNoSurprises);
    if (probe >= 0) {
        struct stat st;
        if (stamp > 0 && fstat(probe, &st) == 0 && S_ISREG(st.st_mode)) {
            // The one-byte read only touches the access time; its result
            // is of no use.
            char byte;
            if (read(probe, &byte, 1) < 0) {
            }
        }
        close(probe);
    } else if (stamp == 0) {
        // A stamp-0 record never creates the file, only refreshes one.
        return errno == ENOENT ? 0 : errno;
    }

    int fd = open_for_rewrite(path);
    if (fd < 0)
        return errno;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        ErrorCode code = errno;
        close(fd);
        return code;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return EINVAL;
    }
    // A second name may be a hard link planted in the shared directory: where
    // the kernel does not forbid it, anyone can make one to a file they can't
    // write but we can (a root login would overwrite whatever it names). A
    // file every user may write gives its linker nothing, and the copy is
    // made so: refusing it too would let anyone freeze the copy by linking
    // it.
    if (st.st_nlink != 1 && (st.st_mode & S_IWOTH) == 0) {
        close(fd);
        return EMLINK;
    }
    // Rewritten under the lock, so that concurrent runs never leave a mix of
    // two bulletins. Anyone may open the file and sit on the lock, though:
    // after the bounded wait the run writes without it, as it would with no
    // lock at all, rather than let a planted bulletin stay for good.
    if (fallback_lock(fd, LOCK_EX) != 0) {
    }
    ErrorCode code = put_record(fd, bulletin, length);
    if (code == 0 && stamp <= 0) {
        // A record without a positive stamp leaves the file dated at the
        // epoch. Set through the descriptor, as the path may have been
        // swapped since the open.
        const struct timespec epoch[2] = {{0, 0}, {0, 0}};
        if (futimens(fd, epoch) != 0)
            code = errno;
    }
    if (close(fd) != 0 && code == 0 && errno != EINTR)
        code = errno;
    return code;
}
