#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "bulserve/bulserve.h"

namespace {

// Datagrams taken per receive, and answered per send. Between batches the
// server looks at signals and file changes again, so a flood can hold off
// neither SIGTERM nor a new bulletin.
constexpr int BATCH = 32;
// What is refused, dropped or failed is counted and logged as one line a
// minute at most, never per packet: a flood must not become a flood of
// the log.
constexpr std::int64_t SUMMARY_MS = 60000;
constexpr std::size_t CONTROL = CMSG_SPACE(sizeof(in_pktinfo));

struct Batch {
    // The request is 5 bytes; a longer datagram is cut and flagged with
    // MSG_TRUNC, which is all that is needed to ignore it.
    char requests[BATCH][16];
    sockaddr_in from[BATCH];
    iovec in[BATCH];
    // The address each request was sent to, and the one its answer is
    // sent from. Aligned as the cmsg macros read them.
    alignas(cmsghdr) char received_on[BATCH][CONTROL];
    alignas(cmsghdr) char answer_from[BATCH][CONTROL];
    mmsghdr received[BATCH];
    iovec answer;
    mmsghdr replies[BATCH];
    int lane[BATCH];          // the socket each reply goes on
    // Bound to every address: each answer names its source. Bound to one,
    // the system can only send from that one.
    bool name_source = true;
};

void add(ServeCounts *to, const ServeCounts &from)
{
    to->answered += from.answered;
    to->ignored += from.ignored;
    to->refused += from.refused;
    to->full += from.full;
    to->failed += from.failed;
    if (from.failed != 0)
        to->last_error = from.last_error;
}

// The counts as the summary and the ending line give them.
void format_counts(char *out, std::size_t size, const ServeCounts &c, std::uint64_t limited)
{
    std::snprintf(out, size,
                  "%llu requests answered, %llu datagrams ignored, %llu answers dropped by the "
                  "rate limit, %llu refused for their source, %llu dropped with the send buffer "
                  "full, %llu sends failed",
                  static_cast<unsigned long long>(c.answered),
                  static_cast<unsigned long long>(c.ignored),
                  static_cast<unsigned long long>(limited),
                  static_cast<unsigned long long>(c.refused),
                  static_cast<unsigned long long>(c.full),
                  static_cast<unsigned long long>(c.failed));
}

// One line for the last interval, when anything in it went unanswered
// for another cause than not being a request.
void log_summary(ServeState *state, RateLimit *limit)
{
    const ServeCounts &c = state->recent;
    if (limit->dropped_in_interval != 0 || c.refused != 0 || c.full != 0 || c.failed != 0) {
        RateLimitSummary summary = rate_limit_summary(limit);
        char counts[384];
        format_counts(counts, sizeof counts, c, summary.dropped);
        char limits[160] = "";
        if (summary.dropped != 0)
            std::snprintf(limits, sizeof limits,
                          "; the rate limit dropped %llu for the total and the rest for %u "
                          "sources, most (%u) for %s",
                          static_cast<unsigned long long>(summary.capped), summary.prefixes,
                          summary.top_drops, summary.top_drops != 0 ? summary.top_prefix : "none");
        char last[96] = "";
        if (c.failed != 0)
            std::snprintf(last, sizeof last, "; the last send failed: %s",
                          std::strerror(c.last_error));
        bulserve_log(LOG_NOTICE, "in the last minute: %s%s%s", counts, limits, last);
    }
    state->recent = ServeCounts{};
}

// A source an answer can't go to: port 0 is no port, and an answer to a
// broadcast, multicast or unspecified address would go to many hosts or
// none. Such requests come from a mistake or a forgery.
bool refused_source(const sockaddr_in &from)
{
    std::uint32_t a = ntohl(from.sin_addr.s_addr);
    return from.sin_port == 0 || a == INADDR_ANY || a == INADDR_BROADCAST ||
           IN_MULTICAST(a);
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
        b->received[i].msg_hdr.msg_control = b->received_on[i];
        b->received[i].msg_hdr.msg_controllen = sizeof b->received_on[i];
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

// Sets the answer to leave from the local address the request was sent
// to. Left to itself the system would pick the source by the route back,
// which on a host with several addresses (an alias, a service address,
// 127.0.1.1 for its own name) may be another one, and a client's
// connected socket drops an answer from an address it did not ask. The
// interface is left to the route, which need not be the one the request
// came in on. Returns the interface it came in on, 0 when not known.
int answer_from(const msghdr &request, char *control, msghdr *reply, bool name_source)
{
    if ((request.msg_flags & MSG_CTRUNC) != 0)
        return 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&request); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr *>(&request), c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO ||
            c->cmsg_len < CMSG_LEN(sizeof(in_pktinfo)))
            continue;
        in_pktinfo asked;
        std::memcpy(&asked, CMSG_DATA(c), sizeof asked);
        if (!name_source)
            return asked.ipi_ifindex;
        in_pktinfo from{};
        // For unicast the address asked; for a broadcast the address of
        // the interface it came in on.
        from.ipi_spec_dst = asked.ipi_spec_dst;
        // The padding after the data goes to the kernel too.
        std::memset(control, 0, CONTROL);
        reply->msg_control = control;
        reply->msg_controllen = CONTROL;
        cmsghdr *out = CMSG_FIRSTHDR(reply);
        out->cmsg_level = IPPROTO_IP;
        out->cmsg_type = IP_PKTINFO;
        out->cmsg_len = CMSG_LEN(sizeof from);
        std::memcpy(CMSG_DATA(out), &from, sizeof from);
        return asked.ipi_ifindex;
    }
    return 0;
}

// Sends the replies from `at` on that go on the same lane as the first,
// as one send where it can; returns where the next lane's begin.
int send_lane(Batch *b, int at, int count, ServeCounts *counts)
{
    int fd = b->lane[at];
    int end = at;
    while (end < count && b->lane[end] == fd)
        ++end;
    while (at < end) {
        int sent = sendmmsg(fd, b->replies + at, static_cast<unsigned>(end - at), MSG_DONTWAIT);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent > 0) {
            counts->answered += static_cast<std::uint64_t>(sent);
            at += sent;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // The buffer holds answers queued for a slow path; it stays
            // full for longer than the rest of the batch would take.
            counts->full += static_cast<std::uint64_t>(end - at);
            break;
        } else {
            // This answer alone: a source the route refuses, an address
            // gone from the machine since the request came.
            ++counts->failed;
            counts->last_error = errno;
            ++at;
        }
    }
    return end;
}

// Answers the requests among the n datagrams received, through the rate
// limit, with one send for those of each lane. No send waits: an answer
// that finds its send buffer full is dropped, so that a path slower than
// the answers sent to it holds up no other.
void answer_batch(int fd, BulserveLanes *lanes, Batch *b, int n, RateLimit *limit, ServeState *state,
                  const sockaddr_in &waker)
{
    // One reading of the clock for the batch: requests in it arrived
    // within microseconds of each other.
    std::int64_t now = bulserve_monotonic_ms();
    b->answer = {state->current.record, state->current.length};
    ServeCounts counts;
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
            ++counts.ignored;
            continue;
        }
        if (refused_source(b->from[i])) {
            ++counts.refused;
            continue;
        }
        if (!rate_limit_allow(limit, reinterpret_cast<const sockaddr *>(&b->from[i]),
                              h.msg_namelen, now))
            continue;
        b->replies[count] = {};
        msghdr *reply = &b->replies[count].msg_hdr;
        reply->msg_name = &b->from[i];
        reply->msg_namelen = h.msg_namelen;
        reply->msg_iov = &b->answer;
        reply->msg_iovlen = 1;
        b->lane[count] = bulserve_lane(
            lanes, fd, answer_from(h, b->answer_from[count], reply, b->name_source), now);
        ++count;
    }
    for (int at = 0; at < count;)
        at = send_lane(b, at, count, &counts);
    add(&state->total, counts);
    add(&state->recent, counts);
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

int bulserve_serve(const BulserveOptions &options, int socket_fd, bool lanes_possible,
                   ServeState *state, RateLimit *limit)
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
    batch.name_source = options.address == htonl(INADDR_ANY);
    BulserveLanes lanes;
    lanes.possible = lanes_possible;
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
        if (clock >= next_summary) {
            log_summary(state, limit);
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
        answer_batch(socket_fd, &lanes, &batch, n, limit, state, waker);
        if (status >= 0)
            break;
    }
    bulserve_signals_wake_by(-1);
    if (waker_fd >= 0)
        close(waker_fd);
    for (int i = 0; i < lanes.count; ++i)
        close(lanes.fd[i]);
    if (status == BULSERVE_EXIT_OK) {
        bulserve_notify("STOPPING=1");
        char counts[384];
        format_counts(counts, sizeof counts, state->total, limit->dropped_total);
        bulserve_log(LOG_INFO, "ending on signal %d: %s", seen.end_signal, counts);
    }
    return status;
}
