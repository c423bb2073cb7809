// The notice mode: the process becomes the notice program with a fixed
// argument vector, or stays to log why it could not.
#include "bulfetch/bulfetch.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/bulfetch/child_process.h"
#include "tests/bulfetch/scratch_dir.h"

using namespace std::literals;

namespace {

std::vector<std::string> recorded_argv(const std::string &path)
{
    std::vector<std::string> out;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return out;
    std::string all;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        all.append(buf, static_cast<std::size_t>(n));
    close(fd);
    for (std::size_t start = 0; start < all.size();) {
        std::size_t end = all.find('\0', start);
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The user name the run is expected to use: the login name, else the
// password entry's.
std::string expected_user()
{
    if (const char *login = getlogin(); login != nullptr && *login != '\0')
        return login;
    const struct passwd *pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : "";
}

TEST(ViewMessageByVane, BecomesTheNoticeProgramWithTheBodyAsOneArgument)
{
    struct Case {
        std::string bulletin;
        std::string body;
    } cases[] = {
        {"BUL:0 3\nfirst line\nsecond line\n", "first line\nsecond line\n"},
        {"BUL:0 3\nno newline at the end", "no newline at the end"},
        {"BUL:0 3\nbefore nul\0after"s, "before nul"},
        {"BUL:0\n-m -d \x1b[1m\n", "-m -d \x1b[1m\n"},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        std::string record = dir / "argv";
        int status = run_in_child([&] {
            setenv("ARGV_RECORD_FILE", record.c_str(), 1);
            view_message_by_vane_using(c.bulletin.c_str(), ARGV_RECORD_PROGRAM);
            return 99;  // still here: the process was not replaced
        });
        EXPECT_EQ(status, 7);
        std::vector<std::string> expected = {"vwrite", "-d", "-q", "-n", expected_user(),
                                             "-m", c.body};
        EXPECT_EQ(recorded_argv(record), expected);
    }
}

TEST(ViewMessageByVane, ReturnsWhenNothingIsStarted)
{
    ScratchDir dir;
    std::string record = dir / "argv";
    struct Case {
        const char *bulletin;
        std::string program;
    } cases[] = {
        {"BUL:0 3\n", ARGV_RECORD_PROGRAM},           // empty body: nothing sent
        {"BUL:0 3\nbody\n", dir / "absent-program"},  // failed start: logged
        {"BUL:0 3\nbody\n", dir.path},                // a directory
    };
    for (const Case &c : cases) {
        int status = run_in_child([&] {
            setenv("ARGV_RECORD_FILE", record.c_str(), 1);
            view_message_by_vane_using(c.bulletin, c.program.c_str());
            return 0;
        });
        EXPECT_EQ(status, 0) << c.program;
        EXPECT_EQ(access(record.c_str(), F_OK), -1);
    }
}

TEST(ViewMessageByVane, NoUserNameEndsTheRunWithStatus2)
{
    // No controlling terminal (so no login name) and a user id without a
    // password entry: status 2, even with an empty body.
    for (const char *bulletin : {"BUL:0 1\nbody\n", "BUL:0 1\n"}) {
        int err[2];
        ASSERT_EQ(pipe(err), 0);
        int status = run_in_child([&] {
            close(err[0]);
            dup2(err[1], 2);
            setsid();
            uid_t uid = 54321;
            while (getpwuid(uid) != nullptr)
                ++uid;
            if (setuid(uid) != 0)
                return 10;
            if (getlogin() != nullptr)
                return 11;  // cannot set the case up here
            view_message_by_vane_using(bulletin, ARGV_RECORD_PROGRAM);
            return 0;
        });
        close(err[1]);
        char buf[256];
        ssize_t n = read(err[0], buf, sizeof buf);
        close(err[0]);
        if (status == 11)
            GTEST_SKIP() << "getlogin still names a user without a terminal";
        EXPECT_EQ(status, 2);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0),
                  "bulfetch: couldn't find username to send vane notice\n");
    }
}

} // namespace
