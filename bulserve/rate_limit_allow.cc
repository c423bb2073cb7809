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

// The entry's credit at `now`: what it had plus what has flowed in since at
// `rate` a second, up to `depth`. The clock never goes back, but a caller's
// clock that did would only stop the flow, not reverse it.
std::int32_t credit_at(std::int32_t depth, std::uint32_t rate, const RateLimitEntry &entry,
                       std::int64_t now_ms)
{
    if (now_ms <= entry.last_ms)
        return entry.credit;
    std::int64_t missing = depth - entry.credit;
    std::int64_t elapsed = now_ms - entry.last_ms;
    // Compared before multiplying: after a long quiet the product would
    // overflow.
    if (elapsed >= missing / rate + 1)
        return depth;
    return static_cast<std::int32_t>(entry.credit + elapsed * rate);
}

// Brings an entry's credit up to `now`.
void refresh(std::int32_t depth, std::uint32_t rate, RateLimitEntry *entry, std::int64_t now_ms)
{
    entry->credit = credit_at(depth, rate, *entry, now_ms);
    if (now_ms > entry->last_ms)
        entry->last_ms = now_ms;
}

// The entry of `key` in its bucket of `table`, or the way it is to take:
// an unused one, else the one with the most credit (a full bucket is no
// different from a new one), the oldest among equals. A source over its
// limit has little credit and is the last to go.
RateLimitEntry *find(const RateLimit &limit, RateLimitEntry *table, std::int32_t depth,
                     std::uint32_t rate, const RateLimitKey &key, std::int64_t now_ms)
{
    RateLimitEntry *ways = &table[bucket_of(limit, key) * RATE_LIMIT_WAYS];
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
        std::int32_t credit = credit_at(depth, rate, *entry, now_ms);
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
    victim->credit = depth;
    return victim;
}

bool drop(RateLimit *limit, RateLimitEntry *entry, bool address)
{
    ++limit->dropped_total;
    ++limit->dropped_in_interval;
    if (entry == nullptr) {
        ++limit->capped_total;
        ++limit->capped_in_interval;
        return false;
    }
    if (entry->interval != limit->interval) {
        entry->interval = limit->interval;
        entry->drops_in_interval = 0;
        ++limit->prefixes_in_interval;
    }
    if (++entry->drops_in_interval > limit->top_drops) {
        limit->top_drops = entry->drops_in_interval;
        limit->top_key = entry->key;
        limit->top_is_address = address;
    }
    return false;
}

}  // namespace

bool rate_limit_allow(RateLimit *limit, const sockaddr *from, socklen_t from_length,
                      std::int64_t now_ms)
{
    const RateLimitConfig &config = limit->config;
    if (config.per_second == 0 && config.per_address == 0 && config.total == 0)
        return true;
    RateLimitKey key;
    bool known = rate_limit_key(config, from, from_length, &key);
    RateLimitEntry *prefix = nullptr;
    if (known && config.per_second != 0) {
        prefix = find(*limit, limit->entries, limit->depth, config.per_second, key, now_ms);
        refresh(limit->depth, config.per_second, prefix, now_ms);
    }
    // An address may take more than its own rate only while its prefix
    // has answers to spare (its bucket at least half full): a lone busy
    // client, or many behind one address translator, has the whole
    // prefix's rate, but once the prefix runs short an address flooding
    // it is held to its own rate, and the prefix's bucket fills again for
    // its neighbours.
    RateLimitEntry *address = nullptr;
    if (known && config.per_address != 0) {
        RateLimitKey own;
        (void)rate_limit_key(rate_limit_address_config(config), from, from_length, &own);
        address = find(*limit, limit->addresses, limit->address_depth, config.per_address, own,
                       now_ms);
        refresh(limit->address_depth, config.per_address, address, now_ms);
        bool short_of_answers = prefix == nullptr || prefix->credit < limit->depth / 2;
        if (short_of_answers && address->credit < ONE_ANSWER)
            return drop(limit, address, true);
    }
    if (prefix != nullptr && prefix->credit < ONE_ANSWER)
        return drop(limit, prefix, false);
    if (config.total != 0) {
        refresh(limit->total_depth, config.total, &limit->all, now_ms);
        if (limit->all.credit < ONE_ANSWER)
            return drop(limit, nullptr, false);
        limit->all.credit -= ONE_ANSWER;
    }
    // An address beyond its rate stays at none, not in debt: it is held
    // to its rate as soon as its prefix runs short, no later.
    if (address != nullptr && address->credit >= ONE_ANSWER)
        address->credit -= ONE_ANSWER;
    if (prefix != nullptr)
        prefix->credit -= ONE_ANSWER;
    return true;
}
