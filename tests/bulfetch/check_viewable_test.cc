// Whether a user is shown the bulletin, and the seen-stamp file that
// remembers the last one recorded for them.
#include "bulfetch/bulfetch.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/bulfetch/child_process.h"
#include "tests/bulfetch/scratch_dir.h"

namespace {

TEST(CheckViewable, OutcomeTable)
{
    const char *bulletin = "BUL:0 50 extra words\nThe body.\n";
    const std::string header = "BUL:0 50 extra words\n";
    struct Case {
        std::string recorded;  // kAbsent: no file
        bool only_new;
        bool record_seen;
        ErrorCode result;
        bool rewritten;
    } cases[] = {
        {kAbsent, false, true, 0, true},
        {kAbsent, true, true, 0, true},
        {kAbsent, false, false, 0, false},
        {kAbsent, true, false, 0, false},
        {"garbage", false, true, 0, true},
        {"BUL:0 99", true, true, 0, true},           // no LF: malformed
        {"", true, true, 0, true},
        {"BUL:0 99\n", true, false, BUL_ALREADY_SEEN, false},
        {"garbage", true, false, 0, false},
        {"BUL:0 49\n", false, true, 0, true},        // lower stamp
        {"BUL:0 49\n", true, true, 0, true},
        {"BUL:0 49\n", true, false, 0, false},
        {"BUL:0 50\n", false, true, 0, false},       // equal: seen
        {"BUL:0 50\n", false, false, 0, false},
        {"BUL:0 50\n", true, true, BUL_ALREADY_SEEN, false},
        {"BUL:0 50\n", true, false, BUL_ALREADY_SEEN, false},
        {"BUL:0 51 newer\nleft over\n", true, true, BUL_ALREADY_SEEN, false},
        {"BUL:0 99999999999\n", true, true, BUL_ALREADY_SEEN, false},
        // Rewritten whole over a longer record, no tail of it left.
        {"BUL:0 49 and a header line longer than the new one\n", true, true, 0, true},
        // A file past the read bound is still judged by its first line.
        {"BUL:0 99\n" + std::string(BULFETCH_MAX_FILE, 'x'), true, true, BUL_ALREADY_SEEN,
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.recorded.substr(0, 60)) + " only_new=" +
                     std::to_string(c.only_new) + " record_seen=" + std::to_string(c.record_seen));
        ScratchDir home;
        std::string seen = home / ".message_times";
        if (c.recorded != kAbsent) {
            write_file(seen, c.recorded);
            struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
            utimensat(AT_FDCWD, seen.c_str(), old, 0);
        }
        EXPECT_EQ(check_viewable_at(bulletin, c.only_new, c.record_seen, home.path.c_str()),
                  c.result);
        EXPECT_EQ(read_file(seen), c.rewritten ? header : c.recorded);
        if (!c.rewritten && c.recorded != kAbsent) {
            struct stat st {};
            stat(seen.c_str(), &st);
            EXPECT_EQ(st.st_mtime, 1000000);  // not even rewritten in place
        }
    }
}

TEST(CheckViewable, RefusedRecordsTouchNothing)
{
    struct Case {
        const char *bulletin;
        ErrorCode result;
    } cases[] = {
        {"", BUL_NOT_BULLETIN},
        {"not a bulletin\n", BUL_NOT_BULLETIN},
        {"BUL:1 5\nbody\n", BUL_NOT_BULLETIN},
        {"BUL:0 5 no newline", BUL_NO_NEWLINE},
        {"BUL:", BUL_NOT_BULLETIN},
    };
    for (const Case &c : cases) {
        ScratchDir home;
        EXPECT_EQ(check_viewable_at(c.bulletin, false, true, home.path.c_str()), c.result)
            << c.bulletin;
        EXPECT_EQ(read_file(home / ".message_times"), kAbsent);
        EXPECT_EQ(check_viewable(c.bulletin, false, true), c.result) << c.bulletin;
    }
    EXPECT_EQ(check_viewable_at(nullptr, false, true, "/nonexistent"), BUL_MISSING_ARGUMENT);
}

TEST(CheckViewable, SequencesOfRuns)
{
    ScratchDir home;
    std::string seen = home / ".message_times";
    auto run = [&](const char *b, bool only_new, bool record) {
        return check_viewable_at(b, only_new, record, home.path.c_str());
    };
    // No digits: stamp 0, shown and recorded, then refused as seen.
    EXPECT_EQ(run("BUL:0 none\nx\n", true, true), 0);
    EXPECT_EQ(read_file(seen), "BUL:0 none\n");
    EXPECT_EQ(run("BUL:0 none\nx\n", true, true), BUL_ALREADY_SEEN);
    // A negative stamp is older than 0.
    EXPECT_EQ(run("BUL:0 -4\nx\n", true, true), BUL_ALREADY_SEEN);
    // -new with -login: a newer one shows but is not recorded, so again.
    EXPECT_EQ(run("BUL:0 8\nx\n", true, false), 0);
    EXPECT_EQ(run("BUL:0 8\nx\n", true, false), 0);
    EXPECT_EQ(read_file(seen), "BUL:0 none\n");
    // The first LF at offset 5: six bytes recorded, read back as stamp 0.
    unlink(seen.c_str());
    EXPECT_EQ(run("BUL:0\n12 body\n", true, true), 0);
    EXPECT_EQ(read_file(seen), "BUL:0\n");
    EXPECT_EQ(run("BUL:0 0\n", true, true), BUL_ALREADY_SEEN);
    // A NUL ends the bulletin: the LF after it does not count.
    std::string with_nul("BUL:0 9\0\n", 9);
    EXPECT_EQ(run(with_nul.c_str(), false, true), BUL_NO_NEWLINE);
}

TEST(CheckViewable, HomeEdges)
{
    // No home at all: shown, nothing written anywhere.
    EXPECT_EQ(check_viewable_at("BUL:0 1\nx\n", true, true, nullptr), 0);
    // A home that can't be written: the failed write is not reported.
    EXPECT_EQ(check_viewable_at("BUL:0 1\nx\n", true, true, "/nonexistent/home"), 0);
    // The path is home + "/.message_times", nothing removed at the seam.
    ScratchDir home;
    std::string with_slash = home.path + "/";
    EXPECT_EQ(check_viewable_at("BUL:0 3\nx\n", false, true, with_slash.c_str()), 0);
    EXPECT_EQ(read_file(home / ".message_times"), "BUL:0 3\n");
    // Created 0666 under the user's own mask.
    unlink((home / ".message_times").c_str());
    mode_t previous = umask(027);
    check_viewable_at("BUL:0 3\nx\n", false, true, home.path.c_str());
    umask(previous);
    struct stat st {};
    stat((home / ".message_times").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(CheckViewable, ASeenFileThatIsNoPlainFile)
{
    // A FIFO is passed over without waiting for a writer or a reader: no
    // record, nothing written. A symbolic link is followed, and stays one.
    ScratchDir home;
    std::string seen = home / ".message_times";
    ASSERT_EQ(mkfifo(seen.c_str(), 0644), 0);
    int status = run_in_child([&] {
        alarm(5);
        return check_viewable_at("BUL:0 5\nx\n", true, true, home.path.c_str()) == 0 ? 0 : 11;
    });
    EXPECT_EQ(status, 0);
    ASSERT_EQ(unlink(seen.c_str()), 0);
    ASSERT_EQ(mkdir((home / "dotfiles").c_str(), 0755), 0);
    write_file(home / "dotfiles/message_times", "BUL:0 4 a longer older header\n");
    ASSERT_EQ(symlink("dotfiles/message_times", seen.c_str()), 0);
    EXPECT_EQ(check_viewable_at("BUL:0 5\nx\n", true, true, home.path.c_str()), 0);
    EXPECT_EQ(read_file(home / "dotfiles/message_times"), "BUL:0 5\n");
    struct stat st {};
    EXPECT_EQ(lstat(seen.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(check_viewable_at("BUL:0 5\nx\n", true, true, home.path.c_str()),
              BUL_ALREADY_SEEN);
}

TEST(CheckViewable, AStampFromTheSharedCopyAheadOfTheClockIsNotRecorded)
{
    // Anyone can write the shared copy; a stamp from it ahead of the clock
    // by more than the slack is shown but never recorded, or no genuine
    // bulletin would be new again. Within the slack, and from a server,
    // a stamp is recorded as usual.
    const std::int64_t now = time(nullptr);
    struct Case {
        std::int64_t stamp;
        bool from_copy;
        bool recorded;
    } cases[] = {
        {2147483647, true, false},
        {now + BULFETCH_COPY_STAMP_SLACK + 600, true, false},
        {now + BULFETCH_COPY_STAMP_SLACK - 600, true, true},
        {now - 600, true, true},
        {2147483647, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.stamp) + " from_copy=" + std::to_string(c.from_copy));
        ScratchDir home;
        write_file(home / ".message_times", "BUL:0 1000\n");
        const std::string bulletin = "BUL:0 " + std::to_string(c.stamp) + "\nbody\n";
        bulfetch_from_copy = c.from_copy;
        // Shown both times: the first run records it or not, which the
        // second run tells.
        EXPECT_EQ(check_viewable_at(bulletin.c_str(), true, true, home.path.c_str()), 0);
        EXPECT_EQ(check_viewable_at(bulletin.c_str(), true, true, home.path.c_str()),
                  c.recorded ? BUL_ALREADY_SEEN : 0);
        bulfetch_from_copy = false;
    }
}

TEST(CheckViewable, AFileSizeLimitFailsTheRecordQuietly)
{
    // Under a file size limit of 0 the record can't be written; that is
    // ignored like any failed write, and does not end the run by SIGXFSZ.
    ScratchDir home;
    int status = run_in_child([&] {
        signal(SIGXFSZ, SIG_DFL);
        struct rlimit none = {0, 0};
        if (setrlimit(RLIMIT_FSIZE, &none) != 0)
            return 10;
        return check_viewable_at("BUL:0 5\nx\n", true, true, home.path.c_str()) == 0 ? 0 : 11;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(home / ".message_times"), "");
}

TEST(CheckViewable, UserWithoutPasswordEntryIsShownAndNothingRecorded)
{
    // A user id no password entry names: the bulletin is shown and the run
    // has nowhere to record it.
    int status = run_in_child([] {
        uid_t uid = 54321;
        while (getpwuid(uid) != nullptr)
            ++uid;
        if (setuid(uid) != 0)
            return 10;
        if (check_viewable("BUL:0 1\nx\n", true, true) != 0)
            return 11;
        return check_viewable("BUL:0 1\nx\n", true, true) == 0 ? 0 : 12;
    });
    EXPECT_EQ(status, 0);
}

} // namespace
