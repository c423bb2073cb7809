#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Writes all of it from the current offset: a short write is continued, so
// a full disk or a file size limit surfaces as the error of the next write.
ErrorCode write_all(int fd, const char *data, std::size_t length)
{
    while (length > 0) {
        ssize_t n = quiet_write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return 0;
}

ErrorCode write_at(int fd, off_t offset, const char *data, std::size_t length)
{
    if (lseek(fd, offset, SEEK_SET) < 0)
        return errno;
    return write_all(fd, data, length);
}

} // namespace

// Both files a run writes are read back by the record checks, which refuse
// anything that does not begin with the magic. So the record is written
// with a NUL in its first byte, from its second byte on, the file cut to
// its length, and the first byte, the 'B' of the magic, written last: until
// that byte lands the file begins with a NUL and reads as no record at all,
// never as a cut or a mixed one.
//
// Room for the whole record is reserved before any of that, so that a full
// disk or a spent quota fails the rewrite while the record already there is
// whole: it stays, and every later run still has it. That is why the new
// record is written over the old one rather than into an emptied file,
// which would give the reserved room back. A file system that can't
// reserve is written all the same. A write that fails once the first byte
// is a NUL empties the file.
//
// The signals that could end or stop the run are held over these few calls,
// so an interrupt takes effect before or after them; only SIGKILL, a crash
// or a power cut can fall in between, and they leave a file that is refused
// whole. SIGPIPE and SIGXFSZ stay out of the mask: quiet_write turns them
// into failed writes, and a blocked one would stay pending and end the run
// once let through. The faults a bad access raises can't be held off.
ErrorCode put_record(int fd, const char *data, std::int32_t length)
{
    if (data == nullptr || length <= 0)
        return BUL_MISSING_ARGUMENT;
    sigset_t held;
    sigset_t before;
    sigfillset(&held);
    for (int sig : {SIGPIPE, SIGXFSZ, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS})
        sigdelset(&held, sig);
    bool masked = sigprocmask(SIG_BLOCK, &held, &before) == 0;

    ErrorCode code = 0;
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS)
        code = errno;
    if (code == 0)
        code = write_at(fd, 0, "", 1);
    bool touched = code == 0;
    std::size_t rest = static_cast<std::size_t>(length) - 1;
    if (code == 0 && rest > 0)
        code = write_at(fd, 1, data + 1, rest);
    if (code == 0 && ftruncate(fd, length) != 0)
        code = errno;
    if (code == 0)
        code = write_at(fd, 0, data, 1);
    if (code != 0 && touched && ftruncate(fd, 0) != 0) {
        // Nothing better is left to do: the first byte was never written,
        // so whatever is there still reads as no record.
    }

    if (masked)
        sigprocmask(SIG_SETMASK, &before, nullptr);
    return code;
}
