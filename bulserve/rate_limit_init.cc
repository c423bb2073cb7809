#include "bulserve/rate_limit.h"

bool rate_limit_init(RateLimit *limit, const RateLimitConfig &config, std::uint64_t seed)
{
    // Entry by entry: the table is too big for a temporary on the stack.
    for (RateLimitEntry &entry : limit->entries)
        entry = RateLimitEntry{};
    for (RateLimitEntry &entry : limit->addresses)
        entry = RateLimitEntry{};
    limit->all = RateLimitEntry{};
    limit->capped_total = 0;
    limit->capped_in_interval = 0;
    limit->top_is_address = false;
    limit->dropped_total = 0;
    limit->dropped_in_interval = 0;
    limit->interval = 1;
    limit->prefixes_in_interval = 0;
    limit->top_key = RateLimitKey{};
    limit->top_drops = 0;
    limit->seed = seed;
    if (config.per_second > RATE_LIMIT_MAX_PER_SECOND || config.burst > RATE_LIMIT_MAX_BURST ||
        config.per_address > RATE_LIMIT_MAX_PER_SECOND || config.total > RATE_LIMIT_MAX_TOTAL ||
        config.ipv4_prefix < RATE_LIMIT_MIN_IPV4_PREFIX || config.ipv4_prefix > 32 ||
        config.ipv6_prefix < RATE_LIMIT_MIN_IPV6_PREFIX || config.ipv6_prefix > 128) {
        limit->config = RateLimitConfig{};
        limit->config.per_second = 0;
        limit->config.per_address = 0;
        limit->config.total = 0;
        limit->depth = 0;
        limit->address_depth = 0;
        limit->total_depth = 0;
        return false;
    }
    limit->config = config;
    // At most 2e9 thousandths, within the entry's 32-bit credit.
    limit->depth = static_cast<std::int32_t>((config.per_second + config.burst) * 1000);
    limit->address_depth = static_cast<std::int32_t>((config.per_address + config.burst) * 1000);
    limit->total_depth = static_cast<std::int32_t>(config.total * 2000);
    limit->all.credit = limit->total_depth;
    return true;
}
