#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "bulserve/bulserve.h"

namespace {

// Datagrams taken from the queue per wake-up before signals are looked at
// again, so that a flood can't hold off SIGTERM.
constexpr int BATCH = 64;

// Answers every request waiting on the socket; false on a socket error
// that ends the server.
bool drain(const BulserveOptions &options, int fd, ServeState *state)
{
    for (int i = 0; i < BATCH; ++i) {
        // The request is 5 bytes; a few more show whether a datagram was
        // longer, and MSG_TRUNC reports its full length in any case.
        char buffer[16];
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr *>(&from), &from_length);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return true;
            // ICMP errors from earlier answers surface here on Linux; they
            // concern one client, not the server.
            if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH)
                continue;
            bulserve_log(LOG_ERR, "receive failed: %s", std::strerror(errno));
            return false;
        }
        std::size_t length = static_cast<std::size_t>(n);
        if (length > sizeof buffer || from_length != sizeof from ||
            !bulserve_is_request(std::span<const char>(buffer, length))) {
            ++state->ignored;
            continue;
        }
        // One stat per request: a client that asks right after the file
        // changed must get the new version, even within one batch.
        bulserve_refresh(options, state, false);
        ssize_t sent = sendto(fd, state->current.record, state->current.length, 0,
                              reinterpret_cast<const sockaddr *>(&from), from_length);
        if (sent < 0) {
            // One line for the first failure of a run, not one per request.
            if (state->send_failures++ == 0)
                bulserve_log(LOG_WARNING, "send failed: %s", std::strerror(errno));
            continue;
        }
        state->send_failures = 0;
        ++state->answered;
    }
    return true;
}

}  // namespace

int bulserve_serve(const BulserveOptions &options, int socket_fd, int signal_fd, ServeState *state)
{
    pollfd fds[2] = {{socket_fd, POLLIN, 0}, {signal_fd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            bulserve_log(LOG_ERR, "poll failed: %s", std::strerror(errno));
            return BULSERVE_EXIT_NETWORK;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            ssize_t n = read(signal_fd, &info, sizeof info);
            if (n == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGHUP) {
                    bulserve_refresh(options, state, true);
                } else {
                    bulserve_log(LOG_INFO,
                                 "ending on signal %u: %llu requests answered, %llu datagrams ignored",
                                 info.ssi_signo, static_cast<unsigned long long>(state->answered),
                                 static_cast<unsigned long long>(state->ignored));
                    return BULSERVE_EXIT_OK;
                }
            }
        }
        if (fds[0].revents & (POLLIN | POLLERR)) {
            if (!drain(options, socket_fd, state))
                return BULSERVE_EXIT_NETWORK;
        }
    }
}
