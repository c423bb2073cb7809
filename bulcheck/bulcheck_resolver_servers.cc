#include "bulcheck/bulcheck.h"

#include <cstring>
#include <netinet/in.h>
#include <resolv.h>

// The resolver library keeps IPv4 servers in nsaddr_list and, at the same
// index, an IPv6 server behind _u._ext.nsaddrs instead. Read after res_init,
// so this is the list its lookups walk, whatever the file said.
std::size_t bulcheck_resolver_servers(std::span<sockaddr_storage> out)
{
    if ((_res.options & RES_INIT) == 0 && res_init() != 0)
        return 0;
    std::size_t n = 0;
    int count = _res.nscount < MAXNS ? _res.nscount : MAXNS;
    for (int i = 0; i < count && n < out.size(); ++i) {
        sockaddr_storage &slot = out[n];
        std::memset(&slot, 0, sizeof slot);
        const sockaddr_in6 *six = _res._u._ext.nsaddrs[i];
        if (six != nullptr && six->sin6_family == AF_INET6)
            std::memcpy(&slot, six, sizeof *six);
        else if (_res.nsaddr_list[i].sin_family == AF_INET)
            std::memcpy(&slot, &_res.nsaddr_list[i], sizeof _res.nsaddr_list[i]);
        else
            continue;
        ++n;
    }
    return n;
}
