#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "bulserve/rate_limit.h"

namespace {

// A source address as recvfrom hands it out, from its text.
struct Source {
    sockaddr_storage storage{};
    socklen_t length = 0;
    explicit Source(const char *text)
    {
        sockaddr_in sin{};
        sockaddr_in6 sin6{};
        if (inet_pton(AF_INET, text, &sin.sin_addr) == 1) {
            sin.sin_family = AF_INET;
            sin.sin_port = htons(40000);
            std::memcpy(&storage, &sin, sizeof sin);
            length = sizeof sin;
        } else if (inet_pton(AF_INET6, text, &sin6.sin6_addr) == 1) {
            sin6.sin6_family = AF_INET6;
            std::memcpy(&storage, &sin6, sizeof sin6);
            length = sizeof sin6;
        } else {
            ADD_FAILURE() << "bad address " << text;
        }
    }
    const sockaddr *address() const { return reinterpret_cast<const sockaddr *>(&storage); }
};

// About 160 KiB: on the heap in tests, not on a test thread's stack.
std::unique_ptr<RateLimit> make_limit(std::uint32_t per_second, std::uint32_t burst)
{
    auto limit = std::make_unique<RateLimit>();
    RateLimitConfig config;
    config.per_second = per_second;
    config.burst = burst;
    config.per_address = 0;
    config.total = 0;
    EXPECT_TRUE(rate_limit_init(limit.get(), config, 0x5eed));
    return limit;
}

bool ask(RateLimit *limit, const Source &source, std::int64_t now_ms)
{
    return rate_limit_allow(limit, source.address(), source.length, now_ms);
}

// Answers a source gets when it asks `per_ms` times every millisecond from
// first_ms up to but not including end_ms.
int flood(RateLimit *limit, const Source &source, std::int64_t first_ms, std::int64_t end_ms,
          int per_ms)
{
    int answered = 0;
    for (std::int64_t t = first_ms; t < end_ms; ++t)
        for (int i = 0; i < per_ms; ++i)
            answered += ask(limit, source, t);
    return answered;
}

TEST(RateLimit, FloodIsCutToTheLimitEachSecond)
{
    struct {
        std::uint32_t per_second, burst;
        int per_ms;  // the flood's requests per millisecond
    } cases[] = {
        {RATE_LIMIT_DEFAULT_PER_SECOND, RATE_LIMIT_DEFAULT_BURST, 130},
        {100, 20, 10},
        {1, 0, 1},
        {999, 1, 5},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.per_second) + "/s burst " + std::to_string(c.burst));
        auto limit = make_limit(c.per_second, c.burst);
        Source flooder("198.51.100.9");
        // The first second: the full bucket and what flows in meanwhile.
        int first = flood(limit.get(), flooder, 1000, 2000, c.per_ms);
        EXPECT_GE(first, static_cast<int>(c.per_second + c.burst));
        EXPECT_LE(first, static_cast<int>(2 * c.per_second + c.burst));
        for (std::int64_t second = 2; second < 5; ++second) {
            int answered = flood(limit.get(), flooder, second * 1000, second * 1000 + 1000,
                                 c.per_ms);
            EXPECT_EQ(answered, static_cast<int>(c.per_second)) << "second " << second;
        }
        RateLimitSummary s = rate_limit_summary(limit.get());
        EXPECT_EQ(s.dropped, 4000ULL * c.per_ms - first - 3 * c.per_second);
    }
}

TEST(RateLimit, LoginStormOfAWholeNetworkPassesByDefault)
{
    auto limit = make_limit(RATE_LIMIT_DEFAULT_PER_SECOND, RATE_LIMIT_DEFAULT_BURST);
    // Every host of a /24 twice within the same millisecond, then again
    // spread over the next second.
    int answered = 0;
    for (int round = 0; round < 2; ++round)
        for (int host = 1; host < 255; ++host)
            answered += ask(limit.get(), Source(("192.0.2." + std::to_string(host)).c_str()), 5000);
    for (int host = 1; host < 255; ++host)
        answered += ask(limit.get(), Source(("192.0.2." + std::to_string(host)).c_str()),
                        5000 + host * 3);
    EXPECT_EQ(answered, 3 * 254);
    EXPECT_EQ(rate_limit_summary(limit.get()).dropped, 0u);
}

TEST(RateLimit, OnlyTheFloodingPrefixIsLimited)
{
    struct {
        const char *flooder, *other;
        bool other_limited;
    } cases[] = {
        {"198.51.100.9", "198.51.101.9", false},
        {"198.51.100.9", "203.0.113.1", false},
        {"198.51.100.9", "198.51.100.200", true},
        {"198.51.100.9", "::ffff:198.51.100.7", true},  // the same client on a dual-stack socket
        {"2001:db8:0:1200::1", "2001:db8:0:1300::1", false},
        {"2001:db8:0:1200::1", "2001:db8:0:12ff:ffff::9", true},
        {"2001:db8:0:1200::1", "::ffff:32.1.13.184", false},  // the IPv4 twin of its first bytes
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.flooder) + " then " + c.other);
        auto limit = make_limit(100, 20);
        Source flooder(c.flooder), other(c.other);
        flood(limit.get(), flooder, 1000, 2000, 10);
        // The other source asks every 10 ms while the flood goes on.
        int answered = 0;
        for (std::int64_t t = 2000; t < 4000; ++t) {
            flood(limit.get(), flooder, t, t + 1, 10);
            if (t % 10 == 0)
                answered += ask(limit.get(), other, t);
        }
        if (c.other_limited)
            EXPECT_LT(answered, 100);
        else
            EXPECT_EQ(answered, 200);
    }
}

// One address of a prefix floods as fast as it can, or a spray of spoofed
// sources names a new /24 at each request; a neighbour of the flooder
// asks 20 times a second.
TEST(RateLimit, AFloodingAddressLeavesItsNeighboursAndTheTotalHolds)
{
    struct {
        std::uint32_t per_address, total;
        bool spray;
        int neighbour_min, flood_max;  // answers in 3 s
    } cases[] = {
        {RATE_LIMIT_DEFAULT_PER_ADDRESS, 0, false, 60, 600 + 3 * 500},
        {0, 0, false, 0, 600 + 3 * 500},  // no limit per address: the prefix's answers go
        {RATE_LIMIT_DEFAULT_PER_ADDRESS, RATE_LIMIT_DEFAULT_TOTAL, true, 0, 4000 + 3 * 2000},
        {RATE_LIMIT_DEFAULT_PER_ADDRESS, 0, true, 60, 3 * 50000},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.per_address) + "/s per address, total " +
                     std::to_string(c.total) + (c.spray ? ", spray" : ""));
        auto limit = std::make_unique<RateLimit>();
        RateLimitConfig config;
        config.per_address = c.per_address;
        config.total = c.total;
        ASSERT_TRUE(rate_limit_init(limit.get(), config, 0x5eed));
        Source flooder("198.51.100.9"), neighbour("198.51.100.200");
        int flood_answers = 0, neighbour_answers = 0;
        std::uint32_t next = 0x0a000000;
        for (std::int64_t t = 0; t < 3000; ++t) {
            for (int i = 0; i < 50; ++i) {
                sockaddr_in sin{};
                sin.sin_family = AF_INET;
                sin.sin_addr.s_addr = htonl(next += 256);
                flood_answers += c.spray ? rate_limit_allow(limit.get(),
                                                            reinterpret_cast<sockaddr *>(&sin),
                                                            sizeof sin, t)
                                         : ask(limit.get(), flooder, t);
            }
            if (t % 50 == 0)
                neighbour_answers += ask(limit.get(), neighbour, t);
        }
        EXPECT_LE(flood_answers, c.flood_max);
        if (c.neighbour_min > 0)
            EXPECT_GE(neighbour_answers, c.neighbour_min);
        else
            EXPECT_LT(neighbour_answers, 60);
    }
}

TEST(RateLimit, CreditFlowsBackWhileQuiet)
{
    struct {
        std::int64_t quiet_ms;
        int answers;  // then at once
    } cases[] = {
        {0, 0}, {9, 0}, {10, 1}, {250, 25}, {1000, 100}, {1200, 120}, {5000, 120},
        {1000LL * 86400 * 365 * 100, 120},  // a century: no overflow
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.quiet_ms);
        auto limit = make_limit(100, 20);
        Source s("192.0.2.1");
        ASSERT_EQ(flood(limit.get(), s, 1000, 1001, 200), 120);
        std::int64_t later = 1000 + c.quiet_ms;
        EXPECT_EQ(flood(limit.get(), s, later, later + 1, 200), c.answers);
    }
    // A clock that steps back gives nothing.
    auto limit = make_limit(100, 20);
    Source s("192.0.2.1");
    ASSERT_EQ(flood(limit.get(), s, 9000, 9001, 200), 120);
    EXPECT_EQ(flood(limit.get(), s, 100, 101, 5), 0);
}

// Many more sources than the table holds, as a flood of spoofed addresses
// brings, while one prefix floods and one asks normally.
TEST(RateLimit, AFullTableNeitherFreesTheFlooderNorStarvesOthers)
{
    struct {
        int new_sources_per_ms;
        int flood_every_ms, flood_burst;  // a flood in bursts lets others in between
    } cases[] = {{1, 1, 20}, {200, 1, 20}, {20, 50, 50}, {200, 50, 50}, {200, 200, 200}};
    for (auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.new_sources_per_ms) + " new sources/ms, flood of " +
                     std::to_string(c.flood_burst) + " every " + std::to_string(c.flood_every_ms) +
                     " ms");
        auto limit = make_limit(100, 20);
        Source flooder("198.51.100.9"), normal("203.0.113.5");
        int flooder_answers = 0, normal_answers = 0, spoofed_answers = 0;
        std::uint32_t next = 0x0a000000;  // 10.0.0.0 upwards, one /24 each
        const std::int64_t seconds = 3;
        for (std::int64_t t = 0; t < seconds * 1000; ++t) {
            for (int i = 0; i < c.new_sources_per_ms; ++i) {
                sockaddr_in sin{};
                sin.sin_family = AF_INET;
                sin.sin_addr.s_addr = htonl(next);
                next += 256;
                spoofed_answers += rate_limit_allow(
                    limit.get(), reinterpret_cast<const sockaddr *>(&sin), sizeof sin, t);
            }
            if (t % c.flood_every_ms == 0)
                flooder_answers += flood(limit.get(), flooder, t, t + 1, c.flood_burst);
            if (t % 20 == 0)
                normal_answers += ask(limit.get(), normal, t);
        }
        EXPECT_LE(flooder_answers, 120 + 100 * seconds);
        EXPECT_EQ(normal_answers, seconds * 50);
        EXPECT_EQ(spoofed_answers, seconds * 1000 * c.new_sources_per_ms);
    }
}

TEST(RateLimit, DisabledAnswersEverything)
{
    auto limit = make_limit(0, 0);
    Source s("192.0.2.1");
    EXPECT_EQ(flood(limit.get(), s, 0, 1000, 100), 100000);
    EXPECT_EQ(rate_limit_summary(limit.get()).dropped_total, 0u);
}

TEST(RateLimit, InitRefusesValuesOutOfBounds)
{
    struct {
        std::uint32_t per_second, burst;
        unsigned ipv4, ipv6;
        bool ok;
    } cases[] = {
        {RATE_LIMIT_MAX_PER_SECOND, RATE_LIMIT_MAX_BURST, 32, 128, true},
        {1, 0, RATE_LIMIT_MIN_IPV4_PREFIX, RATE_LIMIT_MIN_IPV6_PREFIX, true},
        {RATE_LIMIT_MAX_PER_SECOND + 1, 0, 24, 56, false},
        {1, RATE_LIMIT_MAX_BURST + 1, 24, 56, false},
        {1, 0, RATE_LIMIT_MIN_IPV4_PREFIX - 1, 56, false},
        {1, 0, 33, 56, false},
        {1, 0, 24, RATE_LIMIT_MIN_IPV6_PREFIX - 1, false},
        {1, 0, 24, 129, false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.per_second) + " " + std::to_string(c.burst) + " /" +
                     std::to_string(c.ipv4) + " /" + std::to_string(c.ipv6));
        auto limit = std::make_unique<RateLimit>();
        RateLimitConfig config{c.per_second, c.burst, c.ipv4, c.ipv6, 0, 0};
        ASSERT_EQ(rate_limit_init(limit.get(), config, 1), c.ok);
        // Refused: nothing is limited. Accepted, even at the largest values:
        // a quiet source gets exactly the bucket's size at once.
        Source s("192.0.2.1");
        int asked = static_cast<int>(c.per_second + c.burst + 1);
        int answered = flood(limit.get(), s, 0, 1, asked);
        EXPECT_EQ(answered, c.ok ? asked - 1 : asked);
    }
}

TEST(RateLimit, SummaryNamesTheWorstPrefixAndStartsAfresh)
{
    auto limit = make_limit(100, 20);
    flood(limit.get(), Source("192.0.2.7"), 0, 1, 150);           // 30 dropped
    flood(limit.get(), Source("2001:db8:1:2ff::1"), 0, 1, 170);   // 50 dropped
    flood(limit.get(), Source("198.51.100.1"), 0, 1, 120);        // none
    RateLimitSummary s = rate_limit_summary(limit.get());
    EXPECT_EQ(s.dropped, 80u);
    EXPECT_EQ(s.dropped_total, 80u);
    EXPECT_EQ(s.prefixes, 2u);
    EXPECT_EQ(s.top_drops, 50u);
    EXPECT_STREQ(s.top_prefix, "2001:db8:1:200::/56");

    flood(limit.get(), Source("192.0.2.200"), 1, 2, 5);
    s = rate_limit_summary(limit.get());
    EXPECT_EQ(s.dropped, 5u);
    EXPECT_EQ(s.dropped_total, 85u);
    EXPECT_EQ(s.prefixes, 1u);
    EXPECT_EQ(s.top_drops, 5u);
    EXPECT_STREQ(s.top_prefix, "192.0.2.0/24");

    s = rate_limit_summary(limit.get());
    EXPECT_EQ(s.dropped, 0u);
    EXPECT_EQ(s.prefixes, 0u);
    EXPECT_STREQ(s.top_prefix, "");
}

TEST(RateLimit, PrefixOfASource)
{
    struct {
        const char *source;
        unsigned ipv4, ipv6;
        const char *prefix;
    } cases[] = {
        {"192.0.2.77", 24, 56, "192.0.2.0/24"},
        {"192.0.2.77", 32, 56, "192.0.2.77/32"},
        {"192.0.255.77", 20, 56, "192.0.240.0/20"},
        {"10.200.3.4", 8, 56, "10.0.0.0/8"},
        {"::ffff:192.0.2.7", 24, 56, "192.0.2.0/24"},
        {"2001:db8:1:2ff::1", 24, 56, "2001:db8:1:200::/56"},
        {"2001:db8:1:2ff::1", 24, 60, "2001:db8:1:2f0::/60"},
        {"2001:db8:1:2ff::1", 24, 128, "2001:db8:1:2ff::1/128"},
        {"2001:ffff:1::", 24, 17, "2001:8000::/17"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.source);
        RateLimitConfig config{100, 0, c.ipv4, c.ipv6};
        Source s(c.source);
        RateLimitKey key;
        ASSERT_TRUE(rate_limit_key(config, s.address(), s.length, &key));
        char text[RATE_LIMIT_PREFIX_TEXT];
        rate_limit_prefix_text(config, key, text, sizeof text);
        EXPECT_STREQ(text, c.prefix);
    }
    // A family it can't limit, and a truncated address, are answered.
    sockaddr unix_like{};
    unix_like.sa_family = AF_UNIX;
    Source v4("192.0.2.1");
    RateLimitKey key;
    EXPECT_FALSE(rate_limit_key(RateLimitConfig{}, &unix_like, sizeof unix_like, &key));
    EXPECT_FALSE(rate_limit_key(RateLimitConfig{}, v4.address(), 8, &key));
    auto limit = make_limit(1, 0);
    EXPECT_EQ(flood(limit.get(), v4, 0, 1, 3), 1);
    int answered = 0;
    for (int i = 0; i < 3; ++i)
        answered += rate_limit_allow(limit.get(), &unix_like, sizeof unix_like, 0);
    EXPECT_EQ(answered, 3);
}

}  // namespace
