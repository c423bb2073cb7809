// The first lookup of a thread whose resolver state was never initialised.
// glibc initialises that state inside the query builder and, doing so,
// replaces the option bits the client set for the exchange; the lookup must
// still accept a truncated answer instead of asking again over TCP. The
// resolver then reads its servers from /etc/resolv.conf, so the case runs
// in a child with private mount and network namespaces, where that file
// names 127.0.0.1 and the stand-in server listens on port 53.
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "nomicon/nomicon.h"
#include "tests/nomicon/fake_dns_server.h"
#include "tests/nomicon/nomicon_test_env.h"

namespace {

constexpr int NO_NAMESPACES = 77;

bool loopback_up()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

// Runs in the child: returns what the lookup gave, as one line.
std::string lookup_in_fresh_thread(const NomiconTestFile &file)
{
    FakeDnsServer *server = fake_dns_start_at(53);
    if (server == nullptr)
        return "no server on port 53";
    fake_dns_set_reply(server, [](const DnsBytes &q) {
        DnsBytes r = dns_reply(q, {dns_txt({"partial"})});
        r[2] |= 0x02;  // truncated
        return r;
    });
    nomicon_write_config(file, "rhs .test.example\n");
    nomicon_status = -1;
    nomicon_tuning = (1 << 16) | 1;
    std::string outcome;
    // A new thread has resolver state of its own that nothing initialised.
    std::thread([&outcome] {
        char **r = nomicon_resolve("bulletin", "sloc");
        outcome = r == nullptr ? "null" : r[0] == nullptr ? "none" : r[0];
        outcome += " status " + std::to_string(nomicon_error());
    }).join();
    DnsBytes q = fake_dns_last_query(server);
    outcome += " queries " + std::to_string(fake_dns_query_count(server));
    outcome += q.size() > 2 && (q[2] & 0x01) ? " rd" : " no-rd";
    fake_dns_stop(server);
    return outcome;
}

TEST(NomiconFreshResolver, FirstLookupOfAThreadTakesATruncatedAnswer)
{
    NomiconTestFile file = nomicon_test_file();
    nomicon_use_test_file(file);
    std::string resolv_conf = file.dir + "/resolv.conf";
    nomicon_write_config({file.dir, resolv_conf}, "nameserver 127.0.0.1\n");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(out[0]);
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(resolv_conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
            !loopback_up())
            _exit(NO_NAMESPACES);
        std::string outcome = lookup_in_fresh_thread(file);
        _exit(write(out[1], outcome.data(), outcome.size()) == static_cast<ssize_t>(outcome.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string outcome;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        outcome.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    unlink(resolv_conf.c_str());
    nomicon_remove_test_file(file);
    if (WIFEXITED(status) && WEXITSTATUS(status) == NO_NAMESPACES) {
        const char *require = std::getenv("CALYX_REQUIRE_NAMESPACES");
        if (require == nullptr || std::strcmp(require, "0") == 0)
            GTEST_SKIP() << "no private mount and network namespaces here";
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(outcome, "partial status 0 queries 1 rd");
}

}  // namespace
