#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bulserve/bulserve.h"

namespace {

struct ArgsCase {
    std::vector<const char *> args;  // after the program name
    bool ok;
    const char *offending;           // when refused
    const char *file;
    std::uint32_t address;           // host order
    int port;                        // -1: none given
    long long stamp;                 // only with have_stamp
    bool have_stamp;
    bool log_stderr;
};

TEST(BulserveParseArgs, Table)
{
    const ArgsCase cases[] = {
        {{"b.txt"}, true, nullptr, "b.txt", 0, -1, 0, false, false},
        {{"-a", "127.0.0.1", "-p", "2222", "b"}, true, nullptr, "b", 0x7f000001, 2222, 0, false, false},
        {{"-p", "0", "b"}, true, nullptr, "b", 0, 0, 0, false, false},
        {{"-p", "65535", "b"}, true, nullptr, "b", 0, 65535, 0, false, false},
        {{"-s", "-2147483648", "-e", "b"}, true, nullptr, "b", 0, -1, -2147483648LL, true, true},
        {{"-s", "2147483647", "b"}, true, nullptr, "b", 0, -1, 2147483647LL, true, false},
        {{"--", "-odd-name"}, true, nullptr, "-odd-name", 0, -1, 0, false, false},
        {{}, false, "missing bulletin file", nullptr, 0, -1, 0, false, false},
        {{""}, false, "missing bulletin file", nullptr, 0, -1, 0, false, false},
        {{"-e"}, false, "missing bulletin file", nullptr, 0, -1, 0, false, false},
        {{"a", "b"}, false, "b", nullptr, 0, -1, 0, false, false},
        {{"-x", "b"}, false, "-x", nullptr, 0, -1, 0, false, false},
        {{"-pp", "1", "b"}, false, "-pp", nullptr, 0, -1, 0, false, false},
        {{"b", "-p"}, false, "-p", nullptr, 0, -1, 0, false, false},
        {{"-p"}, false, "-p", nullptr, 0, -1, 0, false, false},
        {{"-p", "65536", "b"}, false, "65536", nullptr, 0, -1, 0, false, false},
        {{"-p", "-1", "b"}, false, "-1", nullptr, 0, -1, 0, false, false},
        {{"-p", "22x", "b"}, false, "22x", nullptr, 0, -1, 0, false, false},
        {{"-p", "", "b"}, false, "", nullptr, 0, -1, 0, false, false},
        {{"-p", " 22", "b"}, false, " 22", nullptr, 0, -1, 0, false, false},
        {{"-s", "2147483648", "b"}, false, "2147483648", nullptr, 0, -1, 0, false, false},
        {{"-s", "-2147483649", "b"}, false, "-2147483649", nullptr, 0, -1, 0, false, false},
        {{"-s", "+5", "b"}, false, "+5", nullptr, 0, -1, 0, false, false},
        {{"-a", "1.2.3", "b"}, false, "1.2.3", nullptr, 0, -1, 0, false, false},
        {{"-a", "::1", "b"}, false, "::1", nullptr, 0, -1, 0, false, false},
    };
    for (const ArgsCase &c : cases) {
        std::vector<char *> argv{const_cast<char *>("bulserve")};
        for (const char *a : c.args)
            argv.push_back(const_cast<char *>(a));
        std::string label;
        for (const char *a : c.args)
            label += std::string("[") + a + "]";
        SCOPED_TRACE(label);
        argv.push_back(nullptr);
        BulserveOptions o;
        const char *offending = nullptr;
        bool ok = bulserve_parse_args(static_cast<int>(argv.size() - 1), argv.data(), &o, &offending);
        ASSERT_EQ(ok, c.ok);
        if (!ok) {
            EXPECT_STREQ(offending, c.offending);
            continue;
        }
        EXPECT_STREQ(o.file, c.file);
        EXPECT_EQ(ntohl(o.address), c.address);
        EXPECT_EQ(o.have_port, c.port >= 0);
        if (c.port >= 0) {
            EXPECT_EQ(o.port, c.port);
        }
        EXPECT_EQ(o.have_stamp, c.have_stamp);
        if (c.have_stamp) {
            EXPECT_EQ(o.stamp, c.stamp);
        }
        EXPECT_EQ(o.log_stderr, c.log_stderr);
    }
}

std::string record_of(const Bulletin &b) { return std::string(b.record, b.length); }

TEST(BulserveBuildRecord, HeaderAndBody)
{
    struct {
        long long stamp;
        std::string body;
        std::string record;
    } cases[] = {
        {42, "text\n", "BUL:0 42\ntext\n"},
        {0, "", "BUL:0 0\n"},
        {-5, std::string("a\0b", 3), std::string("BUL:0 -5\na\0b", 12)},
        {-9223372036854775807LL - 1, "x", "BUL:0 -9223372036854775808\nx"},
    };
    for (auto &c : cases) {
        Bulletin b;
        ASSERT_TRUE(bulserve_build_record(&b, c.stamp, c.body));
        EXPECT_EQ(record_of(b), c.record);
        EXPECT_EQ(b.stamp, c.stamp);
    }
}

TEST(BulserveBuildRecord, LargestRecordIsWhatAClientKeeps)
{
    for (long long stamp : {0LL, 7LL, 1700000000LL, -2147483648LL}) {
        SCOPED_TRACE(stamp);
        std::size_t limit = bulserve_body_limit(stamp);
        Bulletin b;
        ASSERT_TRUE(bulserve_build_record(&b, stamp, std::string(limit, 'x')));
        EXPECT_EQ(b.length, BULLETIN_MAX_REPLY);
        b.length = 3;
        EXPECT_FALSE(bulserve_build_record(&b, stamp, std::string(limit + 1, 'x')));
        EXPECT_EQ(b.length, 3u) << "a refused record must leave the old one alone";
    }
}

class BulserveFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/bulserve-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/bulletin";
        options.file = path.c_str();
        options.settle_ms = 0;
    }
    void TearDown() override
    {
        unlink(path.c_str());
        rmdir(path.c_str());
        rmdir(dir.c_str());
    }
    void write_file(const std::string &content, time_t mtime)
    {
        // Written under a new name and renamed, as editors do, so the
        // inode changes as well.
        std::string tmp = path + ".new";
        FILE *f = std::fopen(tmp.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
        ASSERT_EQ(std::fclose(f), 0);
        timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, tmp.c_str(), times, 0), 0);
        ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
    }
    std::string dir, path;
    BulserveOptions options;
};

TEST_F(BulserveFile, LoadOutcomes)
{
    const std::size_t fit = bulserve_body_limit(1000);
    struct {
        std::string body;
        LoadStatus status;
        std::string record;  // when ok
    } cases[] = {
        {"", LoadStatus::ok, "BUL:0 1000\n"},
        {"Down at noon.\n", LoadStatus::ok, "BUL:0 1000\nDown at noon.\n"},
        {std::string(fit, 'y'), LoadStatus::ok, "BUL:0 1000\n" + std::string(fit, 'y')},
        {std::string(fit + 1, 'y'), LoadStatus::too_big, ""},
        {std::string(100000, 'y'), LoadStatus::too_big, ""},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.body.size());
        write_file(c.body, 1000);
        Bulletin b;
        b.length = 0;
        LoadResult r = bulserve_load(path.c_str(), options, &b);
        ASSERT_EQ(r.status, c.status);
        if (r.status == LoadStatus::ok) {
            EXPECT_EQ(record_of(b), c.record);
        } else {
            EXPECT_EQ(b.length, 0u);
            EXPECT_EQ(r.size, static_cast<long long>(c.body.size()));
            EXPECT_EQ(r.limit, fit);
        }
    }
}

TEST_F(BulserveFile, LoadRefusesWhatIsNoBulletinFile)
{
    Bulletin b;
    LoadResult r = bulserve_load(path.c_str(), options, &b);
    EXPECT_EQ(r.status, LoadStatus::system_error);
    EXPECT_EQ(r.error, ENOENT);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    r = bulserve_load(path.c_str(), options, &b);
    EXPECT_EQ(r.status, LoadStatus::not_regular);
    ASSERT_EQ(rmdir(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    r = bulserve_load(path.c_str(), options, &b);  // must not block
    EXPECT_EQ(r.status, LoadStatus::not_regular);
}

TEST_F(BulserveFile, StampIsModificationTimeUnlessFixed)
{
    write_file("b\n", 1234567890);
    Bulletin b;
    ASSERT_EQ(bulserve_load(path.c_str(), options, &b).status, LoadStatus::ok);
    EXPECT_EQ(record_of(b), "BUL:0 1234567890\nb\n");
    options.have_stamp = true;
    options.stamp = -7;
    ASSERT_EQ(bulserve_load(path.c_str(), options, &b).status, LoadStatus::ok);
    EXPECT_EQ(record_of(b), "BUL:0 -7\nb\n");
}

TEST_F(BulserveFile, RefreshServesChangesAndKeepsLastGood)
{
    ServeState state;
    write_file("one\n", 100);
    ASSERT_EQ(bulserve_load(path.c_str(), options, &state.current, &state.pinned_fd).status,
              LoadStatus::ok);

    struct Step {
        const char *what;
        int action;  // 0 rewrite, 1 remove, 2 touch in place, 3 nothing
        std::string content;
        time_t mtime;
        std::string served;
    } steps[] = {
        {"unchanged", 3, "", 0, "BUL:0 100\none\n"},
        {"rewritten", 0, "two\n", 200, "BUL:0 200\ntwo\n"},
        {"same time, other size", 0, "three\n", 200, "BUL:0 200\nthree\n"},
        {"grown too big", 0, std::string(3000, 'z'), 300, "BUL:0 200\nthree\n"},
        {"removed", 1, "", 0, "BUL:0 200\nthree\n"},
        {"back again", 0, "four\n", 400, "BUL:0 400\nfour\n"},
        {"same size, same time, new bytes", 2, "five\n", 400, "BUL:0 400\nfive\n"},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        if (s.action == 0) {
            write_file(s.content, s.mtime);
        } else if (s.action == 1) {
            ASSERT_EQ(unlink(path.c_str()), 0);
        } else if (s.action == 2) {
            // Same inode, size and modification time: only the change
            // time tells the versions apart.
            usleep(20000);
            int fd = open(path.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, s.content.data(), s.content.size()),
                      static_cast<ssize_t>(s.content.size()));
            timespec times[2] = {{s.mtime, 0}, {s.mtime, 0}};
            ASSERT_EQ(futimens(fd, times), 0);
            close(fd);
        }
        bulserve_refresh(options, &state, false);
        EXPECT_EQ(record_of(state.current), s.served);
    }
    close(state.pinned_fd);
}

TEST_F(BulserveFile, RefreshWaitsForTheFileToSettle)
{
    options.settle_ms = 150;
    ServeState state;
    write_file("old\n", 100);
    ASSERT_EQ(bulserve_load(path.c_str(), options, &state.current, &state.pinned_fd).status,
              LoadStatus::ok);
    // Truncated for an in-place rewrite: too fresh to be served.
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    bulserve_refresh(options, &state, false);
    EXPECT_EQ(record_of(state.current), "BUL:0 100\nold\n");
    usleep(50000);
    FILE *f = std::fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fputs("new\n", f);
    std::fclose(f);
    bulserve_refresh(options, &state, false);
    EXPECT_EQ(record_of(state.current), "BUL:0 100\nold\n");
    usleep(200000);
    bulserve_refresh(options, &state, false);
    EXPECT_NE(record_of(state.current).find("\nnew\n"), std::string::npos)
        << record_of(state.current);
    // A finished file put in place by rename needs no wait.
    write_file("renamed\n", 300);
    bulserve_refresh(options, &state, false);
    EXPECT_EQ(record_of(state.current), "BUL:0 300\nrenamed\n");
    close(state.pinned_fd);
}

TEST_F(BulserveFile, NewFileStillBeingWrittenWaits)
{
    // A file created anew at the path, or a refused version put there by
    // rename and then rewritten in place, is as partial between its
    // creation or truncation and its last write as a served file rewritten
    // in place.
    options.settle_ms = 150;
    struct {
        const char *what;
        bool refused_first;
    } cases[] = {
        {"removed, then created and written", false},
        {"refused version rewritten in place", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ServeState state;
        write_file("old\n", 100);
        ASSERT_EQ(bulserve_load(path.c_str(), options, &state.current, &state.pinned_fd).status,
                  LoadStatus::ok);
        if (c.refused_first) {
            write_file(std::string(3000, 'z'), 200);
            bulserve_refresh(options, &state, false);
            ASSERT_EQ(record_of(state.current), "BUL:0 100\nold\n");
        } else {
            ASSERT_EQ(unlink(path.c_str()), 0);
        }
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        bulserve_refresh(options, &state, false);
        EXPECT_EQ(record_of(state.current), "BUL:0 100\nold\n");
        ASSERT_EQ(write(fd, "new\n", 4), 4);
        close(fd);
        usleep(200000);
        bulserve_refresh(options, &state, false);
        EXPECT_NE(record_of(state.current).find("\nnew\n"), std::string::npos)
            << record_of(state.current);
        close(state.pinned_fd);
    }
}

TEST(BulserveIsRequest, OnlyTheExactMagic)
{
    struct {
        std::string datagram;
        bool request;
    } cases[] = {
        {"BUL:0", true},
        {"", false},
        {"BUL:", false},
        {"BUL:0\n", false},
        {std::string("BUL:0\0", 6), false},
        {"bul:0", false},
        {"BUL:1", false},
        {"XBUL:", false},
    };
    for (auto &c : cases)
        EXPECT_EQ(bulserve_is_request(c.datagram), c.request) << c.datagram;
}

}  // namespace
