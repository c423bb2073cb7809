#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "bulserve/bulserve.h"

namespace {

// Answers queued for a slow path stay charged to the socket they were sent
// on until they leave the machine; a large buffer has the queue of that
// path's interface overflow and drop them before the buffer is full. Beyond
// net.core.wmem_max (rmem_max) only with CAP_NET_ADMIN; without it, as much
// as that allows.
void ask_buffer(int fd, int force, int option, int size)
{
    if (setsockopt(fd, SOL_SOCKET, force, &size, sizeof size) != 0)
        (void)setsockopt(fd, SOL_SOCKET, option, &size, sizeof size);
}

int failed(int fd)
{
    int error = errno;
    close(fd);
    errno = error;
    return -1;
}

}  // namespace

int bulserve_open_socket(std::uint32_t address, std::uint16_t port, std::uint16_t *bound_port,
                         bool *lanes)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Room for the requests that arrive while the server is not running:
    // under a flood the queue fills within milliseconds of a pause, and
    // from then on the kernel drops every source's requests alike, before
    // the rate limit can tell them apart.
    ask_buffer(fd, SO_RCVBUFFORCE, SO_RCVBUF, 8 << 20);
    ask_buffer(fd, SO_SNDBUFFORCE, SO_SNDBUF, 8 << 20);
    // The local address each request was sent to, for its answer to leave
    // from: the socket is bound to every address, present and to come.
    int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)
        return failed(fd);
    // Lanes (bulserve_open_lane) share the port for sending only: every
    // request goes to this socket, the first of the group, whatever its
    // source. Without that program the port is not shared at all.
    sock_filter first{BPF_RET | BPF_K, 0, 0, 0};
    sock_fprog program{1, &first};
    *lanes = setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0 &&
             setsockopt(fd, SOL_SOCKET, SO_ATTACH_REUSEPORT_CBPF, &program, sizeof program) == 0;
    if (!*lanes) {
        int off = 0;
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &off, sizeof off);
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = address;
    sin.sin_port = htons(port);
    socklen_t length = sizeof sin;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&sin), sizeof sin) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &length) != 0)
        return failed(fd);
    *bound_port = ntohs(sin.sin_port);
    return fd;
}

int bulserve_open_lane(int socket_fd)
{
    sockaddr_in sin{};
    socklen_t length = sizeof sin;
    if (getsockname(socket_fd, reinterpret_cast<sockaddr *>(&sin), &length) != 0)
        return -1;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    int least = 1;  // nothing is received here; the system's least
    ask_buffer(fd, SO_SNDBUFFORCE, SO_SNDBUF, 8 << 20);
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &least, sizeof least);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr *>(&sin), sizeof sin) != 0)
        return failed(fd);
    return fd;
}
