// Retrieval: the server list from the name service, one exchange with the
// first server, and the fallback file when that fails.
#include "bulfetch/bulfetch.h"
#include "nomicon/nomicon.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/bulfetch/child_process.h"
#include "tests/bulfetch/scratch_dir.h"
#include "tests/nomicon/fake_dns_server.h"

using namespace std::literals;

// The name service hands out fresh strings and service entries per lookup;
// a run keeps what it is given until it exits, so the results of earlier
// lookups in this long-lived test process are no leak of the client's.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:nomicon_resolve\nleak:nomicon_getservbyname\n";
}

namespace {

// A bulletin server on 127.0.0.1: answers each request with the reply set,
// or keeps silent when there is none.
struct BulletinServer {
    int fd = -1;
    std::uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::mutex lock;
    std::string reply;
    bool silent = false;
    std::string last_request;
    int requests = 0;
    std::thread thread;

    BulletinServer()
    {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t n = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
        port = ntohs(a.sin_port);
        thread = std::thread([this] { serve(); });
    }
    ~BulletinServer()
    {
        stop = true;
        thread.join();
        close(fd);
    }
    void serve()
    {
        char buf[65536];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            sockaddr_in from{};
            socklen_t n = sizeof from;
            ssize_t got = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &n);
            if (got < 0)
                continue;
            std::lock_guard<std::mutex> g(lock);
            last_request.assign(buf, static_cast<std::size_t>(got));
            ++requests;
            if (!silent)
                sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from), n);
        }
    }
    void answer(std::string r)
    {
        std::lock_guard<std::mutex> g(lock);
        reply = std::move(r);
        silent = false;
    }
    void keep_silent()
    {
        std::lock_guard<std::mutex> g(lock);
        silent = true;
    }
};

// A port on 127.0.0.1 with nobody listening.
std::uint16_t closed_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
    close(fd);
    return ntohs(a.sin_port);
}

struct Site {
    std::vector<std::string> servers = {"127.0.0.1"};
    bool sloc_found = true;
    std::string service = "";  // "bulletin udp N", or "" for no record
};

class Retrieval : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The built-in left-hand side and a domain of the test's own; no
        // configuration file of the machine takes part.
        nomicon_config_file = "/nonexistent/nomicon.conf";
        setenv("NOM_DOMAIN", ".bulfetch.test", 1);
        // One try of one second against a silent name server.
        nomicon_tuning = (1 << 16) | 1;
    }
    void SetUp() override
    {
        dns = fake_dns_start();
        fake_dns_point_resolver(dns);
        serve_site();
    }
    void TearDown() override { fake_dns_stop(dns); }

    void serve_site()
    {
        Site s = site;
        fake_dns_set_reply(dns, [s](const DnsBytes &q) {
            std::string name = dns_question_name(q);
            if (name == "bulletin.sloc.ns.bulfetch.test" && s.sloc_found) {
                std::vector<DnsRr> rrs;
                for (const std::string &server : s.servers)
                    rrs.push_back(dns_txt({server}));
                if (s.servers.empty())
                    rrs.push_back(dns_cname("elsewhere.bulfetch.test"));
                return dns_reply(q, rrs);
            }
            if (name == "bulletin.service.ns.bulfetch.test" && !s.service.empty())
                return dns_reply(q, {dns_txt({s.service})});
            return dns_reply(q, {}, {}, {}, DNS_RCODE_NXDOMAIN);
        });
    }

    FakeDnsServer *dns = nullptr;
    Site site;
};

TEST_F(Retrieval, ServerListIsCopiedInOrder)
{
    site.servers = {"one.example", "two.example", "three.example"};
    serve_site();
    char **servers = nullptr;
    ASSERT_EQ(get_servername(&servers), 0);
    ASSERT_NE(servers, nullptr);
    std::vector<std::string> got;
    for (char **s = servers; *s != nullptr; ++s) {
        got.push_back(*s);
        std::free(*s);
    }
    std::free(servers);
    EXPECT_EQ(got, site.servers);
    EXPECT_EQ(dns_question_name(fake_dns_last_query(dns)), "bulletin.sloc.ns.bulfetch.test");
    EXPECT_EQ(get_servername(nullptr), BUL_MISSING_ARGUMENT);
}

TEST_F(Retrieval, ServerListFailures)
{
    struct Case {
        bool sloc_found;
        bool empty;
        bool silent;
        const char *text;
    } cases[] = {
        {false, false, false, "Nomicon name not found by Nomicon server"},
        // Answer records, none of them a server name.
        {true, true, false, "Unexpected return from Nomicon error"},
        {true, false, true, "Nomicon network problem"},
    };
    for (const Case &c : cases) {
        site.sloc_found = c.sloc_found;
        site.servers = c.empty ? std::vector<std::string>{} : site.servers;
        serve_site();
        if (c.silent)
            fake_dns_set_silent(dns);
        char **servers = nullptr;
        ErrorCode code = get_servername(&servers);
        EXPECT_EQ(servers, nullptr);
        EXPECT_STREQ(error_message(code), c.text);
    }
}

TEST_F(Retrieval, OneExchangeWithTheServer)
{
    BulletinServer server;
    site.service = "bulletin udp " + std::to_string(server.port);
    serve_site();
    struct Case {
        std::string reply;
        std::string kept;
    } cases[] = {
        {"BUL:0 12\nHello.\n", "BUL:0 12\nHello.\n"},
        {"", ""},  // an empty datagram is an answer
        {"BUL:0 1\n" + std::string(3000, 'x'), ("BUL:0 1\n" + std::string(3000, 'x')).substr(0, 2047)},
        {"BUL:0 1\nwith\0nul"s, "BUL:0 1\nwith\0nul"s},
        {"not a bulletin", "not a bulletin"},  // not examined here
    };
    for (const Case &c : cases) {
        server.answer(c.reply);
        char *bulletin = nullptr;
        std::int32_t length = -1;
        ASSERT_EQ(bulfetch_from_server(&bulletin, &length, "127.0.0.1"), 0);
        ASSERT_NE(bulletin, nullptr);
        EXPECT_EQ(std::string(bulletin, static_cast<std::size_t>(length)), c.kept);
        EXPECT_EQ(bulletin[length], '\0');
        std::free(bulletin);
        std::lock_guard<std::mutex> g(server.lock);
        EXPECT_EQ(server.last_request, "BUL:0");  // five bytes, no NUL
    }
    // The length may be left out.
    char *bulletin = nullptr;
    EXPECT_EQ(bulfetch_from_server(&bulletin, nullptr, "127.0.0.1"), 0);
    std::free(bulletin);
}

TEST_F(Retrieval, ExchangeFailures)
{
    struct Case {
        std::string service;
        const char *server;
        ErrorCode code;
    } cases[] = {
        {"bulletin udp " + std::to_string(closed_port()), "127.0.0.1", ECONNREFUSED},
        {"", "127.0.0.1", BUL_NO_SERVICE_PORT},
        {"bulletin tcp 2222", "127.0.0.1", BUL_NO_SERVICE_PORT},
    };
    for (const Case &c : cases) {
        site.service = c.service;
        serve_site();
        char *bulletin = nullptr;
        std::int32_t length = -1;
        EXPECT_EQ(bulfetch_from_server(&bulletin, &length, c.server), c.code) << c.service;
        EXPECT_EQ(bulletin, nullptr);
    }
    site.service = "bulletin udp 2222";
    serve_site();
    char *bulletin = nullptr;
    std::int32_t length = 0;
    EXPECT_STREQ(error_message(bulfetch_from_server(&bulletin, &length, "no-such-host.invalid")),
                 "No such host is known");
    EXPECT_EQ(bulfetch_from_server(nullptr, &length, "127.0.0.1"), BUL_MISSING_ARGUMENT);
    EXPECT_EQ(bulfetch_from_server(&bulletin, &length, nullptr), BUL_MISSING_ARGUMENT);
}

TEST_F(Retrieval, SilentServerCostsOneWait)
{
    BulletinServer server;
    server.keep_silent();
    site.service = "bulletin udp " + std::to_string(server.port);
    serve_site();
    char *bulletin = nullptr;
    std::int32_t length = -1;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(bulfetch_from_server(&bulletin, &length, "127.0.0.1"), BUL_SERVER_TIMEOUT);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 4.9);
    EXPECT_LT(waited, 7.0);
    std::lock_guard<std::mutex> g(server.lock);
    EXPECT_EQ(server.requests, 1);  // no retransmission
}

TEST_F(Retrieval, PortFromTheServicesDatabaseFirst)
{
    BulletinServer server;
    server.answer("BUL:0 3\nvia services\n");
    site.service = "bulletin udp " + std::to_string(closed_port());  // must not be used
    serve_site();
    ScratchDir dir;
    std::string services = dir / "services";
    int fd = open(services.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string line = "bulletin " + std::to_string(server.port) + "/udp\n";
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
    int status = run_in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(services.c_str(), "/etc/services", "none", MS_BIND, nullptr) != 0)
            return 77;
        char *bulletin = nullptr;
        std::int32_t length = 0;
        if (bulfetch_from_server(&bulletin, &length, "127.0.0.1") != 0)
            return 1;
        return std::string(bulletin) == "BUL:0 3\nvia services\n" ? 0 : 2;
    });
    if (status == 77) {
        const char *require = std::getenv("CALYX_REQUIRE_NAMESPACES");
        if (require == nullptr || std::strcmp(require, "0") == 0)
            GTEST_SKIP() << "no private mount namespace here";
    }
    EXPECT_EQ(status, 0);
}

TEST_F(Retrieval, FallbackFileTakesOverAndIsRefreshed)
{
    BulletinServer server;
    site.service = "bulletin udp " + std::to_string(server.port);
    serve_site();
    ScratchDir dir;
    std::string fallback = dir / "messages";

    // The server answers: the answer is handed out and kept.
    server.answer("BUL:0 20\nfresh\n");
    char *bulletin = nullptr;
    ASSERT_EQ(get_a_message_using(&bulletin, fallback.c_str()), 0);
    EXPECT_STREQ(bulletin, "BUL:0 20\nfresh\n");
    std::free(bulletin);
    char *kept = nullptr;
    std::int32_t length = 0;
    ASSERT_EQ(get_fallback_file(&kept, &length, fallback.c_str()), 0);
    EXPECT_STREQ(kept, "BUL:0 20\nfresh\n");
    std::free(kept);

    // An empty answer can't be kept, but is still handed out.
    server.answer("");
    ASSERT_EQ(get_a_message_using(&bulletin, fallback.c_str()), 0);
    EXPECT_STREQ(bulletin, "");
    std::free(bulletin);

    // The server refuses: the kept copy is read instead, and not rewritten.
    site.service = "bulletin udp " + std::to_string(closed_port());
    serve_site();
    struct stat before {};
    stat(fallback.c_str(), &before);
    ASSERT_EQ(get_a_message_using(&bulletin, fallback.c_str()), 0);
    EXPECT_STREQ(bulletin, "BUL:0 20\nfresh\n");
    std::free(bulletin);
    struct stat after {};
    stat(fallback.c_str(), &after);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    // Neither: the fallback's own failure is the result.
    unlink(fallback.c_str());
    bulletin = nullptr;
    EXPECT_EQ(get_a_message_using(&bulletin, fallback.c_str()), ENOENT);
    EXPECT_EQ(bulletin, nullptr);

    // Only the first listed server is asked, whatever its failure.
    ASSERT_EQ(put_fallback_file("BUL:0 20\nkept\n", 14, fallback.c_str()), 0);
    site.servers = {"no-such-host.invalid", "127.0.0.1"};
    site.service = "bulletin udp " + std::to_string(server.port);
    serve_site();
    server.answer("BUL:0 21\nsecond\n");
    int asked = server.requests;
    ASSERT_EQ(get_a_message_using(&bulletin, fallback.c_str()), 0);
    EXPECT_STREQ(bulletin, "BUL:0 20\nkept\n");
    std::free(bulletin);
    std::lock_guard<std::mutex> g(server.lock);
    EXPECT_EQ(server.requests, asked);
}

} // namespace

namespace {

struct timespec in_ms(long ms)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_nsec += ms * 1000000L;
    t.tv_sec += t.tv_nsec / 1000000000L;
    t.tv_nsec %= 1000000000L;
    return t;
}

} // namespace

// The hand-off of -quick's background fetch: read to its end, never past
// the buffer, and never waited for beyond the deadline.
TEST(QuickWait, HandOffBoundedInSizeAndTime)
{
    struct Case {
        std::string sent;
        bool ends;              // the writer closes its end
        std::size_t capacity;
        ErrorCode code;
    } cases[] = {
        {"abcd", true, 8, 0},
        {"abcdefgh", true, 8, 0},
        {"abcdefghi", true, 8, EFBIG},
        {"", true, 8, 0},
        {"abcd", false, 8, BUL_SERVER_TIMEOUT},
    };
    for (const Case &c : cases) {
        int ends[2];
        ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
        ASSERT_EQ(write(ends[1], c.sent.data(), c.sent.size()),
                  static_cast<ssize_t>(c.sent.size()));
        if (c.ends)
            close(ends[1]);
        std::string buffer(c.capacity, '\0');
        std::size_t length = 99;
        sigset_t mask;
        sigprocmask(SIG_SETMASK, nullptr, &mask);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(quick_wait(ends[0], buffer.data(), c.capacity, &length, in_ms(200), &mask),
                  c.code) << c.sent;
        auto took = std::chrono::steady_clock::now() - start;
        if (c.code == 0) {
            EXPECT_EQ(buffer.substr(0, length), c.sent);
        }
        EXPECT_LT(took, c.ends ? 100ms : 2s) << c.sent;
        if (!c.ends) {
            EXPECT_GE(took, 190ms);
            close(ends[1]);
        }
        close(ends[0]);
    }
}
