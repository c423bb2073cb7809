#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "bulserve/bulserve.h"

namespace {

// Datagrams taken per receive, and answered per send. Between batches the
// server looks at signals and file changes again, so a flood can hold off
// neither SIGTERM nor a new bulletin.
constexpr int BATCH = 32;
// Dropped answers are logged as one line a minute at most, never per
// packet: a flood must not become a flood of the log.
constexpr std::int64_t SUMMARY_MS = 60000;

struct Batch {
    // The request is 5 bytes; a longer datagram is cut and flagged with
    // MSG_TRUNC, which is all that is needed to ignore it.
    char requests[BATCH][16];
    sockaddr_in from[BATCH];
    iovec in[BATCH];
    mmsghdr received[BATCH];
    iovec answer;
    mmsghdr replies[BATCH];
};

std::int64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void log_drops(RateLimit *limit)
{
    RateLimitSummary summary = rate_limit_summary(limit);
    if (summary.dropped == 0)
        return;
    bulserve_log(LOG_NOTICE,
                 "rate limit: %llu answers dropped for %u source prefixes, most (%u) for %s; "
                 "%llu dropped since start",
                 static_cast<unsigned long long>(summary.dropped), summary.prefixes,
                 summary.top_drops, summary.top_prefix,
                 static_cast<unsigned long long>(summary.dropped_total));
}

// Receives one batch of requests and answers them; false on a socket
// error that ends the server.
bool answer_batch(int fd, Batch *b, RateLimit *limit, ServeState *state)
{
    for (int i = 0; i < BATCH; ++i) {
        b->in[i] = {b->requests[i], sizeof b->requests[i]};
        b->received[i] = {};
        b->received[i].msg_hdr.msg_name = &b->from[i];
        b->received[i].msg_hdr.msg_namelen = sizeof b->from[i];
        b->received[i].msg_hdr.msg_iov = &b->in[i];
        b->received[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, b->received, BATCH, MSG_DONTWAIT, nullptr);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return true;
        // ICMP errors from earlier answers surface here on Linux; they
        // concern one client, not the server.
        if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH)
            return true;
        bulserve_log(LOG_ERR, "receive failed: %s", std::strerror(errno));
        return false;
    }
    // One reading of the clock for the batch: requests in it arrived
    // within microseconds of each other.
    std::int64_t now = monotonic_ms();
    b->answer = {state->current.record, state->current.length};
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const msghdr &h = b->received[i].msg_hdr;
        std::span<const char> datagram(b->requests[i], b->received[i].msg_len);
        if ((h.msg_flags & MSG_TRUNC) != 0 || h.msg_namelen != sizeof(sockaddr_in) ||
            b->received[i].msg_len > sizeof b->requests[i] || !bulserve_is_request(datagram) ||
            state->current.length == 0) {
            ++state->ignored;
            continue;
        }
        if (!rate_limit_allow(limit, reinterpret_cast<const sockaddr *>(&b->from[i]),
                              h.msg_namelen, now))
            continue;
        b->replies[count] = {};
        b->replies[count].msg_hdr.msg_name = &b->from[i];
        b->replies[count].msg_hdr.msg_namelen = h.msg_namelen;
        b->replies[count].msg_hdr.msg_iov = &b->answer;
        b->replies[count].msg_hdr.msg_iovlen = 1;
        ++count;
    }
    int at = 0;
    while (at < count) {
        int sent = sendmmsg(fd, b->replies + at, static_cast<unsigned>(count - at), 0);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0) {
            // The answer that failed is skipped; one line for the first
            // failure of a run, not one per request.
            if (state->send_failures++ == 0)
                bulserve_log(LOG_WARNING, "send failed: %s", std::strerror(errno));
            ++at;
            continue;
        }
        state->send_failures = 0;
        state->answered += static_cast<std::uint64_t>(sent);
        at += sent;
    }
    return true;
}

// Takes one signal; false when it ends the server.
bool take_signal(const BulserveOptions &options, int signal_fd, ServeState *state,
                 const RateLimit &limit)
{
    signalfd_siginfo info{};
    if (read(signal_fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return true;
    if (info.ssi_signo == SIGHUP) {
        bulserve_notify("RELOADING=1");
        // Events first: they say whether a writer is still at work.
        bulserve_watch_events(state);
        bulserve_refresh(options, state, RefreshCause::hangup);
        bulserve_notify("READY=1");
        return true;
    }
    bulserve_notify("STOPPING=1");
    bulserve_log(LOG_INFO,
                 "ending on signal %u: %llu requests answered, %llu datagrams ignored, "
                 "%llu answers dropped by the rate limit",
                 info.ssi_signo, static_cast<unsigned long long>(state->answered),
                 static_cast<unsigned long long>(state->ignored),
                 static_cast<unsigned long long>(limit.dropped_total));
    return false;
}

}  // namespace

int bulserve_serve(const BulserveOptions &options, int socket_fd, int signal_fd,
                   ServeState *state, RateLimit *limit)
{
    Batch batch;
    pollfd fds[3] = {{signal_fd, POLLIN, 0}, {state->inotify_fd, POLLIN, 0},
                     {socket_fd, POLLIN, 0}};
    std::int64_t next_summary = monotonic_ms() + SUMMARY_MS;
    for (;;) {
        int timeout = -1;
        if (limit->dropped_in_interval > 0) {
            std::int64_t wait = next_summary - monotonic_ms();
            timeout = wait < 0 ? 0 : static_cast<int>(wait);
        }
        if (poll(fds, 3, timeout) < 0) {
            if (errno == EINTR)
                continue;
            bulserve_log(LOG_ERR, "poll failed: %s", std::strerror(errno));
            return BULSERVE_EXIT_NETWORK;
        }
        if (limit->dropped_in_interval > 0 && monotonic_ms() >= next_summary) {
            log_drops(limit);
            next_summary = monotonic_ms() + SUMMARY_MS;
        } else if (limit->dropped_in_interval == 0) {
            next_summary = monotonic_ms() + SUMMARY_MS;
        }
        if ((fds[0].revents & POLLIN) && !take_signal(options, signal_fd, state, *limit))
            return BULSERVE_EXIT_OK;
        // Changes before requests: a client that asks after the file was
        // replaced gets the new bulletin.
        if (fds[1].revents & POLLIN) {
            bulserve_watch_events(state);
            if (state->want_load)
                bulserve_refresh(options, state, RefreshCause::change);
        }
        if ((fds[2].revents & (POLLIN | POLLERR)) && !answer_batch(socket_fd, &batch, limit, state))
            return BULSERVE_EXIT_NETWORK;
    }
}
