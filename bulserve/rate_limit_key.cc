#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "bulserve/rate_limit.h"

namespace {

// Clears every bit of the 16 bytes past the first `bits`.
void clear_after(RateLimitKey *key, unsigned bits)
{
    for (unsigned i = 0; i < sizeof key->bytes; ++i) {
        unsigned first = i * 8;
        if (first >= bits)
            key->bytes[i] = 0;
        else if (bits - first < 8)
            key->bytes[i] &= static_cast<std::uint8_t>(0xff00u >> (bits - first));
    }
}

bool is_ipv4_mapped(const std::uint8_t *bytes)
{
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(bytes, prefix, sizeof prefix) == 0;
}

}  // namespace

bool rate_limit_key(const RateLimitConfig &config, const sockaddr *from, socklen_t from_length,
                    RateLimitKey *key)
{
    if (from == nullptr || from_length < static_cast<socklen_t>(sizeof from->sa_family))
        return false;
    *key = RateLimitKey{};
    if (from->sa_family == AF_INET && from_length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in sin;
        std::memcpy(&sin, from, sizeof sin);
        key->bytes[10] = 0xff;
        key->bytes[11] = 0xff;
        std::memcpy(&key->bytes[12], &sin.sin_addr, 4);
        clear_after(key, 96 + config.ipv4_prefix);
        return true;
    }
    if (from->sa_family == AF_INET6 &&
        from_length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, from, sizeof sin6);
        std::memcpy(key->bytes, &sin6.sin6_addr, 16);
        // An IPv4 client of a dual-stack socket is the same client as on
        // an IPv4 socket, and is limited by its IPv4 prefix.
        clear_after(key, is_ipv4_mapped(key->bytes) ? 96 + config.ipv4_prefix : config.ipv6_prefix);
        return true;
    }
    return false;
}

void rate_limit_prefix_text(const RateLimitConfig &config, const RateLimitKey &key, char *out,
                            std::size_t size)
{
    if (out == nullptr || size == 0)
        return;
    char address[INET6_ADDRSTRLEN] = "?";
    unsigned length = config.ipv6_prefix;
    if (is_ipv4_mapped(key.bytes)) {
        inet_ntop(AF_INET, &key.bytes[12], address, sizeof address);
        length = config.ipv4_prefix;
    } else {
        inet_ntop(AF_INET6, key.bytes, address, sizeof address);
    }
    std::snprintf(out, size, "%s/%u", address, length);
}

RateLimitConfig rate_limit_address_config(const RateLimitConfig &config)
{
    RateLimitConfig address = config;
    address.ipv4_prefix = 32;
    address.ipv6_prefix = config.ipv6_prefix > 64 ? config.ipv6_prefix : 64;
    return address;
}
