// Lookups through the system resolver against the stand-in server: the
// query sent, every answer shape, the status after each, the tuning word
// and the resolver state left behind.
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <resolv.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "nomicon/nomicon.h"
#include "nomicon/nomicon_internal.h"
#include "nomicon/resolve.h"
#include "tests/nomicon/fake_dns_server.h"
#include "tests/nomicon/nomicon_test_env.h"

namespace {

struct ResolverFields {
    int retrans;
    int retry;
    unsigned long options;
    bool operator==(const ResolverFields &) const = default;
};

ResolverFields resolver_fields()
{
    return {_res.retrans, _res.retry, _res.options};
}

class NomiconResolve : public NomiconServerTest {
protected:
    void SetUp() override
    {
        NomiconServerTest::SetUp();
        configure_test_domain();
    }
};

std::optional<std::vector<std::string>> lookup(const char *name, const char *type)
{
    char **r = nomicon_resolve(name, type);
    if (r == nullptr)
        return std::nullopt;
    std::vector<std::string> out;
    for (; *r != nullptr; ++r) {
        out.emplace_back(*r);
        std::free(*r);  // the caller's to keep or free
    }
    return out;
}

TEST_F(NomiconResolve, SendsOneRecursiveTxtQueryOfClassFour)
{
    fake_dns_set_reply(server, [](const DnsBytes &q) { return dns_reply(q, {dns_txt({"x"})}); });
    ASSERT_TRUE(lookup("bulletin", "sloc"));
    DnsBytes q = fake_dns_last_query(server);
    ASSERT_GE(q.size(), 12u);
    EXPECT_EQ(fake_dns_query_count(server), 1);
    EXPECT_EQ(q[2] & 0x80, 0) << "a query, not a response";
    EXPECT_EQ((q[2] >> 3) & 0x0F, 0) << "standard query";
    EXPECT_EQ(q[2] & 0x01, 1) << "recursion desired";
    EXPECT_EQ((q[4] << 8) | q[5], 1);
    EXPECT_EQ(dns_question_name(q), "bulletin.sloc.ns.test.example");
    DnsBytes tail(q.end() - 4, q.end());
    EXPECT_EQ(tail, (DnsBytes{0, 16, 0, 4}));
}

TEST_F(NomiconResolve, AnswerShapesAndStatus)
{
    using Strings = std::vector<std::string>;
    DnsRr compressed_owner{{3, 'f', 'o', 'o', 0xC0, 0x0C}, 16, 4, dns_txt_data({"c"})};
    DnsRr bad_label{{0x80, 0x0C}, 16, 4, dns_txt_data({"c"})};
    DnsRr data_past_end = dns_txt({"abc"});
    struct Case {
        const char *what;
        FakeDnsReply reply;
        std::optional<Strings> expected;
        int status;  // after the lookup, which starts at 0
    } cases[] = {
        {"two TXT records in order",
         [](const DnsBytes &q) { return dns_reply(q, {dns_txt({"srv1"}), dns_txt({"srv2"})}); },
         Strings{"srv1", "srv2"}, 0},
        {"character-strings joined",
         [](const DnsBytes &q) { return dns_reply(q, {dns_txt({"ab", "cde"})}); }, Strings{"abcde"}, 0},
        {"empty data", [](const DnsBytes &q) { return dns_reply(q, {{{0xC0, 0x0C}, 16, 4, {}}}); },
         Strings{""}, 0},
        {"leading empty string",
         [](const DnsBytes &q) { return dns_reply(q, {dns_txt({"", "xyz"})}); }, Strings{"xyz"}, 0},
        {"CNAME only: no strings, not null",
         [](const DnsBytes &q) { return dns_reply(q, {dns_cname("other.example")}); }, Strings{}, 0},
        {"class IN passed over",
         [](const DnsBytes &q) {
             return dns_reply(q, {dns_txt({"in"}, DNS_CLASS_IN), dns_txt({"hs"})});
         },
         Strings{"hs"}, 0},
        {"authority and additional never returned",
         [](const DnsBytes &q) {
             return dns_reply(q, {dns_txt({"ans"})}, {dns_txt({"auth"})}, {dns_txt({"add"})});
         },
         Strings{"ans"}, 0},
        {"TXT only outside the answer section",
         [](const DnsBytes &q) { return dns_reply(q, {}, {dns_txt({"auth"})}); }, std::nullopt, 1},
        {"owner name compressed",
         [=](const DnsBytes &q) { return dns_reply(q, {compressed_owner}); }, Strings{"c"}, 0},
        {"name error", [](const DnsBytes &q) { return dns_reply(q, {}, {}, {}, DNS_RCODE_NXDOMAIN); },
         std::nullopt, 1},
        {"no answer records", [](const DnsBytes &q) { return dns_reply(q, {}); }, std::nullopt, 1},
        {"bad label bits in an owner",
         [=](const DnsBytes &q) { return dns_reply(q, {dns_txt({"ok"}), bad_label}); }, std::nullopt, 1},
        {"data length past the end",
         [=](const DnsBytes &q) {
             DnsBytes r = dns_reply(q, {data_past_end});
             r[r.size() - 5] = 9;
             return r;
         },
         std::nullopt, 1},
        {"answer count beyond the records",
         [](const DnsBytes &q) {
             DnsBytes r = dns_reply(q, {dns_txt({"only"})});
             r[7] = 4;
             return r;
         },
         Strings{"only"}, 0},
        {"truncated, no records",
         [](const DnsBytes &q) {
             DnsBytes r = dns_reply(q, {});
             r[2] |= 0x02;
             return r;
         },
         std::nullopt, 1},
        {"truncated, records kept",
         [](const DnsBytes &q) {
             DnsBytes r = dns_reply(q, {dns_txt({"partial"})});
             r[2] |= 0x02;
             return r;
         },
         Strings{"partial"}, 0},
        {"silent server", nullptr, std::nullopt, 3},
        {"refused", [](const DnsBytes &q) { return dns_reply(q, {}, {}, {}, 5); }, std::nullopt, 3},
    };
    const ResolverFields before = resolver_fields();
    for (const Case &c : cases) {
        fake_dns_set_reply(server, c.reply);
        int queries = fake_dns_query_count(server);
        nomicon_status = 0;
        EXPECT_EQ(lookup("bulletin", "sloc"), c.expected) << c.what;
        EXPECT_EQ(nomicon_error(), c.status) << c.what;
        // A truncated answer is taken as it is, never asked again over TCP.
        EXPECT_EQ(fake_dns_query_count(server), queries + 1) << c.what;
        EXPECT_EQ(resolver_fields(), before) << c.what;
    }
}

TEST_F(NomiconResolve, SuccessLeavesAnEarlierFailureStatus)
{
    fake_dns_set_reply(server, [](const DnsBytes &q) { return dns_reply(q, {dns_txt({"x"})}); });
    for (int earlier : {1, 3}) {
        nomicon_status = earlier;
        ASSERT_TRUE(lookup("bulletin", "sloc"));
        EXPECT_EQ(nomicon_error(), earlier);
    }
}

TEST_F(NomiconResolve, QueryThatCannotBeBuiltRestoresTheResolver)
{
    const ResolverFields before = resolver_fields();
    std::string long_label(70, 'a');  // fits the name buffer, not a label
    nomicon_status = 0;
    EXPECT_EQ(lookup(long_label.c_str(), "sloc"), std::nullopt);
    EXPECT_EQ(nomicon_error(), 1);
    EXPECT_EQ(fake_dns_query_count(server), 0);
    EXPECT_EQ(resolver_fields(), before);

    errno = 0;
    EXPECT_EQ(resolve_query("x", -1, 16, 0), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(resolve_query(long_label.c_str(), 4, 16, 0), nullptr);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(resolver_fields(), before);
}

TEST_F(NomiconResolve, AnswerAfterARetransmissionIsNoNetworkProblem)
{
    // The first query goes unanswered: the resolver times out once and
    // then gets its answer on the second try.
    fake_dns_set_reply(server, [n = 0](const DnsBytes &q) mutable {
        return ++n == 1 ? DnsBytes{} : dns_reply(q, {dns_txt({"late"})});
    });
    nomicon_tuning = (2 << 16) | 1;
    nomicon_status = 0;
    EXPECT_EQ(lookup("bulletin", "sloc"), (std::vector<std::string>{"late"}));
    EXPECT_EQ(nomicon_error(), 0);
    EXPECT_EQ(fake_dns_query_count(server), 2);
}

// A UDP port on 127.0.0.1 with nobody listening: sends to it are refused.
std::uint16_t closed_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST_F(NomiconResolve, AnswerAfterARefusingServerIsNoNetworkProblem)
{
    // The first server refuses (the resolver sees ECONNREFUSED and moves
    // on); the second answers. errno may still say "refused" afterwards.
    fake_dns_set_reply(server, [](const DnsBytes &q) { return dns_reply(q, {dns_txt({"second"})}); });
    _res.nscount = 2;
    _res.nsaddr_list[1] = _res.nsaddr_list[0];
    _res.nsaddr_list[0].sin_port = htons(closed_port());
    nomicon_status = 0;
    EXPECT_EQ(lookup("bulletin", "sloc"), (std::vector<std::string>{"second"}));
    EXPECT_EQ(nomicon_error(), 0);
    EXPECT_EQ(fake_dns_query_count(server), 1);
}

// Field by field: padding and the unused bytes of an address may never
// have been written.
bool same_servers_and_settings(const struct __res_state &a, const struct __res_state &b)
{
    bool same = a.retrans == b.retrans && a.retry == b.retry && a.options == b.options &&
                a.nscount == b.nscount && a._u._ext.nscount == b._u._ext.nscount;
    for (int i = 0; i < MAXNS; ++i) {
        const sockaddr_in &x = a.nsaddr_list[i], &y = b.nsaddr_list[i];
        same = same && x.sin_family == y.sin_family && x.sin_port == y.sin_port &&
               x.sin_addr.s_addr == y.sin_addr.s_addr && a._u._ext.nsaddrs[i] == b._u._ext.nsaddrs[i] &&
               a._u._ext.nssocks[i] == b._u._ext.nssocks[i];
    }
    return same;
}

TEST_F(NomiconResolve, NamedServersAreAskedAndTheResolverStateIsKept)
{
    // The resolver's own server refuses class 4, as local caches do.
    fake_dns_set_reply(server, [](const DnsBytes &q) { return dns_reply(q, {}, {}, {}, 5); });
    auto answer = [](const DnsBytes &q) { return dns_reply(q, {dns_txt({"srv"})}); };
    FakeDnsServer *site = fake_dns_start();
    FakeDnsServer *site6 = fake_dns_start_v6();
    ASSERT_NE(site, nullptr);
    fake_dns_set_reply(site, answer);
    if (site6 != nullptr)
        fake_dns_set_reply(site6, answer);
    sockaddr_storage closed = fake_dns_address(site);
    reinterpret_cast<sockaddr_in *>(&closed)->sin_port = htons(closed_port());
    const sockaddr_storage refusing = fake_dns_address(server), good = fake_dns_address(site);
    using Strings = std::vector<std::string>;
    struct Case {
        const char *what;
        std::vector<sockaddr_storage> servers;
        std::optional<Strings> expected;
        int status;
    } cases[] = {
        {"the named server, not the resolver's", {good}, Strings{"srv"}, 0},
        {"after a closed port", {closed, good}, Strings{"srv"}, 0},
        {"after a refusal", {refusing, good}, Strings{"srv"}, 0},
        {"only a refusal", {refusing}, std::nullopt, 3},
        {"IPv6", {site6 ? fake_dns_address(site6) : good}, Strings{"srv"}, 0},
    };
    struct __res_state before;
    std::memcpy(&before, &_res, sizeof before);
    for (const Case &c : cases) {
        std::copy(c.servers.begin(), c.servers.end(), nomicon_nameserver_list);
        nomicon_nameserver_count = static_cast<int>(c.servers.size());
        int refused = fake_dns_query_count(server);
        nomicon_status = 0;
        EXPECT_EQ(lookup("bulletin", "sloc"), c.expected) << c.what;
        EXPECT_EQ(nomicon_error(), c.status) << c.what;
        bool asks_refusing = std::memcmp(&c.servers[0], &refusing, sizeof refusing) == 0;
        EXPECT_EQ(fake_dns_query_count(server) - refused, asks_refusing ? 1 : 0) << c.what;
        EXPECT_TRUE(same_servers_and_settings(before, _res)) << c.what;
    }
    // A silent server: the tuning word's one quick try, not the system's.
    fake_dns_set_silent(site);
    nomicon_nameserver_list[0] = good;
    nomicon_nameserver_count = 1;
    EXPECT_EQ(lookup("bulletin", "sloc"), std::nullopt);
    EXPECT_EQ(nomicon_error(), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(fake_dns_query_count(site), 3 + 1);
    nomicon_nameserver_count = 0;
    EXPECT_TRUE(site6 == nullptr || fake_dns_query_count(site6) == 1);
    fake_dns_stop(site6);
    fake_dns_stop(site);
}

TEST_F(NomiconResolve, TuningHighHalfIsTheNumberOfTries)
{
    fake_dns_set_silent(server);
    struct Case {
        std::int32_t tuning;
        int tries;
    } cases[] = {{(2 << 16) | 1, 2}, {(1 << 16) | 1, 1}, {1, 3}};
    for (const Case &c : cases) {
        nomicon_tuning = c.tuning;
        int queries = fake_dns_query_count(server);
        EXPECT_EQ(lookup("bulletin", "sloc"), std::nullopt);
        EXPECT_EQ(nomicon_error(), 3);
        // The resolver's last datagram may still be in flight.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(fake_dns_query_count(server) - queries, c.tries) << std::hex << c.tuning;
    }
}

TEST_F(NomiconResolve, TuningLowHalfIsTheInterval)
{
    // The answer comes 2 seconds after the query: within the default
    // 4-second interval, not within a 1-second one.
    fake_dns_set_reply(server, [](const DnsBytes &q) {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        return dns_reply(q, {dns_txt({"slow"})});
    });
    nomicon_tuning = 1 << 16;
    EXPECT_EQ(lookup("bulletin", "sloc"), (std::vector<std::string>{"slow"}));
    nomicon_tuning = (1 << 16) | 1;
    nomicon_status = 0;
    EXPECT_EQ(lookup("bulletin", "sloc"), std::nullopt);
    EXPECT_EQ(nomicon_error(), 3);
}

TEST_F(NomiconResolve, ShortDomainAfterAtIsExpandedThroughTheNameService)
{
    struct Case {
        const char *what;
        FakeDnsReply extension;  // answer for site.rhs-extension.ns.test.example
        std::optional<std::string> built;
        int status;
    } cases[] = {
        {"dotted expansion",
         [](const DnsBytes &q) { return dns_reply(q, {dns_txt({".other.example"}), dns_txt({".x"})}); },
         "L.sloc.ns.other.example", 0},
        {"expansion without a dot",
         [](const DnsBytes &q) { return dns_reply(q, {dns_txt({"other.example"})}); },
         "L.sloc.ns.other.example", 0},
        {"no such site",
         [](const DnsBytes &q) { return dns_reply(q, {}, {}, {}, DNS_RCODE_NXDOMAIN); }, std::nullopt, 1},
        {"no strings", [](const DnsBytes &q) { return dns_reply(q, {dns_cname("a.b")}); }, std::nullopt,
         1},
        {"network problem is still status 1", nullptr, std::nullopt, 1},
    };
    for (const Case &c : cases) {
        fake_dns_set_reply(server, c.extension);
        nomicon_status = 0;
        char *built = nomicon_to_bind("L@site", "sloc");
        EXPECT_EQ(built ? std::optional<std::string>(built) : std::nullopt, c.built) << c.what;
        EXPECT_EQ(nomicon_error(), c.status) << c.what;
        EXPECT_EQ(dns_question_name(fake_dns_last_query(server)), "site.rhs-extension.ns.test.example")
            << c.what;
    }

    // The whole lookup: the expansion, then the query under it.
    fake_dns_set_reply(server, [](const DnsBytes &q) {
        if (dns_question_name(q) == "site.rhs-extension.ns.test.example")
            return dns_reply(q, {dns_txt({".other.example"})});
        if (dns_question_name(q) == "bulletin.sloc.ns.other.example")
            return dns_reply(q, {dns_txt({"srv.other.example"})});
        return dns_reply(q, {}, {}, {}, DNS_RCODE_NXDOMAIN);
    });
    int queries = fake_dns_query_count(server);
    EXPECT_EQ(lookup("bulletin@site", "sloc"), (std::vector<std::string>{"srv.other.example"}));
    EXPECT_EQ(fake_dns_query_count(server), queries + 2);
}

}  // namespace
