#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bulserve/bulpublish.h"
#include "bulserve/bulserve.h"

// The calls that put a file in place, in order: this binary is linked with
// fsync and rename wrapped.
static std::vector<std::string> disk_calls;
extern "C" {
int __real_fsync(int fd);
int __wrap_fsync(int fd)
{
    struct stat st {};
    disk_calls.push_back(fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? "sync folder" : "sync file");
    return __real_fsync(fd);
}
int __real_rename(const char *from, const char *to);
int __wrap_rename(const char *from, const char *to)
{
    disk_calls.push_back("rename");
    return __real_rename(from, to);
}
}

namespace {

struct ArgsCase {
    std::vector<const char *> args;  // after the program name
    bool ok;
    const char *error;               // when refused
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
        {{"a", "b"}, false, "b: only one bulletin file may be given", nullptr, 0, -1, 0, false, false},
        {{"-x", "b"}, false, "-x: unknown option; the options are -e, -a, -p, -s, -S, -r, -R, -b, -m, -t, -h, --help and --version", nullptr, 0, -1, 0, false, false},
        {{"-ex", "b"}, false, "-x: unknown option;", nullptr, 0, -1, 0, false, false},
        {{"b", "--port=1"}, false, "--port=1: unknown option;", nullptr, 0, -1, 0, false, false},
        {{"b", "--version=1"}, false, "--version=1: --help and --version take no value", nullptr, 0, -1, 0, false, false},
        {{"-pp", "1", "b"}, false, "-p p: expected a port", nullptr, 0, -1, 0, false, false},
        {{"b", "-p"}, false, "-p needs a value", nullptr, 0, -1, 0, false, false},
        {{"b", "-e", "c"}, false, "c: only one bulletin file", nullptr, 0, -1, 0, false, false},
        // As people type them: the value joined to the option, flags
        // together, options after the file.
        {{"-p2222", "b"}, true, nullptr, "b", 0, 2222, 0, false, false},
        {{"-ep2222", "b"}, true, nullptr, "b", 0, 2222, 0, false, true},
        {{"b", "-p", "2222", "-e"}, true, nullptr, "b", 0, 2222, 0, false, true},
        {{"-p"}, false, "-p needs a value", nullptr, 0, -1, 0, false, false},
        {{"-p", "1", "-e", "-p", "1", "b"}, false, "-p given more than once", nullptr, 0, -1, 0, false, false},
        {{"-e", "-e", "b"}, false, "-e given more than once", nullptr, 0, -1, 0, false, false},
        {{"-p", "65536", "b"}, false, "-p 65536: expected a port number from 0 to 65535", nullptr, 0, -1, 0, false, false},
        {{"-p", "-1", "b"}, false, "-p -1: expected a port", nullptr, 0, -1, 0, false, false},
        {{"-p", "22x", "b"}, false, "-p 22x: expected", nullptr, 0, -1, 0, false, false},
        {{"-p", "", "b"}, false, "-p : expected", nullptr, 0, -1, 0, false, false},
        {{"-p", " 22", "b"}, false, "-p  22: expected", nullptr, 0, -1, 0, false, false},
        {{"-s", "2147483648", "b"}, false, "-s 2147483648: expected a stamp from -2147483648 to 2147483647", nullptr, 0, -1, 0, false, false},
        {{"-s", "-2147483649", "b"}, false, "-s -2147483649: expected", nullptr, 0, -1, 0, false, false},
        {{"-s", "+5", "b"}, false, "-s +5: expected", nullptr, 0, -1, 0, false, false},
        {{"-a", "1.2.3", "b"}, false, "-a 1.2.3: expected an IPv4 address", nullptr, 0, -1, 0, false, false},
        {{"-a", "::1", "b"}, false, "-a ::1: expected an IPv4 address", nullptr, 0, -1, 0, false, false},
        {{"-S", "", "b"}, false, "-S : expected a directory", nullptr, 0, -1, 0, false, false},
        {{"-r", "1000001", "b"}, false, "-r 1000001: expected answers per second per source prefix, from 0 (no limit) to 1000000", nullptr, 0, -1, 0, false, false},
        {{"-b", "x", "b"}, false, "-b x: expected extra answers", nullptr, 0, -1, 0, false, false},
        {{"-m", "7", "b"}, false, "-m 7: expected a source prefix length from 8 to 32", nullptr, 0, -1, 0, false, false},
        {{"-m", "33", "b"}, false, "-m 33: expected", nullptr, 0, -1, 0, false, false},
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
        char error[256] = "";
        bool ok = bulserve_parse_args(static_cast<int>(argv.size() - 1), argv.data(), &o, error,
                                      sizeof error);
        ASSERT_EQ(ok, c.ok);
        if (!ok) {
            EXPECT_EQ(std::string(error).rfind(c.error, 0), 0u) << error;
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

TEST(BulserveParseArgs, StateHelpVersionAndRateLimit)
{
    struct {
        std::vector<const char *> args;
        bool help, version;
        const char *state_dir;
        std::uint32_t rate, burst;
        unsigned prefix;
        std::uint32_t per_address = RATE_LIMIT_DEFAULT_PER_ADDRESS, total = RATE_LIMIT_DEFAULT_TOTAL;
    } cases[] = {
        {{"-R", "0", "-t1000000", "b"}, false, false, nullptr, RATE_LIMIT_DEFAULT_PER_SECOND,
         RATE_LIMIT_DEFAULT_BURST, RATE_LIMIT_DEFAULT_IPV4_PREFIX, 0, 1000000},
        {{"-S", "/var/lib/bulserve", "b"}, false, false, "/var/lib/bulserve",
         RATE_LIMIT_DEFAULT_PER_SECOND, RATE_LIMIT_DEFAULT_BURST, RATE_LIMIT_DEFAULT_IPV4_PREFIX},
        {{"-r", "0", "-b", "1000000", "-m", "32", "b"}, false, false, nullptr, 0, 1000000, 32},
        {{"-r", "1000000", "-m", "8", "b"}, false, false, nullptr, 1000000,
         RATE_LIMIT_DEFAULT_BURST, 8},
        // Help and version win over whatever follows, file or not.
        {{"-e", "-h"}, true, false, nullptr, RATE_LIMIT_DEFAULT_PER_SECOND,
         RATE_LIMIT_DEFAULT_BURST, RATE_LIMIT_DEFAULT_IPV4_PREFIX},
        {{"--help", "-x"}, true, false, nullptr, RATE_LIMIT_DEFAULT_PER_SECOND,
         RATE_LIMIT_DEFAULT_BURST, RATE_LIMIT_DEFAULT_IPV4_PREFIX},
        {{"--version"}, false, true, nullptr, RATE_LIMIT_DEFAULT_PER_SECOND,
         RATE_LIMIT_DEFAULT_BURST, RATE_LIMIT_DEFAULT_IPV4_PREFIX},
    };
    for (auto &c : cases) {
        std::vector<char *> argv{const_cast<char *>("bulserve")};
        for (const char *a : c.args)
            argv.push_back(const_cast<char *>(a));
        argv.push_back(nullptr);
        SCOPED_TRACE(c.args[0]);
        BulserveOptions o;
        char error[256] = "";
        ASSERT_TRUE(bulserve_parse_args(static_cast<int>(argv.size() - 1), argv.data(), &o,
                                        error, sizeof error)) << error;
        EXPECT_EQ(o.help, c.help);
        EXPECT_EQ(o.version, c.version);
        EXPECT_STREQ(o.state_dir, c.state_dir);
        EXPECT_EQ(o.rate.per_second, c.rate);
        EXPECT_EQ(o.rate.burst, c.burst);
        EXPECT_EQ(o.rate.ipv4_prefix, c.prefix);
        EXPECT_EQ(o.rate.per_address, c.per_address);
        EXPECT_EQ(o.rate.total, c.total);
    }
}

TEST(BulserveProgramName, BaseName)
{
    EXPECT_STREQ(bulserve_program_name("/usr/sbin/bulserve", "x"), "bulserve");
    EXPECT_STREQ(bulserve_program_name("bulserve", "x"), "bulserve");
    EXPECT_STREQ(bulserve_program_name("/odd/", "x"), "x");
    EXPECT_STREQ(bulserve_program_name(nullptr, "x"), "x");
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

TEST(BulserveRecordForm, PublishedPlainOrMalformed)
{
    struct {
        std::string content;
        RecordForm form;
        long long stamp;
        std::size_t body_at;
    } cases[] = {
        {"BUL:0 1700000000\nText.\n", RecordForm::published, 1700000000, 17},
        {"BUL:0 0\n", RecordForm::published, 0, 8},
        {"BUL:0 2147483647\n", RecordForm::published, 2147483647, 17},
        {"Printers down.\n", RecordForm::plain, 0, 0},
        {"", RecordForm::plain, 0, 0},
        {"BUL:", RecordForm::plain, 0, 0},
        {" BUL:0 5\n", RecordForm::plain, 0, 0},
        // A client would read these differently from what they seem to
        // say, or clamp them: refused, never guessed at.
        {"BUL:0", RecordForm::malformed, 0, 0},
        {"BUL:0 ", RecordForm::malformed, 0, 0},
        {"BUL:0 5", RecordForm::malformed, 0, 0},
        {"BUL:0\t5\n", RecordForm::malformed, 0, 0},
        {"BUL:0  5\n", RecordForm::malformed, 0, 0},
        {"BUL:0 +5\n", RecordForm::malformed, 0, 0},
        {"BUL:0 -5\n", RecordForm::malformed, 0, 0},
        {"BUL:0 05\n", RecordForm::malformed, 0, 0},
        {"BUL:0 5 \n", RecordForm::malformed, 0, 0},
        {"BUL:0 2147483648\n", RecordForm::malformed, 0, 0},
        {"BUL:0 99999999999999999999999\n", RecordForm::malformed, 0, 0},
        {"BUL:0 \nx", RecordForm::malformed, 0, 0},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.content);
        std::int64_t stamp = -1;
        std::size_t body_at = 0;
        ASSERT_EQ(bulserve_record_form(c.content, &stamp, &body_at), c.form);
        if (c.form == RecordForm::published) {
            EXPECT_EQ(stamp, c.stamp);
            EXPECT_EQ(body_at, c.body_at);
        }
    }
    // Cut short at every length, a published record is malformed until
    // its LF, and is never read past its end.
    std::string whole = "BUL:0 1700000000\n";
    for (std::size_t n = 5; n < whole.size(); ++n) {
        std::string cut = whole.substr(0, n);
        std::int64_t stamp = 0;
        std::size_t body_at = 0;
        EXPECT_EQ(bulserve_record_form(std::span<const char>(cut.data(), n), &stamp, &body_at),
                  RecordForm::malformed) << n;
    }
}

TEST(BulserveNextStamp, ClockWhenAheadElseOneMore)
{
    const long long max = 2147483647;
    struct {
        long long highest, now;
        bool ok;
        long long stamp;
    } cases[] = {
        {0, 1700000000, true, 1700000000},
        {1700000000, 1700000100, true, 1700000100},
        {1700000100, 1700000100, true, 1700000101},   // twice in one second
        {1700000100, 1600000000, true, 1700000101},   // clock set back
        {1700000100, 2208988800, true, 1700000101},   // clock beyond what a client holds
        {1800000000, max - 600, true, 1800000001},    // clock near the end, once: not taken
        {max - 1, 2208988800, true, max},
        {1700000100, BULSERVE_CLOCK_LIMIT, true, BULSERVE_CLOCK_LIMIT},  // the clock's last second
        {max, 2208988800, false, 0},                  // nothing left: refused, never wrapped
    };
    for (auto &c : cases) {
        std::int64_t stamp = 0;
        EXPECT_EQ(bulserve_next_stamp(c.highest, c.now, &stamp), c.ok) << c.highest << " " << c.now;
        if (c.ok) {
            EXPECT_EQ(stamp, c.stamp) << c.highest << " " << c.now;
        }
    }
}

// What a file is served as, given what is served and what was served
// before: the stamp rule as a table.
TEST(BulserveTake, StampsOnlyGoUp)
{
    const long long now = 1800000000;
    struct {
        const char *what;
        std::string served;     // record served now, "" for none
        long long highest;
        std::string content;
        long long mtime;
        long long fixed;        // -1: no -s
        LoadStatus status;
        std::string record;     // when ok
        bool changed;
    } cases[] = {
        {"first text takes its file time", "", 0, "hi\n", 1700000000, -1, LoadStatus::ok,
         "BUL:0 1700000000\nhi\n", true},
        {"older file renamed in", "BUL:0 1750000000\nold\n", 1750000000, "new\n", 1600000000, -1,
         LoadStatus::ok, "BUL:0 1800000000\nnew\n", true},
        {"file dated 2040", "BUL:0 1750000000\nold\n", 1750000000, "new\n", 2208988800, -1,
         LoadStatus::ok, "BUL:0 1800000000\nnew\n", true},
        {"file dated an hour ahead", "BUL:0 1750000000\nold\n", 1750000000, "new\n", now + 3600,
         -1, LoadStatus::ok, "BUL:0 1800000000\nnew\n", true},
        {"same second as the stamp served", "BUL:0 1800000000\nold\n", 1800000000, "new\n", now,
         -1, LoadStatus::ok, "BUL:0 1800000001\nnew\n", true},
        {"same text keeps its stamp", "BUL:0 1750000000\nsame\n", 1750000000, "same\n", 1790000000,
         -1, LoadStatus::ok, "BUL:0 1750000000\nsame\n", false},
        {"no stamp left", "BUL:0 2147483647\nold\n", 2147483647, "new\n", now, -1,
         LoadStatus::no_stamp_left, "", false},
        {"published: its own stamp", "BUL:0 1750000000\nold\n", 1750000000,
         "BUL:0 1760000000\npub\n", 1, -1, LoadStatus::ok, "BUL:0 1760000000\npub\n", true},
        {"published again, unchanged", "BUL:0 1760000000\npub\n", 1760000000,
         "BUL:0 1760000000\npub\n", 1, -1, LoadStatus::ok, "BUL:0 1760000000\npub\n", false},
        {"published below what was served", "BUL:0 1760000000\npub\n", 1760000000,
         "BUL:0 1700000000\nold\n", 1, -1, LoadStatus::stale, "", false},
        {"published stamp reused for another text", "BUL:0 1760000000\npub\n", 1760000000,
         "BUL:0 1760000000\nother\n", 1, -1, LoadStatus::stale, "", false},
        {"malformed header", "", 0, "BUL:0 x\n", 1, -1, LoadStatus::malformed, "", false},
        {"fixed stamp", "BUL:0 1760000000\npub\n", 1760000000, "t\n", 1, -12, LoadStatus::ok,
         "BUL:0 -12\nt\n", true},
        {"too big for its stamp", "", 0, std::string(2031, 'y'), 1700000000, -1,
         LoadStatus::too_big, "", false},
        {"largest that fits", "", 0, std::string(2030, 'y'), 1700000000, -1, LoadStatus::ok,
         "BUL:0 1700000000\n" + std::string(2030, 'y'), true},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        Bulletin served;
        if (!c.served.empty()) {
            std::int64_t stamp = 0;
            std::size_t at = 0;
            ASSERT_EQ(bulserve_record_form(c.served, &stamp, &at), RecordForm::published);
            ASSERT_TRUE(bulserve_build_record(&served, stamp,
                                              std::span<const char>(c.served).subspan(at)));
        }
        FileContent content;
        ASSERT_LE(c.content.size(), sizeof content.bytes);
        std::memcpy(content.bytes, c.content.data(), c.content.size());
        content.length = c.content.size();
        content.file_size = static_cast<std::int64_t>(c.content.size());
        content.mtime.tv_sec = c.mtime;
        BulserveOptions options;
        options.have_stamp = c.fixed != -1;
        options.stamp = c.fixed;
        Bulletin fresh;
        fresh.length = 0;
        LoadResult r = bulserve_take(content, options, served, c.highest, now, &fresh);
        ASSERT_EQ(r.status, c.status);
        if (r.status != LoadStatus::ok) {
            EXPECT_EQ(fresh.length, 0u);
            continue;
        }
        EXPECT_EQ(record_of(fresh), c.record);
        EXPECT_EQ(r.changed, c.changed);
    }
    // A clock and a file time near the last stamp, for one change: not taken.
    FileContent late;
    std::memcpy(late.bytes, "late\n", 5);
    late.length = 5;
    late.file_size = 5;
    late.mtime.tv_sec = 2147483000;
    Bulletin fresh;
    LoadResult r = bulserve_take(late, BulserveOptions{}, Bulletin{}, 1800000000, 2147483000, &fresh);
    ASSERT_EQ(r.status, LoadStatus::ok);
    EXPECT_EQ(fresh.stamp, 1800000001);
}

class BulserveFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/bulserve-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/bulletin";
    }
    void TearDown() override
    {
        unlink(path.c_str());
        rmdir(path.c_str());
        unlink((dir + "/" + BULSERVE_STATE_NAME).c_str());
        rmdir(dir.c_str());
    }
    void write_file(const std::string &name, const std::string &content)
    {
        FILE *f = std::fopen((dir + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
        ASSERT_EQ(std::fclose(f), 0);
    }
    std::string dir, path;
};

TEST_F(BulserveFile, ReadRefusesWhatIsNoBulletinFile)
{
    FileContent content;
    LoadResult r = bulserve_read_file(path.c_str(), false, &content);
    EXPECT_EQ(r.status, LoadStatus::system_error);
    EXPECT_EQ(r.error, ENOENT);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(bulserve_read_file(path.c_str(), false, &content).status, LoadStatus::not_regular);
    ASSERT_EQ(rmdir(path.c_str()), 0);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    // Must not block.
    EXPECT_EQ(bulserve_read_file(path.c_str(), false, &content).status, LoadStatus::not_regular);
}

TEST_F(BulserveFile, ReadWaitsWhileAWriterHoldsTheFile)
{
    // The test's own file, so the lease is available without privilege.
    int writer = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "half", 4), 4);
    FileContent content;
    EXPECT_EQ(bulserve_read_file(path.c_str(), false, &content).status,
              LoadStatus::being_written);
    ASSERT_EQ(write(writer, " done\n", 6), 6);
    ASSERT_EQ(close(writer), 0);
    ASSERT_EQ(bulserve_read_file(path.c_str(), false, &content).status, LoadStatus::ok);
    EXPECT_EQ(std::string(content.bytes, content.length), "half done\n");
    // A reader holding it open is no writer.
    int reader = open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(bulserve_read_file(path.c_str(), false, &content).status, LoadStatus::ok);
    close(reader);
}

TEST_F(BulserveFile, WatchSeesWritesUntilTheirClose)
{
    write_file("bulletin", "old\n");
    ServeState state;
    ASSERT_TRUE(bulserve_watch(path.c_str(), &state));
    struct Step {
        const char *what;
        int action;  // 0 open and write, 1 write more, 2 close, 3 other file, 4 rename in,
                     // 5 remove, 6 link a finished file in
        bool writing, want_load;
    } steps[] = {
        {"opened and written", 0, true, false},
        {"more, after a pause", 1, true, false},
        {"closed", 2, false, true},
        {"another file in the folder", 3, false, false},
        {"a finished file renamed over it", 4, false, true},
        {"removed", 5, false, true},
        // No close follows a link: the name is looked at now, and not taken
        // for a write that no close would ever end.
        {"a finished file linked in", 6, false, true},
    };
    int fd = -1;
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        state.want_load = false;
        if (s.action == 0) {
            fd = open(path.c_str(), O_WRONLY | O_TRUNC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, "ne", 2), 2);
        } else if (s.action == 1) {
            ASSERT_EQ(write(fd, "w\n", 2), 2);
        } else if (s.action == 2) {
            ASSERT_EQ(close(fd), 0);
        } else if (s.action == 3) {
            write_file("bulletin.tmp", "x");
            ASSERT_EQ(unlink((dir + "/bulletin.tmp").c_str()), 0);
        } else if (s.action == 4) {
            write_file("bulletin.new", "newer\n");
            ASSERT_EQ(rename((dir + "/bulletin.new").c_str(), path.c_str()), 0);
        } else if (s.action == 5) {
            ASSERT_EQ(unlink(path.c_str()), 0);
        } else {
            write_file("bulletin.new", "linked\n");
            ASSERT_EQ(link((dir + "/bulletin.new").c_str(), path.c_str()), 0);
            ASSERT_EQ(unlink((dir + "/bulletin.new").c_str()), 0);
        }
        bulserve_watch_events(&state);
        EXPECT_EQ(state.writing, s.writing);
        EXPECT_EQ(state.want_load, s.want_load);
    }
    close(state.inotify_fd);
}

TEST_F(BulserveFile, CloseSeenBeforeTheWriterHasGoneIsNotMissed)
{
    // The kernel reports a writer's close before it stops counting the
    // writer: a lease asked for at once may still be refused, and no other
    // event will follow. A second descriptor, closed a moment after the
    // reported close without a write, stands for that last moment.
    write_file("bulletin", "old\n");
    BulserveOptions options;
    options.file = path.c_str();
    ServeState state;
    ASSERT_TRUE(bulserve_watch(path.c_str(), &state));
    ASSERT_EQ(bulserve_refresh(options, &state, RefreshCause::start).status, LoadStatus::ok);
    int writer = open(path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, "new\n", 4), 4);
    int going = open(path.c_str(), O_WRONLY);
    ASSERT_GE(going, 0);
    ASSERT_EQ(close(writer), 0);
    bulserve_watch_events(&state);
    ASSERT_FALSE(state.writing);
    ASSERT_TRUE(state.want_load);
    std::thread gone([going] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        close(going);
    });
    LoadResult r = bulserve_refresh(options, &state, RefreshCause::change);
    gone.join();
    EXPECT_EQ(r.status, LoadStatus::ok);
    EXPECT_EQ(record_of(state.current).substr(record_of(state.current).find('\n')), "\nnew\n");
    close(state.inotify_fd);
}

TEST_F(BulserveFile, StateKeepsTheLastRecordServed)
{
    Bulletin served;
    served.length = 99;
    ASSERT_EQ(bulserve_state_load(dir.c_str(), &served).status, LoadStatus::ok);
    EXPECT_EQ(served.length, 0u) << "no state file: nothing served before";
    Bulletin record;
    ASSERT_TRUE(bulserve_build_record(&record, 1700000000, std::string_view("text\n")));
    disk_calls.clear();
    ASSERT_EQ(bulserve_state_save(dir.c_str(), record), 0);
    const std::vector<std::string> in_place = {"sync file", "rename", "sync folder"};
    EXPECT_EQ(disk_calls, in_place);
    ASSERT_EQ(bulserve_state_load(dir.c_str(), &served).status, LoadStatus::ok);
    EXPECT_EQ(record_of(served), "BUL:0 1700000000\ntext\n");
    EXPECT_EQ(served.stamp, 1700000000);
    // A damaged state is an error, never a fresh start that could hand out
    // a stamp clients already hold.
    for (const char *damaged : {"", "garbage", "BUL:0 17000", "BUL:0 -1\nx"}) {
        SCOPED_TRACE(damaged);
        write_file(BULSERVE_STATE_NAME, damaged);
        EXPECT_EQ(bulserve_state_load(dir.c_str(), &served).status, LoadStatus::state_error);
    }
    // A publication is put in place the same way.
    write_file("text", "published\n");
    const std::string text = dir + "/text";
    BulpublishOptions publish;
    publish.file = path.c_str();
    publish.text = text.c_str();
    publish.state_dir = "/nonexistent";
    disk_calls.clear();
    EXPECT_EQ(bulpublish_publish("bulpublish", publish), BULPUBLISH_EXIT_OK);
    EXPECT_EQ(disk_calls, in_place);
    unlink(text.c_str());
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

// Interfaces 1 to 8 take the lanes at times 1 to 8; later ones get the lane
// idle longest once it has been idle long enough (`lane`: the interface
// whose lane it was, 0 for the server's own socket).
TEST(BulserveLane, AnIdleLanePassesToANewInterface)
{
    std::uint16_t port = 0;
    BulserveLanes lanes;
    int fd = bulserve_open_socket(htonl(INADDR_LOOPBACK), 0, &port, &lanes.possible);
    ASSERT_GE(fd, 0);
    if (!lanes.possible)
        GTEST_SKIP() << "no shared port here";
    int first[BULSERVE_MAX_LANES];
    for (int i = 0; i < BULSERVE_MAX_LANES; ++i)
        ASSERT_NE(first[i] = bulserve_lane(&lanes, fd, i + 1, i + 1), fd);
    constexpr std::int64_t IDLE = BULSERVE_LANE_IDLE_MS;
    const struct { int ifindex; std::int64_t at; int lane; } cases[] = {
        {0, IDLE + 8, 0}, {9, IDLE, 0}, {2, IDLE, 2}, {9, IDLE + 1, 1}, {1, IDLE + 2, 0},
        {10, IDLE + 3, 3}, {9, IDLE + 3, 1},
    };
    for (auto &c : cases)
        EXPECT_EQ(bulserve_lane(&lanes, fd, c.ifindex, c.at), c.lane ? first[c.lane - 1] : fd)
            << c.ifindex << " at " << c.at;
    for (int i = 0; i < lanes.count; ++i)
        close(lanes.fd[i]);
    close(fd);
}

}  // namespace
