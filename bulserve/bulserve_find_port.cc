#include <arpa/inet.h>
#include <netdb.h>

#include "bulserve/bulserve.h"

bool bulserve_find_port(const BulserveOptions &options, std::uint16_t *port)
{
    if (options.have_port) {
        *port = options.port;
        return true;
    }
    const servent *entry = getservbyname(BULLETIN_SERVICE, BULLETIN_PROTOCOL);
    if (entry == nullptr)
        return false;
    *port = ntohs(static_cast<std::uint16_t>(entry->s_port));
    return true;
}
