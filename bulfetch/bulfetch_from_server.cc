#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"
#include "nomicon/nomicon.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The entry is ours, and through its fields it holds the name service's
// string; both are kept, as every result of a run is, until the process
// exits.
struct servent *bulfetch_service_entry;

namespace {

// Port in network byte order, or -1: the services database first, then the
// name service's "service" records.
int bulletin_port()
{
    if (const struct servent *s = getservbyname(BULLETIN_SERVICE, BULLETIN_PROTOCOL))
        return s->s_port;
    if (struct servent *s = nomicon_getservbyname(BULLETIN_SERVICE, BULLETIN_PROTOCOL)) {
        bulfetch_service_entry = s;
        return s->s_port;
    }
    return -1;
}

ErrorCode exchange(int sock, const char *server_name, char **bulletin_out,
                   std::int32_t *length_out)
{
    int port = bulletin_port();
    if (port < 0)
        return BUL_NO_SERVICE_PORT;
    const struct hostent *host = gethostbyname(server_name);
    if (host == nullptr)
        return gethost_errors();
    struct sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = static_cast<in_port_t>(port);
    // Only an IPv4 address of the expected size fits the socket address.
    if (host->h_addrtype != AF_INET || host->h_length != sizeof to.sin_addr ||
        host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr)
        return gethost_errors();
    std::memcpy(&to.sin_addr, host->h_addr_list[0], sizeof to.sin_addr);
    return bulletin_exchange(sock, to, BULFETCH_REPLY_WAIT * 1000, bulletin_out, length_out);
}

} // namespace

ErrorCode bulfetch_from_server(char **bulletin_out, std::int32_t *length_out,
                               const char *server_name)
{
    if (bulletin_out == nullptr || server_name == nullptr)
        return BUL_MISSING_ARGUMENT;
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return errno;
    ErrorCode code = exchange(sock, server_name, bulletin_out, length_out);
    close(sock);
    return code;
}
