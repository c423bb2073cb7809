// What one rate_limit_allow call costs, in nanoseconds, with the default
// limits (per address, per prefix, in all), for the patterns a server meets: one source, the sources of a busy site, and a flood of
// spoofed sources that replaces an entry on nearly every call. Prints
// figures; bench/bulserve-bench runs it.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>

#include "bulserve/rate_limit.h"

namespace {

std::int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Calls for `calls` requests cycling through `sources` /24 prefixes, the
// clock moving a millisecond every 1000 calls; returns ns per call.
double cost(RateLimit *limit, std::uint32_t sources, std::int64_t calls, std::uint64_t *allowed)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    std::int64_t start = now_ns();
    for (std::int64_t i = 0; i < calls; ++i) {
        sin.sin_addr.s_addr = htonl(0x0a000000u + static_cast<std::uint32_t>(i % sources) * 256u);
        *allowed += rate_limit_allow(limit, reinterpret_cast<const sockaddr *>(&sin), sizeof sin,
                                     i / 1000);
    }
    return static_cast<double>(now_ns() - start) / static_cast<double>(calls);
}

}  // namespace

int main()
{
    auto limit = std::make_unique<RateLimit>();
    const std::int64_t calls = 20000000;
    struct {
        const char *what;
        std::uint32_t sources;
    } patterns[] = {
        {"one source", 1},
        {"1000 prefixes in turn", 1000},
        {"10^6 prefixes in turn (the table replaced)", 1000000},
    };
    for (auto &p : patterns) {
        rate_limit_init(limit.get(), RateLimitConfig{}, 0x1234567);
        std::uint64_t allowed = 0;
        double ns = cost(limit.get(), p.sources, calls, &allowed);
        std::printf("rate_limit_allow: %6.1f ns per call, %s (%.1f%% answered)\n", ns, p.what,
                    100.0 * static_cast<double>(allowed) / static_cast<double>(calls));
    }
    RateLimitConfig off;
    off.per_second = 0;
    off.per_address = 0;
    off.total = 0;
    rate_limit_init(limit.get(), off, 0);
    std::uint64_t allowed = 0;
    std::printf("rate_limit_allow: %6.1f ns per call, limiting off\n",
                cost(limit.get(), 1000, calls, &allowed));
    return 0;
}
