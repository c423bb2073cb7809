#include <cstring>

#include "bulserve/rate_limit.h"

namespace {

constexpr std::int32_t ONE_ANSWER = 1000;  // credit is kept in thousandths

std::uint64_t mix(std::uint64_t h)
{
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebULL;
    return h ^ (h >> 31);
}

std::size_t bucket_of(const RateLimit &limit, const RateLimitKey &key)
{
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, key.bytes, 8);
    std::memcpy(&low, key.bytes + 8, 8);
    std::uint64_t h = mix(limit.seed ^ high);
    h = mix(h ^ low);
    return static_cast<std::size_t>(h) & (RATE_LIMIT_BUCKETS - 1);
}

// The entry's credit at `now`: what it had plus what has flowed in since,
// up to the bucket's size. The clock never goes back, but a caller's clock
// that did would only stop the flow, not reverse it.
std::int32_t credit_at(const RateLimit &limit, const RateLimitEntry &entry, std::int64_t now_ms)
{
    if (now_ms <= entry.last_ms)
        return entry.credit;
    std::int64_t missing = limit.depth - entry.credit;
    std::int64_t elapsed = now_ms - entry.last_ms;
    // Compared before multiplying: after a long quiet the product would
    // overflow.
    if (elapsed >= missing / limit.config.per_second + 1)
        return limit.depth;
    return static_cast<std::int32_t>(entry.credit + elapsed * limit.config.per_second);
}

// The entry of `key` in its bucket, or the way it is to take: an unused
// one, else the one with the most credit (a full bucket is no different
// from a new one), the oldest among equals. A prefix over its limit has
// little credit and is the last to go.
RateLimitEntry *find(RateLimit *limit, const RateLimitKey &key, std::int64_t now_ms)
{
    RateLimitEntry *ways = &limit->entries[bucket_of(*limit, key) * RATE_LIMIT_WAYS];
    RateLimitEntry *victim = nullptr;
    std::int32_t victim_credit = 0;
    for (std::size_t i = 0; i < RATE_LIMIT_WAYS; ++i) {
        RateLimitEntry *entry = &ways[i];
        if (!entry->used) {
            if (victim == nullptr || victim->used)
                victim = entry;
            continue;
        }
        if (std::memcmp(entry->key.bytes, key.bytes, sizeof key.bytes) == 0)
            return entry;
        if (victim != nullptr && !victim->used)
            continue;
        std::int32_t credit = credit_at(*limit, *entry, now_ms);
        if (victim == nullptr || credit > victim_credit ||
            (credit == victim_credit && entry->last_ms < victim->last_ms)) {
            victim = entry;
            victim_credit = credit;
        }
    }
    *victim = RateLimitEntry{};
    victim->key = key;
    victim->used = true;
    victim->last_ms = now_ms;
    victim->credit = limit->depth;
    return victim;
}

void count_drop(RateLimit *limit, RateLimitEntry *entry)
{
    ++limit->dropped_total;
    ++limit->dropped_in_interval;
    if (entry->interval != limit->interval) {
        entry->interval = limit->interval;
        entry->drops_in_interval = 0;
        ++limit->prefixes_in_interval;
    }
    if (++entry->drops_in_interval > limit->top_drops) {
        limit->top_drops = entry->drops_in_interval;
        limit->top_key = entry->key;
    }
}

}  // namespace

bool rate_limit_allow(RateLimit *limit, const sockaddr *from, socklen_t from_length,
                      std::int64_t now_ms)
{
    if (limit->config.per_second == 0)
        return true;
    RateLimitKey key;
    if (!rate_limit_key(limit->config, from, from_length, &key))
        return true;
    RateLimitEntry *entry = find(limit, key, now_ms);
    entry->credit = credit_at(*limit, *entry, now_ms);
    if (now_ms > entry->last_ms)
        entry->last_ms = now_ms;
    if (entry->credit >= ONE_ANSWER) {
        entry->credit -= ONE_ANSWER;
        return true;
    }
    count_drop(limit, entry);
    return false;
}
