#include <arpa/inet.h>
#include <netinet/in.h>
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

// Receives one batch of datagrams: their number, 0 when the wait ended
// without one, -1 on a socket error that ends the server. The receive
// waits for the first datagram unless `wait` is false; a signal or the
// socket's time-out ends the wait.
int receive_batch(int fd, Batch *b, bool wait)
{
    for (int i = 0; i < BATCH; ++i) {
        b->in[i] = {b->requests[i], sizeof b->requests[i]};
        b->received[i] = {};
        b->received[i].msg_hdr.msg_name = &b->from[i];
        b->received[i].msg_hdr.msg_namelen = sizeof b->from[i];
        b->received[i].msg_hdr.msg_iov = &b->in[i];
        b->received[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, b->received, BATCH, wait ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
    if (n >= 0)
        return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    // ICMP errors from earlier answers surface here on Linux; they concern
    // one client, not the server.
    if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH)
        return 0;
    bulserve_log(LOG_ERR, "receive failed: %s", std::strerror(errno));
    return -1;
}

// Answers the requests among the n datagrams received, through the rate
// limit, with one send for all of them.
void answer_batch(int fd, Batch *b, int n, RateLimit *limit, ServeState *state,
                  const sockaddr_in &waker)
{
    // One reading of the clock for the batch: requests in it arrived
    // within microseconds of each other.
    std::int64_t now = bulserve_monotonic_ms();
    b->answer = {state->current.record, state->current.length};
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const msghdr &h = b->received[i].msg_hdr;
        if (b->from[i].sin_port == waker.sin_port &&
            b->from[i].sin_addr.s_addr == waker.sin_addr.s_addr)
            continue;
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
}

// A socket connected to the server's own, for the signal handlers to wake
// the receive with; -1 when there is none (the time-out stands in).
int open_waker(int socket_fd, sockaddr_in *waker)
{
    sockaddr_in own{};
    socklen_t length = sizeof own;
    if (getsockname(socket_fd, reinterpret_cast<sockaddr *>(&own), &length) != 0)
        return -1;
    if (own.sin_addr.s_addr == htonl(INADDR_ANY))
        own.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    length = sizeof *waker;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&own), sizeof own) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(waker), &length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool same_counts(const SignalCounts &a, const SignalCounts &b)
{
    return a.ends == b.ends && a.hangups == b.hangups && a.changes == b.changes;
}

// Deals with the signals received since the last look; false when one
// ends the server.
bool take_signals(const BulserveOptions &options, ServeState *state, SignalCounts *seen,
                  bool *more_events)
{
    SignalCounts now = bulserve_signals_pending();
    // Changes before requests: a client that asks after the file was
    // replaced gets the new bulletin.
    if (now.changes != seen->changes || *more_events) {
        seen->changes = now.changes;
        *more_events = bulserve_watch_events(state);
        if (state->want_load)
            bulserve_refresh(options, state, RefreshCause::change);
    }
    if (now.hangups != seen->hangups) {
        seen->hangups = now.hangups;
        bulserve_notify("RELOADING=1");
        // Events first: they say whether a writer is still at work.
        *more_events = bulserve_watch_events(state);
        bulserve_refresh(options, state, RefreshCause::hangup);
        bulserve_notify("READY=1");
    }
    if (now.ends == seen->ends)
        return true;
    seen->ends = now.ends;
    seen->end_signal = now.end_signal;
    return false;
}

}  // namespace

int bulserve_serve(const BulserveOptions &options, int socket_fd, ServeState *state,
                   RateLimit *limit)
{
    // The wait for requests is the receive itself: signals end it, and the
    // change notification raises SIGIO. A signal that lands just before
    // the receive begins is caught by the empty datagram its handler
    // sends; the time-out stands in where that can't be sent, and lets the
    // summary of drops out on time when no request comes.
    timeval tick{1, 0};
    (void)setsockopt(socket_fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    sockaddr_in waker{};
    int waker_fd = open_waker(socket_fd, &waker);
    bulserve_signals_wake_by(waker_fd);
    Batch batch;
    SignalCounts seen;  // every signal since the handlers were installed counts
    bool more_events = true;  // anything that came before the handlers
    std::int64_t next_summary = bulserve_monotonic_ms() + SUMMARY_MS;
    int status = -1;
    for (;;) {
        if (!take_signals(options, state, &seen, &more_events))
            status = BULSERVE_EXIT_OK;
        std::int64_t clock = bulserve_monotonic_ms();
        // A look that no event will bring: a missing file after its grace,
        // a state file system that was full.
        if (status < 0 && state->retry_at_ms != 0 && clock >= state->retry_at_ms) {
            state->retry_at_ms = 0;
            bulserve_refresh(options, state, RefreshCause::retry);
        }
        if (limit->dropped_in_interval == 0) {
            next_summary = clock + SUMMARY_MS;
        } else if (clock >= next_summary) {
            log_drops(limit);
            next_summary = clock + SUMMARY_MS;
        }
        if (status >= 0)
            break;
        int n = receive_batch(socket_fd, &batch, !more_events);
        if (n < 0) {
            status = BULSERVE_EXIT_NETWORK;
            break;
        }
        // A signal that came before the receive ended has had its handler
        // run by now: a file replaced before these requests were received
        // is taken before they are answered.
        if (!same_counts(bulserve_signals_pending(), seen) &&
            !take_signals(options, state, &seen, &more_events))
            status = BULSERVE_EXIT_OK;
        answer_batch(socket_fd, &batch, n, limit, state, waker);
        if (status >= 0)
            break;
    }
    bulserve_signals_wake_by(-1);
    if (waker_fd >= 0)
        close(waker_fd);
    if (status == BULSERVE_EXIT_OK) {
        bulserve_notify("STOPPING=1");
        bulserve_log(LOG_INFO,
                     "ending on signal %d: %llu requests answered, %llu datagrams ignored, "
                     "%llu answers dropped by the rate limit",
                     seen.end_signal, static_cast<unsigned long long>(state->answered),
                     static_cast<unsigned long long>(state->ignored),
                     static_cast<unsigned long long>(limit->dropped_total));
    }
    return status;
}
