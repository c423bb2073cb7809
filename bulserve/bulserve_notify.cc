#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bulserve/bulserve.h"

void bulserve_notify(const char *text)
{
    // The service manager's notification protocol: one datagram of text to
    // the AF_UNIX socket named in $NOTIFY_SOCKET, a path or, after "@", an
    // abstract name. Nothing to do when the server runs outside one.
    const char *where = std::getenv("NOTIFY_SOCKET");
    if (where == nullptr || (where[0] != '/' && where[0] != '@'))
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t length = std::strlen(where);
    if (length < 2 || length > sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, where, length);
    if (where[0] == '@')
        address.sun_path[0] = '\0';
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    (void)sendto(fd, text, std::strlen(text), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr *>(&address), size);
    close(fd);
}
