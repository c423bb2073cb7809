#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

ErrorCode bulletin_exchange(int sock, const struct sockaddr_in &to, int wait_ms,
                            char **reply_out, std::int32_t *length_out)
{
    if (connect(sock, reinterpret_cast<const struct sockaddr *>(&to), sizeof to) != 0)
        return errno;
    if (send(sock, BULLETIN_REQUEST.data(), BULLETIN_REQUEST.size(), 0) < 0)
        return errno;

    // One wait, no retransmission: a silent server costs the run this
    // much before the fallback file is read.
    // poll rather than select: a descriptor number past FD_SETSIZE must
    // not write outside an fd_set.
    struct pollfd readable = {sock, POLLIN, 0};
    int ready = poll(&readable, 1, wait_ms);
    if (ready < 0)
        return errno;
    if (ready == 0)
        return BUL_SERVER_TIMEOUT;

    char *buffer = static_cast<char *>(std::malloc(BULLETIN_MAX_REPLY + 1));
    if (buffer == nullptr)
        return BUL_NO_MEMORY;
    // A longer datagram is cut at the limit; the rest is lost.
    ssize_t n = recv(sock, buffer, BULLETIN_MAX_REPLY, 0);
    if (n < 0) {
        ErrorCode code = errno;
        std::free(buffer);
        return code;
    }
    buffer[n] = '\0';
    *reply_out = buffer;
    if (length_out != nullptr)
        *length_out = static_cast<std::int32_t>(n);
    return 0;
}
