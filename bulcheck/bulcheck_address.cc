#include "bulcheck/bulcheck.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {
char buffers[4][INET6_ADDRSTRLEN];
int next_buffer;
}  // namespace

const char *bulcheck_address(const struct sockaddr *address)
{
    char *out = buffers[next_buffer];
    next_buffer = (next_buffer + 1) % 4;
    const void *raw = nullptr;
    if (address->sa_family == AF_INET)
        raw = &reinterpret_cast<const sockaddr_in *>(address)->sin_addr;
    else if (address->sa_family == AF_INET6)
        raw = &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr;
    if (raw == nullptr || inet_ntop(address->sa_family, raw, out, INET6_ADDRSTRLEN) == nullptr)
        return "(an address of an unknown family)";
    return out;
}
