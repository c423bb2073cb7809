#include "bulcheck/bulcheck.h"
#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"
#include "errors/errors.h"
#include "nomicon/nomicon.h"

#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

namespace {

sockaddr_in server_address;

}  // namespace

// The port and the address the client would use, found the way
// bulfetch_from_server finds them: the services database, then the name
// service; the first listed host only.
int bulcheck_server_address(BulcheckState &state)
{
    bulcheck_say("\nBulletin server");
    const char *first = state.servers[0];
    char list[512] = "";
    for (char **s = state.servers; *s != nullptr; ++s) {
        std::size_t used = std::strlen(list);
        std::snprintf(list + used, sizeof list - used, "%s%s", s == state.servers ? "" : ", ",
                      bulcheck_shown(*s));
    }
    bulcheck_say("  server list: %s", list);
    if (state.servers[1] != nullptr)
        bulcheck_say("  (only the first, %s, is asked, as bulfetch does)", bulcheck_shown(first));

    double start = bulcheck_now_ms();
    if (const servent *s = getservbyname(BULLETIN_SERVICE, BULLETIN_PROTOCOL)) {
        state.port = s->s_port;
        bulcheck_say("  port: %d/udp, from the services database (/etc/services)",
                     ntohs(static_cast<uint16_t>(state.port)));
    } else if (servent *n = nomicon_getservbyname(BULLETIN_SERVICE, BULLETIN_PROTOCOL)) {
        // Held where the client holds it: the entry keeps the name
        // service's string alive.
        bulfetch_service_entry = n;
        state.port = n->s_port;
        bulcheck_say("  port: %d/udp, from the name service (%s)",
                     ntohs(static_cast<uint16_t>(state.port)), bulcheck_shown(state.service_name));
    } else {
        bulcheck_say("  BREAK: no port for \"bulletin\"/udp, neither in /etc/services nor in the");
        bulcheck_say("         name service (%s).", bulcheck_shown(state.service_name));
        bulcheck_say("  FIX: add the line \"bulletin PORT/udp\" to /etc/services, or a TXT record of");
        bulcheck_say("       class HS \"bulletin udp PORT\" under %s.",
                     bulcheck_shown(state.service_name));
        return BULCHECK_SERVER_ADDRESS;
    }
    state.server_side_ms += bulcheck_now_ms() - start;

    start = bulcheck_now_ms();
    const hostent *host = gethostbyname(first);
    double ms = bulcheck_now_ms() - start;
    state.server_side_ms += ms;
    if (host == nullptr || host->h_addrtype != AF_INET ||
        host->h_length != sizeof server_address.sin_addr || host->h_addr_list == nullptr ||
        host->h_addr_list[0] == nullptr) {
        bool silent = host == nullptr && h_errno == TRY_AGAIN;
        bulcheck_say("  BREAK: the address of %s: %s, after %s", bulcheck_shown(first),
                     error_message(gethost_errors()), bulcheck_duration(ms));
        if (silent) {
            bulcheck_say("         The silent step is the host lookup: check the name servers");
            bulcheck_say("         of /etc/resolv.conf.");
        } else {
            bulcheck_say("  FIX: give %s an IPv4 address (an A record, or a line in",
                         bulcheck_shown(first));
            bulcheck_say("       /etc/hosts), or list a host that has one.");
        }
        return BULCHECK_SERVER_ADDRESS;
    }
    std::memset(&server_address, 0, sizeof server_address);
    server_address.sin_family = AF_INET;
    server_address.sin_port = static_cast<in_port_t>(state.port);
    std::memcpy(&server_address.sin_addr, host->h_addr_list[0], sizeof server_address.sin_addr);
    state.address = &server_address;
    bulcheck_say("  address of %s: %s, in %s", bulcheck_shown(first),
                 bulcheck_address(reinterpret_cast<const sockaddr *>(&server_address)), bulcheck_duration(ms));
    return BULCHECK_OK;
}
