#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bulserve/bulserve.h"

int bulserve_open_socket(std::uint32_t address, std::uint16_t port, std::uint16_t *bound_port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Room for the requests that arrive while the server is not running:
    // under a flood the queue fills within milliseconds of a pause, and
    // from then on the kernel drops every source's requests alike, before
    // the rate limit can tell them apart. Beyond net.core.rmem_max only
    // with CAP_NET_ADMIN; without it, as much as that allows.
    int size = 8 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    sin.sin_port = htons(port);
    socklen_t length = sizeof sin;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&sin), sizeof sin) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &length) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    *bound_port = ntohs(sin.sin_port);
    return fd;
}
