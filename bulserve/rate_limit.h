// Response rate limiting: how many answers bulserve sends to one source
// address, to one source prefix and in all, per second.
//
// A request is 5 bytes and an answer up to 2047, and UDP lets anyone write
// any source address, so a server that answers everything turns a spoofed
// trickle into a flood aimed at the address it names. The limit goes by
// prefix (an IPv4 /24, an IPv6 /56) because one attacker holds a whole
// network, not one address, and because a victim's network suffers as one.
// Under the prefix's limit each address has a smaller one of its own, which
// holds once its prefix runs short: one address flooding takes what its
// prefix has to spare, then its own rate, and its neighbours keep the
// rest. Over all of them a total limit bounds what the server sends
// whatever the number of prefixes named: a spray of spoofed sources over a
// /16 gets no more than the total.
// Answers beyond a limit are dropped silently and counted; a normal client
// never meets one.
//
// Accounting is a token bucket per address, per prefix and for the total,
// in thousandths of an answer: each fills at its rate a second up to its
// rate + burst (twice its rate for the total), and an answer takes one
// from each. An answer is sent only when all three hold one (the address's
// only while its prefix's bucket is below half), and a dropped one takes
// nothing: a flooding address stopped by its own limit costs its prefix
// nothing. An address beyond its rate stays at none, not in debt. A
// source that has been quiet for a second may thus take rate + burst
// answers at once, and its rate a second after that.
//
// The tables have a fixed number of entries in hash buckets of a few ways,
// keyed by a secret seed so that a sender can't aim many prefixes at one
// bucket. No call allocates, takes a lock or makes a system call: the
// caller passes the time.
//
// When a new source needs a way in a full bucket, the entry replaced is the
// one with the most credit, the oldest among equals. A full bucket holds no
// history worth keeping (dropping it and starting afresh gives the same
// answers), so a burst of one-off sources, spoofed or real, replaces each
// other and the quiet entries, never a source that is over its limit: a
// flooder stays in debt however many other sources ask. A normal client
// whose entry was replaced starts again with a full bucket, so the churn
// can only ever give it more answers, never fewer.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

// Defaults that no real site meets. A /24 holds at most 254 hosts; if every
// one of them log in within the same second, each asks once: a quiet
// prefix may take 600 answers at once and 500 a second after that. A few
// hundred clients behind one address translator share one address, which
// has its prefix's rate while no neighbour needs it. A site's logins all together hardly reach a hundred a
// second; the total allows 2,000, and 4,000 at once after a quiet second.
//
// What they allow an attacker who writes a victim's address on 5-byte
// requests (33 bytes on the wire): a prefix kept at its limit receives at
// most 500 answers of at most 2047 bytes (some 2,100 on the wire) a
// second, about 1 MB/s or 8.4 Mbit/s; everything the server sends, to any
// number of victims, is at most 2,000 of them, about 4.2 MB/s or 34 Mbit/s.
// Each answered request is some 63 times its size, but the attacker can
// never make the server send more than those figures.
inline constexpr std::uint32_t RATE_LIMIT_DEFAULT_PER_SECOND = 500;
inline constexpr std::uint32_t RATE_LIMIT_DEFAULT_PER_ADDRESS = 200;
inline constexpr std::uint32_t RATE_LIMIT_DEFAULT_BURST = 100;
inline constexpr std::uint32_t RATE_LIMIT_DEFAULT_TOTAL = 2000;
inline constexpr unsigned RATE_LIMIT_DEFAULT_IPV4_PREFIX = 24;
inline constexpr unsigned RATE_LIMIT_DEFAULT_IPV6_PREFIX = 56;

// What rate_limit_init accepts; a command line refuses anything else with
// these bounds in its message.
inline constexpr std::uint32_t RATE_LIMIT_MAX_PER_SECOND = 1000000;
inline constexpr std::uint32_t RATE_LIMIT_MAX_BURST = 1000000;
inline constexpr std::uint32_t RATE_LIMIT_MAX_TOTAL = 1000000;
inline constexpr unsigned RATE_LIMIT_MIN_IPV4_PREFIX = 8;
inline constexpr unsigned RATE_LIMIT_MIN_IPV6_PREFIX = 16;

// Each table (prefixes, addresses): buckets of ways. 4096 entries hold
// every source that asks within a few seconds at any real site; see above
// for what happens when more ask at once.
inline constexpr std::size_t RATE_LIMIT_BUCKETS = 1024;  // a power of two
inline constexpr std::size_t RATE_LIMIT_WAYS = 4;

// Room for the longest prefix text, "ffff:...:ffff/128" and its NUL.
inline constexpr std::size_t RATE_LIMIT_PREFIX_TEXT = 46 + 4;

// Each rate is answers a second; 0 takes that limit away.
struct RateLimitConfig {
    std::uint32_t per_second = RATE_LIMIT_DEFAULT_PER_SECOND;  // per prefix
    std::uint32_t burst = RATE_LIMIT_DEFAULT_BURST;            // for prefixes and addresses
    unsigned ipv4_prefix = RATE_LIMIT_DEFAULT_IPV4_PREFIX;     // 8 to 32
    unsigned ipv6_prefix = RATE_LIMIT_DEFAULT_IPV6_PREFIX;     // 16 to 128
    // An IPv4 address, or an IPv6 /64 (at least the prefix), since a host
    // picks its IPv6 addresses within one.
    std::uint32_t per_address = RATE_LIMIT_DEFAULT_PER_ADDRESS;
    std::uint32_t total = RATE_LIMIT_DEFAULT_TOTAL;
};

// A source prefix: the address with the bits past the prefix cleared. IPv4
// sources (and IPv4-mapped IPv6 ones) are kept as ::ffff:a.b.c.0, so the
// two families never share a key.
struct RateLimitKey {
    std::uint8_t bytes[16] = {};
};

struct RateLimitEntry {
    RateLimitKey key;
    std::int64_t last_ms = 0;         // the entry's last request
    std::int32_t credit = 0;          // thousandths of an answer, as of last_ms
    std::uint32_t interval = 0;       // the summary interval that drops_in_interval counts
    std::uint32_t drops_in_interval = 0;
    bool used = false;
};

// The whole state, about 320 KiB, with no pointers inside: the caller
// owns it and keeps it in static storage or on main's stack (every member
// starts as a constant, so a static one costs nothing at start-up).
struct RateLimit {
    RateLimitConfig config;
    std::uint64_t seed = 0;
    std::int32_t depth = 0;                     // (per_second + burst) x 1000, a prefix's bucket
    std::int32_t address_depth = 0;             // (per_address + burst) x 1000
    std::int32_t total_depth = 0;               // total x 2000
    RateLimitEntry all;                         // the total's bucket
    std::uint64_t dropped_total = 0;            // since rate_limit_init
    std::uint64_t dropped_in_interval = 0;      // since the last summary
    std::uint64_t capped_total = 0;             // of those, by the total
    std::uint64_t capped_in_interval = 0;
    std::uint32_t interval = 1;
    std::uint32_t prefixes_in_interval = 0;     // entries that dropped in the interval
    RateLimitKey top_key;                       // the one that dropped most in it
    bool top_is_address = false;
    std::uint32_t top_drops = 0;
    RateLimitEntry entries[RATE_LIMIT_BUCKETS * RATE_LIMIT_WAYS];    // prefixes
    RateLimitEntry addresses[RATE_LIMIT_BUCKETS * RATE_LIMIT_WAYS];
};

// What rate_limit_summary hands out for one interval, for a single log line.
struct RateLimitSummary {
    std::uint64_t dropped = 0;         // answers dropped in the interval
    std::uint64_t dropped_total = 0;   // since rate_limit_init
    std::uint64_t capped = 0;          // of `dropped`, by the total
    // Sources (prefixes and addresses) that had an answer dropped by their
    // own limit; one whose entry was replaced and came back within the
    // interval counts twice.
    std::uint32_t prefixes = 0;
    // The source that had the most dropped by its own limit, as
    // The lengths that key an address: IPv4 /32, IPv6 /64 or the prefix if
// longer.
RateLimitConfig rate_limit_address_config(const RateLimitConfig &config);
// "192.0.2.0/24" or "192.0.2.7/32" ("" when none was), and how many.
    std::uint32_t top_drops = 0;
    char top_prefix[RATE_LIMIT_PREFIX_TEXT] = "";
};

// Empties the table and takes the configuration. The seed keys the hash of
// prefixes to buckets: pass a value a sender can't guess (getrandom at
// start), or a sender who knows it can make many of its prefixes share one
// bucket. False, with the table left disabled, when a value is out of the
// bounds above.
bool rate_limit_init(RateLimit *limit, const RateLimitConfig &config, std::uint64_t seed);

// Decides one answer: true to send it, false to drop it (counted). `from`
// is the request's source address as recvfrom gave it; now_ms a monotonic
// time in milliseconds (CLOCK_MONOTONIC, which Linux reads without a system
// call; once per batch of requests is precise enough). A source of another
// family than IPv4 or IPv6 passes the limits of sources, not the total.
bool rate_limit_allow(RateLimit *limit, const sockaddr *from, socklen_t from_length,
                      std::int64_t now_ms);

// Hands out the drops since the last call and starts a new interval. The
// caller decides the interval (a minute is right for a log line) and writes
// the line only when `dropped` is not zero.
RateLimitSummary rate_limit_summary(RateLimit *limit);

// The prefix of a source, by the configured lengths (a config with the
// prefixes at their longest gives an address's key); false for a family
// other than IPv4 and IPv6 or a short address.
bool rate_limit_key(const RateLimitConfig &config, const sockaddr *from, socklen_t from_length,
                    RateLimitKey *key);
// The lengths that key an address: IPv4 /32, IPv6 /64 or the prefix if
// longer.
RateLimitConfig rate_limit_address_config(const RateLimitConfig &config);
// "192.0.2.0/24" or "2001:db8:0:100::/56" into out (at least
// RATE_LIMIT_PREFIX_TEXT bytes).
void rate_limit_prefix_text(const RateLimitConfig &config, const RateLimitKey &key, char *out,
                            std::size_t size);
