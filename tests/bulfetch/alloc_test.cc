// Allocation failures inside the bulletin client, another run's create
// of the shared copy coming between two of our opens, a run ended in the
// middle of a write, and a disk without room for a record. This binary is
// linked with the client's calls to malloc, realloc, open, write and
// fallocate wrapped, so that while failures are armed every allocation
// returns null, an open can be raced, a write can be cut short by a signal
// and a reservation can fail.
#include "bulfetch/bulfetch.h"
#include "nomicon/nomicon.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/bulfetch/child_process.h"
#include "tests/bulfetch/scratch_dir.h"

namespace {
bool failing = false;

struct FailingAllocations {
    FailingAllocations() { failing = true; }
    ~FailingAllocations() { failing = false; }
};

// When nonzero, every reservation of room in a file fails with it.
int fallocate_error = 0;

// When set, the next open that may create this path finds it created just
// before by another user's run.
const char *raced_path = nullptr;

// When set, the next write of more than one byte to this descriptor puts
// down half of them and raises the signal.
int cut_fd = -1;
int cut_signal = 0;
// When set, a child of this process is killed at its first write: the
// starter of -quick's fetch, before it names the fetch.
pid_t starter_parent = 0;
}  // namespace

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_realloc(void *p, std::size_t size);

void *__wrap_malloc(std::size_t size)
{
    return failing ? nullptr : __real_malloc(size);
}
void *__wrap_realloc(void *p, std::size_t size)
{
    return failing ? nullptr : __real_realloc(p, size);
}

int __real_fallocate(int fd, int mode, off_t offset, off_t length);
int __wrap_fallocate(int fd, int mode, off_t offset, off_t length)
{
    if (fallocate_error == 0)
        return __real_fallocate(fd, mode, offset, length);
    errno = fallocate_error;
    return -1;
}

int __real_open(const char *path, int flags, ...);
int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    if (raced_path != nullptr && (flags & O_CREAT) != 0 && std::strcmp(path, raced_path) == 0) {
        raced_path = nullptr;
        int other = __real_open(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (other < 0 || fchmod(other, 0666) != 0 || fchown(other, 65533, 65533) != 0)
            return -1;
        close(other);
        // What the kernel does with fs.protected_regular set, as Debian
        // sets it: an O_CREAT open without O_EXCL of another user's file in
        // a sticky world-writable directory is refused.
        if ((flags & O_EXCL) == 0) {
            errno = EACCES;
            return -1;
        }
    }
    return __real_open(path, flags, mode);
}

ssize_t __real_write(int fd, const void *data, std::size_t size);
ssize_t __wrap_write(int fd, const void *data, std::size_t size)
{
    if (starter_parent != 0 && getppid() == starter_parent)
        raise(SIGKILL);
    if (fd != cut_fd || size < 2)
        return __real_write(fd, data, size);
    cut_fd = -1;
    ssize_t n = __real_write(fd, data, size / 2);
    raise(cut_signal);
    return n;
}
}

namespace {

// Without memory for the seen-stamp path there is nowhere to look or to
// record: the bulletin is shown, as for a user without a home, and the
// file is neither read nor written.
TEST(Allocation, NoMemoryForTheSeenPathShowsAndRecordsNothing)
{
    ScratchDir home;
    const std::string seen = home / ".message_times";
    const char *bulletin = "BUL:0 50\nbody\n";

    // Normally a record of the same stamp refuses the bulletin under -new.
    write_file(seen, "BUL:0 50\n");
    ASSERT_EQ(check_viewable_at(bulletin, true, true, home.path.c_str()), BUL_ALREADY_SEEN);
    {
        FailingAllocations armed;
        EXPECT_EQ(check_viewable_at(bulletin, true, true, home.path.c_str()), 0);
    }
    EXPECT_EQ(read_file(seen), "BUL:0 50\n");

    // And nothing is created where there was no record.
    ASSERT_EQ(unlink(seen.c_str()), 0);
    {
        FailingAllocations armed;
        EXPECT_EQ(check_viewable_at(bulletin, false, true, home.path.c_str()), 0);
    }
    EXPECT_EQ(read_file(seen), kAbsent);
}

// Reading a file whose buffer can't be had fails with bul+0 and hands
// nothing out.
TEST(Allocation, ReadingWithoutMemoryHandsNothingOut)
{
    ScratchDir dir;
    const std::string path = dir / "data";
    write_file(path, "BUL:0 7\nx\n");
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char *buffer = nullptr;
    std::int32_t length = -1;
    ErrorCode code;
    {
        FailingAllocations armed;
        code = read_to_memory(&buffer, &length, fd);
    }
    close(fd);
    EXPECT_EQ(code, BUL_NO_MEMORY);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(length, -1);
}

// Another run creates the shared copy between our finding it missing and
// our own create: the create is exclusive, so it fails plainly and the file
// the other run made is opened and written, never a file of the same name
// taken for our own.
TEST(RacedOpen, TheSharedCopyCreatedByAnotherRunMeanwhile)
{
    ScratchDir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 01777), 0);
    const std::string path = dir / "messages";
    raced_path = path.c_str();
    EXPECT_EQ(put_fallback_file("BUL:0 3\nraced\n", 14, path.c_str()), 0);
    EXPECT_EQ(raced_path, nullptr);  // the race did happen
    EXPECT_EQ(read_file(path), "BUL:0 3\nraced\n");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65533u);
}

// A record is never left cut, whatever ends the run in the middle of
// writing it: a signal that can be held ends it once the record is whole,
// and SIGKILL leaves a file the record checks refuse.
TEST(CutWrite, ARecordIsWholeOrRefused)
{
    ScratchDir dir;
    const std::string path = dir / "record";
    const std::string record = "BUL:0 1700000000\n" + std::string(64, 'x') + "\n";
    for (int sig : {SIGKILL, SIGTERM, SIGINT}) {
        int status = run_in_child([&] {
            signal(sig, SIG_DFL);
            cut_fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
            cut_signal = sig;
            return put_record(cut_fd, record.data(), static_cast<std::int32_t>(record.size()));
        });
        EXPECT_EQ(status, -1) << strsignal(sig) << " did not end the run";
        const std::string left = read_file(path);
        if (sig == SIGKILL)
            EXPECT_NE(bulletin_check(left), 0) << "a cut record: " << left;
        else
            EXPECT_EQ(left, record) << strsignal(sig);
    }
}

// The starter of -quick's fetch killed before it names the fetch: the run
// does not wait for the fetch, which holds the pipe while a silent name
// server keeps it, but shows the machine's copy at once.
TEST(QuickStart, StarterKilledBeforeTheHandOff)
{
    ScratchDir dir;
    const std::string copy = dir / "messages";
    write_file(copy, "BUL:0 5\ncopy\n", 0666);
    int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr *>(&a), &n), 0);
    res_init();
    _res.nscount = 1;
    _res.nsaddr_list[0] = a;
    nomicon_config_file = "/nonexistent/nomicon.conf";
    setenv("NOM_DOMAIN", ".bulfetch.test", 1);
    nomicon_tuning = (1 << 16) | 3;  // one try of three seconds
    char *bulletin = nullptr;
    starter_parent = getpid();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get_a_message_quick_using(&bulletin, "bulfetch-test", copy.c_str(), 600), 0);
    auto took = std::chrono::steady_clock::now() - start;
    starter_parent = 0;
    close(silent);
    EXPECT_STREQ(bulletin, "BUL:0 5\ncopy\n");
    // Not even the wait for a late answer: the fetch is known lost.
    EXPECT_LT(took, std::chrono::milliseconds(500));
    std::free(bulletin);
}

// A full disk refuses the room for a refresh: the record already there
// stays, whole.
TEST(FullDisk, ARefreshWithoutRoomLeavesThePreviousRecord)
{
    ScratchDir dir;
    const std::string path = dir / "messages";
    write_file(path, "BUL:0 1\nthe previous bulletin\n");
    fallocate_error = ENOSPC;
    EXPECT_EQ(put_fallback_file("BUL:0 2\nnew\n", 12, path.c_str()), ENOSPC);
    fallocate_error = 0;
    EXPECT_EQ(read_file(path), "BUL:0 1\nthe previous bulletin\n");
}

}  // namespace
