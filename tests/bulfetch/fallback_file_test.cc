// The machine-wide fallback copy: reading any file into memory, and the
// fallback file's read and rewrite with their stamp rules, modes, times and
// the defences against what other users may leave at the path.
#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/bulfetch/child_process.h"
#include "tests/bulfetch/scratch_dir.h"

using namespace std::literals;

namespace {

struct stat stat_of(const std::string &path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(ReadToMemory, WholeFileWithNulAfterIt)
{
    ScratchDir dir;
    struct Case {
        std::string content;
    } cases[] = {
        {""},
        {"BUL:0 1\nshort\n"},
        {std::string(1023, 'a')},
        {std::string(1024, 'b')},
        {std::string(1025, 'c')},
        {std::string(5000, 'd') + "\0with\0nuls\0"s},
        {std::string(BULFETCH_MAX_FILE, 'e')},
    };
    for (const Case &c : cases) {
        write_file(dir / "f", c.content);
        int fd = open((dir / "f").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        char *buffer = nullptr;
        std::int32_t length = -1;
        ASSERT_EQ(read_to_memory(&buffer, &length, fd), 0) << c.content.size();
        EXPECT_EQ(length, static_cast<std::int32_t>(c.content.size()));
        EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), c.content);
        EXPECT_EQ(buffer[length], '\0');
        // The descriptor is left open for the caller.
        EXPECT_EQ(fcntl(fd, F_GETFD), 0);
        close(fd);
        std::free(buffer);
    }
}

TEST(ReadToMemory, Failures)
{
    ScratchDir dir;
    write_file(dir / "big", std::string(BULFETCH_MAX_FILE + 1, 'x'));
    int fd = open((dir / "big").c_str(), O_RDONLY);
    char *buffer = nullptr;
    std::int32_t length = -1;
    EXPECT_EQ(read_to_memory(&buffer, &length, fd), EFBIG);
    EXPECT_EQ(buffer, nullptr);
    close(fd);
    // /dev/zero never ends: the bound stops it.
    fd = open("/dev/zero", O_RDONLY);
    EXPECT_EQ(read_to_memory(&buffer, &length, fd), EFBIG);
    close(fd);
    EXPECT_EQ(read_to_memory(&buffer, &length, -1), EBADF);
    int wr = open((dir / "big").c_str(), O_WRONLY);
    EXPECT_EQ(read_to_memory(&buffer, &length, wr), EBADF);
    close(wr);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, -1);
}

TEST(GetFallbackFile, ReadsOnlyARegularFileItself)
{
    ScratchDir dir;
    const std::string record = "BUL:0 5\nbody\0tail"s;
    write_file(dir / "real", record);
    write_file(dir / "huge", std::string(BULFETCH_MAX_FILE + 1, 'x'));
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
    ASSERT_EQ(mkdir((dir / "dir").c_str(), 0755), 0);

    struct Case {
        std::string path;
        ErrorCode code;
    } cases[] = {
        {dir / "real", 0},
        {dir / "missing", ENOENT},
        {dir / "link", ELOOP},   // never followed, even to a good file
        {dir / "fifo", EINVAL},  // refused, without waiting for a writer
        {dir / "dir", EINVAL},
        {"/dev/zero", EINVAL},
        {dir / "huge", EFBIG},
    };
    for (const Case &c : cases) {
        char *bulletin = nullptr;
        std::int32_t length = -1;
        EXPECT_EQ(get_fallback_file(&bulletin, &length, c.path.c_str()), c.code) << c.path;
        if (c.code == 0) {
            ASSERT_NE(bulletin, nullptr);
            EXPECT_EQ(std::string(bulletin, static_cast<std::size_t>(length)), record);
            EXPECT_EQ(bulletin[length], '\0');
            std::free(bulletin);
        } else {
            EXPECT_EQ(bulletin, nullptr) << c.path;
        }
    }
    char *b = nullptr;
    std::int32_t n = 0;
    std::string real = dir / "real";
    EXPECT_EQ(get_fallback_file(nullptr, &n, real.c_str()), BUL_MISSING_ARGUMENT);
    EXPECT_EQ(get_fallback_file(&b, nullptr, real.c_str()), BUL_MISSING_ARGUMENT);
    EXPECT_EQ(get_fallback_file(&b, &n, nullptr), BUL_MISSING_ARGUMENT);
}

enum class Before { Absent, Present, Unopenable };
enum class Dated { Untouched, Now, Epoch };

TEST(PutFallbackFile, StampAndOpeningTable)
{
    struct Case {
        const char *record;
        Before before;
        ErrorCode code;
        bool written;
        Dated dated;
    } cases[] = {
        {"BUL:0 42\npositive\n", Before::Present, 0, true, Dated::Now},
        {"BUL:0 42\npositive\n", Before::Absent, 0, true, Dated::Now},
        {"BUL:0 42\npositive\n", Before::Unopenable, ENOTDIR, false, Dated::Untouched},
        {"BUL:0 0\nzero\n", Before::Present, 0, true, Dated::Epoch},
        {"BUL:0 x\nno digits\n", Before::Absent, 0, false, Dated::Untouched},
        {"BUL:0 0\nzero\n", Before::Unopenable, ENOTDIR, false, Dated::Untouched},
        {"BUL:0 -3\nnegative\n", Before::Present, 0, true, Dated::Epoch},
        {"BUL:0 -3\nnegative\n", Before::Absent, 0, true, Dated::Epoch},
        {"BUL:0 -3\nnegative\n", Before::Unopenable, ENOTDIR, false, Dated::Untouched},
        {"garbage", Before::Present, 0, true, Dated::Epoch},  // not examined
        {"BUL", Before::Absent, 0, false, Dated::Untouched},  // too short: stamp 0
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.record) + " before=" + std::to_string(int(c.before)));
        ScratchDir dir;
        std::string path = dir / "messages";
        if (c.before == Before::Present) {
            write_file(path, "an older and longer bulletin than any here\n");
            struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
            utimensat(AT_FDCWD, path.c_str(), old, 0);
        } else if (c.before == Before::Unopenable) {
            write_file(dir / "plain", "x");
            path = dir / "plain/messages";
        }
        std::int32_t length = static_cast<std::int32_t>(std::strlen(c.record));
        time_t start = time(nullptr);
        EXPECT_EQ(put_fallback_file(c.record, length, path.c_str()), c.code);
        if (!c.written) {
            if (c.before == Before::Absent) {
                EXPECT_EQ(access(path.c_str(), F_OK), -1);
            }
            continue;
        }
        struct stat st = stat_of(path);  // before a read moves the access time
        EXPECT_EQ(read_file(path), c.record);
        if (c.dated == Dated::Epoch) {
            EXPECT_EQ(st.st_mtim.tv_sec, 0);
            EXPECT_EQ(st.st_mtim.tv_nsec, 0);
            EXPECT_EQ(st.st_atim.tv_sec, 0);
        } else {
            EXPECT_GE(st.st_mtime, start);
        }
    }
}

TEST(PutFallbackFile, ArgumentsAndExactBytes)
{
    ScratchDir dir;
    std::string path = dir / "messages";
    EXPECT_EQ(put_fallback_file(nullptr, 5, path.c_str()), BUL_MISSING_ARGUMENT);
    EXPECT_EQ(put_fallback_file("BUL:0 1\n", 0, path.c_str()), BUL_MISSING_ARGUMENT);
    EXPECT_EQ(put_fallback_file("BUL:0 1\n", -1, path.c_str()), BUL_NEGATIVE_LENGTH);
    EXPECT_EQ(put_fallback_file("BUL:0 1\n", 8, nullptr), BUL_MISSING_ARGUMENT);
    EXPECT_EQ(access(path.c_str(), F_OK), -1);

    // The length given, NULs included, and nothing after it.
    const std::string record = "BUL:0 7\nA\0B\nC"s;
    ASSERT_EQ(put_fallback_file(record.c_str(), static_cast<std::int32_t>(record.size()),
                                path.c_str()), 0);
    EXPECT_EQ(read_file(path), record);
    ASSERT_EQ(put_fallback_file(record.c_str(), 5, path.c_str()), 0);
    EXPECT_EQ(read_file(path), "BUL:0");  // rewritten, truncated first
}

TEST(PutFallbackFile, CreatedWorldWritableWhateverTheMask)
{
    ScratchDir dir;
    std::string path = dir / "messages";
    mode_t previous = umask(022);
    EXPECT_EQ(put_fallback_file("BUL:0 9\nx\n", 10, path.c_str()), 0);
    mode_t restored = umask(previous);
    EXPECT_EQ(restored, 022u);  // the mask is put back
    EXPECT_EQ(stat_of(path).st_mode & 07777, 0666u);

    // An existing file keeps its mode.
    chmod(path.c_str(), 0644);
    EXPECT_EQ(put_fallback_file("BUL:0 10\ny\n", 11, path.c_str()), 0);
    EXPECT_EQ(stat_of(path).st_mode & 07777, 0644u);
}

TEST(PutFallbackFile, PlantedLinksAndSpecialFilesAreNotWrittenThrough)
{
    ScratchDir dir;
    write_file(dir / "victim", "precious\n");
    ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
    ASSERT_EQ(mkdir((dir / "dir").c_str(), 0755), 0);
    // A second name of a file of ours: where the kernel does not restrict
    // who may make one, anyone may, in the shared directory. One of a file
    // that everyone may write is no such threat, and is written.
    ASSERT_EQ(link((dir / "victim").c_str(), (dir / "hard").c_str()), 0);
    write_file(dir / "shared", "BUL:0 1\nold\n");
    ASSERT_EQ(chmod((dir / "shared").c_str(), 0666), 0);
    ASSERT_EQ(link((dir / "shared").c_str(), (dir / "shared-too").c_str()), 0);
    struct Case {
        std::string path;
        const char *record;
        ErrorCode code;
    } cases[] = {
        {dir / "link", "BUL:0 5\nnew\n", ELOOP},
        {dir / "link", "BUL:0 0\nnew\n", ELOOP},
        {dir / "link", "BUL:0 -5\nnew\n", ELOOP},
        {dir / "dangling", "BUL:0 5\nnew\n", ELOOP},
        {dir / "dangling", "BUL:0 -5\nnew\n", ELOOP},
        {dir / "fifo", "BUL:0 5\nnew\n", ENXIO},  // no reader: refused, not waited on
        {dir / "fifo", "BUL:0 0\nnew\n", ENXIO},
        {dir / "dir", "BUL:0 5\nnew\n", EISDIR},
        {dir / "hard", "BUL:0 5\nnew\n", EMLINK},
        {dir / "hard", "BUL:0 -5\nnew\n", EMLINK},
        {dir / "shared-too", "BUL:0 5\nnew\n", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(put_fallback_file(c.record, static_cast<std::int32_t>(std::strlen(c.record)),
                                    c.path.c_str()), c.code) << c.path << " " << c.record;
    }
    EXPECT_EQ(read_file(dir / "victim"), "precious\n");
    EXPECT_EQ(access((dir / "nowhere").c_str(), F_OK), -1);
    EXPECT_TRUE(S_ISLNK(stat_of(dir / "link").st_mode));

    // A FIFO with a reader is opened, but still not written to.
    int reader = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(put_fallback_file("BUL:0 5\nnew\n", 12, (dir / "fifo").c_str()), EINVAL);
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0);
    close(reader);
}

TEST(PutFallbackFile, ShortAndFailedWritesAreErrors)
{
    // A file size limit makes the kernel write part of the record and then
    // fail the rest, the way a full disk does. With SIGXFSZ at its default
    // too: the limit must fail the write, not end the run (and cost the
    // user the bulletin).
    const std::string record = "BUL:0 STAMP\n" + std::string(300, 'z');
    struct Case {
        const char *stamp;
        sighandler_t xfsz;
    } cases[] = {
        {"7", SIG_IGN}, {"0", SIG_IGN}, {"-7", SIG_IGN}, {"7", SIG_DFL}, {"-7", SIG_DFL},
    };
    for (const Case &c : cases) {
        const char *stamp = c.stamp;
        sighandler_t xfsz = c.xfsz;
        ScratchDir dir;
        std::string path = dir / "messages";
        write_file(path, "old\n");
        struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
        utimensat(AT_FDCWD, path.c_str(), old, 0);
        std::string r = record;
        r.replace(6, 5, stamp);
        int status = run_in_child([&] {
            signal(SIGXFSZ, xfsz);
            struct rlimit limit = {100, 100};
            setrlimit(RLIMIT_FSIZE, &limit);
            if (put_fallback_file(r.c_str(), static_cast<std::int32_t>(r.size()),
                                  path.c_str()) != EFBIG)
                return 1;
            // The signals held over the write are let through again.
            sigset_t held;
            sigprocmask(SIG_BLOCK, nullptr, &held);
            return sigismember(&held, SIGINT) || sigismember(&held, SIGTERM) ? 2 : 0;
        });
        EXPECT_EQ(status, 0) << "stamp " << stamp << " xfsz " << (xfsz == SIG_DFL);
        // Emptied, never left with the head of the record, which a later
        // run would show as a bulletin.
        EXPECT_EQ(read_file(path), "");
        // A failed write returns before the file would be back-dated.
        EXPECT_EQ(stat_of(path).st_mtime != 0, true) << "stamp " << stamp;
    }
}

TEST(PutFallbackFile, AnotherUsersFile)
{
    // The shared directory: world-writable and sticky, owned by root.
    ScratchDir dir;
    std::string shared = dir / "usr-tmp";
    ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
    chmod(shared.c_str(), 01777);
    chmod(dir.path.c_str(), 0755);
    std::string open_file = shared + "/open";
    std::string narrow = shared + "/narrow";
    write_file(open_file, "old\n", 0666);
    chmod(open_file.c_str(), 0666);
    write_file(narrow, "old\n", 0644);
    // Owned by a third user, neither the writer nor the directory's owner.
    ASSERT_EQ(chown(open_file.c_str(), 65533, 65533), 0);
    ASSERT_EQ(chown(narrow.c_str(), 65533, 65533), 0);

    int status = run_in_child([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            return 10;
        if (put_fallback_file("BUL:0 3\nfrom nobody\n", 20, open_file.c_str()) != 0)
            return 11;
        if (put_fallback_file("BUL:0 3\nfrom nobody\n", 20, narrow.c_str()) != EACCES)
            return 12;
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(open_file), "BUL:0 3\nfrom nobody\n");
    EXPECT_EQ(read_file(narrow), "old\n");
}

TEST(FallbackFile, AHeldLockDelaysBrieflyThenIsPassedBy)
{
    // Anyone may hold the lock: held exclusive it would stop every read,
    // held shared every rewrite. After the bounded wait the run goes on
    // without it.
    ScratchDir dir;
    std::string path = dir / "messages";
    write_file(path, "BUL:0 1\nplanted\n", 0666);
    int holder = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    char *bulletin = nullptr;
    std::int32_t length = 0;
    time_t start = time(nullptr);
    ASSERT_EQ(get_fallback_file(&bulletin, &length, path.c_str()), 0);
    EXPECT_EQ(std::string(bulletin, static_cast<std::size_t>(length)), "BUL:0 1\nplanted\n");
    std::free(bulletin);
    ASSERT_EQ(flock(holder, LOCK_SH), 0);
    EXPECT_EQ(put_fallback_file("BUL:0 2\nnew\n", 12, path.c_str()), 0);
    EXPECT_EQ(read_file(path), "BUL:0 2\nnew\n");
    EXPECT_LE(time(nullptr) - start, 3);
    close(holder);
}

TEST(FallbackFile, ConcurrentRunsSeeWholeBulletinsOnly)
{
    // Writers of a short and a long bulletin race with readers: without the
    // lock, the short one lands over the head of the long one.
    ScratchDir dir;
    std::string path = dir / "messages";
    const std::string short_one = "BUL:0 1\n" + std::string(300, 'a') + "\n";
    const std::string long_one = "BUL:0 2\n" + std::string(900, 'b') + "\n";
    ASSERT_EQ(put_fallback_file(long_one.c_str(), static_cast<std::int32_t>(long_one.size()),
                                path.c_str()), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 12; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            // Every run gets through: the lock is held for moments only, and
            // a run that waited it out would go on without it.
            int bad = 0, done = 0;
            for (int k = 0; k < 200; ++k) {
                if (i % 3 != 0) {
                    const std::string &r = (i + k) % 2 ? short_one : long_one;
                    ErrorCode code = put_fallback_file(
                        r.c_str(), static_cast<std::int32_t>(r.size()), path.c_str());
                    bad += code != 0;
                    done += code == 0;
                } else {
                    char *b = nullptr;
                    std::int32_t n = 0;
                    ErrorCode code = get_fallback_file(&b, &n, path.c_str());
                    if (code == 0) {
                        std::string got(b, static_cast<std::size_t>(n));
                        bad += got != short_one && got != long_one;
                        std::free(b);
                        ++done;
                    } else {
                        ++bad;
                    }
                }
            }
            _exit(bad == 0 && done > 0 ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string final_content = read_file(path);
    EXPECT_TRUE(final_content == short_one || final_content == long_one);
}

} // namespace
