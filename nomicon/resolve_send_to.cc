#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <resolv.h>

#include "nomicon/resolve.h"

namespace {

// Zeroed before each use: res_ninit does not clear the fields it does not
// set, and stale socket numbers would be closed by res_nclose.
struct __res_state own_state;

bool put_servers(res_state state, std::span<const sockaddr_storage> servers)
{
    // Drop whatever res_ninit took from the system configuration. An IPv6
    // server lives in a heap copy the state owns (res_nclose frees it),
    // with a zero family in the IPv4 slot telling the library to look
    // there.
    for (int i = 0; i < MAXNS; ++i) {
        std::free(state->_u._ext.nsaddrs[i]);
        state->_u._ext.nsaddrs[i] = nullptr;
        state->_u._ext.nssocks[i] = -1;
        std::memset(&state->nsaddr_list[i], 0, sizeof state->nsaddr_list[i]);
    }
    state->nscount = 0;
    for (const sockaddr_storage &server : servers.first(std::min<std::size_t>(servers.size(), MAXNS))) {
        int i = state->nscount;
        if (server.ss_family == AF_INET) {
            std::memcpy(&state->nsaddr_list[i], &server, sizeof(sockaddr_in));
        } else {
            auto *copy = static_cast<sockaddr_in6 *>(std::malloc(sizeof(sockaddr_in6)));
            if (copy == nullptr)
                return false;
            std::memcpy(copy, &server, sizeof *copy);
            state->_u._ext.nsaddrs[i] = copy;
        }
        state->nscount = i + 1;
    }
    return true;
}

}  // namespace

int resolve_send_to(std::span<const sockaddr_storage> servers, const unsigned char *query,
                    int query_length, unsigned char *answer, int answer_size)
{
    // A resolver state of our own, so that the process-wide one keeps its
    // servers and its cached sockets: only the exchange settings are taken
    // from it.
    std::memset(&own_state, 0, sizeof own_state);
    if (res_ninit(&own_state) != 0) {
        res_nclose(&own_state);
        return -1;
    }
    int length = -1;
    if (put_servers(&own_state, servers)) {
        own_state.options = _res.options;
        own_state.retrans = _res.retrans;
        own_state.retry = _res.retry;
        length = res_nsend(&own_state, query, query_length, answer, answer_size);
    }
    int saved_errno = errno;
    res_nclose(&own_state);
    errno = saved_errno;
    return length;
}
