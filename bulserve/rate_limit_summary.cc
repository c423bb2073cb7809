#include "bulserve/rate_limit.h"

RateLimitSummary rate_limit_summary(RateLimit *limit)
{
    RateLimitSummary summary;
    summary.dropped = limit->dropped_in_interval;
    summary.dropped_total = limit->dropped_total;
    summary.capped = limit->capped_in_interval;
    summary.prefixes = limit->prefixes_in_interval;
    summary.top_drops = limit->top_drops;
    if (limit->top_drops > 0)
        rate_limit_prefix_text(limit->top_is_address ? rate_limit_address_config(limit->config)
                                                     : limit->config,
                               limit->top_key, summary.top_prefix, sizeof summary.top_prefix);
    // Entries still marked with the old interval start counting afresh on
    // their next drop.
    ++limit->interval;
    if (limit->interval == 0)
        limit->interval = 1;  // 0 is what a new entry holds
    limit->dropped_in_interval = 0;
    limit->capped_in_interval = 0;
    limit->prefixes_in_interval = 0;
    limit->top_drops = 0;
    limit->top_key = RateLimitKey{};
    return summary;
}
