#include <arpa/nameser.h>
#include <cerrno>
#include <netinet/in.h>
#include <resolv.h>

#include "nomicon/nomicon.h"
#include "nomicon/resolve.h"

namespace {

unsigned char query_buffer[RESOLVE_PACKET_SIZE];
unsigned char answer_buffer[RESOLVE_PACKET_SIZE];

void restore(unsigned long options, int retrans, int retry)
{
    _res.options = options;
    _res.retrans = retrans;
    _res.retry = retry;
}

}  // namespace

ScannedMessage *resolve_query(const char *name, int rr_class, int rr_type, std::int32_t tuning)
{
    // glibc initialises the resolver state inside res_mkquery when it has
    // not been initialised yet, and that would wipe the option bits set
    // below; initialise first so that they survive.
    if ((_res.options & RES_INIT) == 0)
        res_init();
    unsigned long saved_options = _res.options;
    int saved_retrans = _res.retrans;
    int saved_retry = _res.retry;

    if (rr_class < 0 || rr_type < 0) {
        errno = EINVAL;
        return nullptr;
    }
    // Before the query is built: res_mkquery takes the recursion-desired
    // flag from RES_RECURSE. RES_IGNTC keeps a truncated answer instead of
    // retrying over TCP.
    _res.options |= RES_IGNTC | RES_RECURSE;
    int query_length = res_mkquery(QUERY, name, rr_class, rr_type, nullptr, 0, nullptr,
                                   query_buffer, sizeof query_buffer);
    if (query_length < 0) {
        restore(saved_options, saved_retrans, saved_retry);
        errno = EMSGSIZE;
        return nullptr;
    }
    auto interval = static_cast<std::int16_t>(static_cast<std::uint32_t>(tuning) & 0xFFFF);
    auto tries = static_cast<std::int16_t>(static_cast<std::uint32_t>(tuning) >> 16);
    _res.retrans = interval != 0 ? interval : 4;
    _res.retry = tries != 0 ? tries : 3;
    // Servers named in the configuration are asked directly: a local
    // caching resolver may refuse class 4 outright.
    std::span<const sockaddr_storage> servers = nomicon_nameservers();
    int answer_length =
        servers.empty()
            ? res_send(query_buffer, query_length, answer_buffer, sizeof answer_buffer)
            : resolve_send_to(servers, query_buffer, query_length, answer_buffer, sizeof answer_buffer);
    restore(saved_options, saved_retrans, saved_retry);
    if (answer_length < 0) {
        errno = ECONNREFUSED;
        return nullptr;
    }
    // An answer arrived: whatever errno the resolver left behind on the way
    // (a time-out before a retry succeeded) is not the outcome.
    errno = 0;
    return resolve_scan(answer_buffer, answer_length);
}
