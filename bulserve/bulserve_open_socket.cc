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
    // Answers queued for a slow path stay charged to the socket until they
    // leave the machine; a large buffer has the queue of that path's
    // interface overflow and drop them, before the buffer is full and
    // answers to every other path are dropped too. As for the receive
    // queue, beyond net.core.wmem_max only with CAP_NET_ADMIN.
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    // The local address each request was sent to, for its answer to leave
    // from: the socket is bound to every address, present and to come.
    int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
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
