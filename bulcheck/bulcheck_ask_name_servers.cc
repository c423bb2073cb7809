#include "bulcheck/bulcheck.h"
#include "nomicon/resolve.h"

#include <arpa/nameser.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <unistd.h>

namespace {

// The name service's class.
constexpr int HS_CLASS = 4;
constexpr std::size_t MAX_ASKED = 16;

int txt_records(const ScannedMessage &m)
{
    int answers = m.answer_count < m.stored_count ? m.answer_count : m.stored_count;
    int n = 0;
    for (int i = 0; i < answers; ++i)
        if (m.records[i].rr_type == ns_t_txt && m.records[i].rr_class == HS_CLASS)
            ++n;
    return n;
}

// A reply is taken only from the server asked (the socket is connected)
// and only when it answers this query: a stray datagram is passed over.
bool read_answer(int sock, const unsigned char *query, NameServerAnswer &answer)
{
    unsigned char reply[RESOLVE_PACKET_SIZE];
    ssize_t n = recv(sock, reply, sizeof reply, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR)
            return false;
        answer.error = errno;
        return true;
    }
    if (n < HFIXEDSZ || reply[0] != query[0] || reply[1] != query[1] || (reply[2] & 0x80) == 0)
        return false;
    answer.truncated = (reply[2] & 0x02) != 0;
    answer.rcode = reply[3] & 0x0F;
    const ScannedMessage *m = resolve_scan(reply, static_cast<int>(n));
    answer.records = m != nullptr ? txt_records(*m) : -1;
    return true;
}

}  // namespace

void bulcheck_ask_name_servers(const char *name, std::span<const sockaddr_storage> servers,
                               std::span<NameServerAnswer> answers)
{
    std::size_t count = servers.size() < answers.size() ? servers.size() : answers.size();
    if (count > MAX_ASKED)
        count = MAX_ASKED;
    for (std::size_t i = 0; i < count; ++i)
        answers[i] = NameServerAnswer{-1, 0, 0, false, 0};

    // The query the client sends: recursion desired, as the resolver
    // routines set it from RES_RECURSE.
    if ((_res.options & RES_INIT) == 0)
        res_init();
    unsigned long saved = _res.options;
    _res.options |= RES_RECURSE;
    unsigned char query[RESOLVE_PACKET_SIZE];
    int length = res_mkquery(QUERY, name, HS_CLASS, ns_t_txt, nullptr, 0, nullptr, query,
                             sizeof query);
    _res.options = saved;

    int socks[MAX_ASKED];
    double sent[MAX_ASKED];
    double start = bulcheck_now_ms();
    for (std::size_t i = 0; i < count; ++i) {
        socks[i] = -1;
        sent[i] = start;
        if (length < 0) {
            answers[i].error = EMSGSIZE;
            continue;
        }
        const sockaddr_storage &to = servers[i];
        socklen_t to_length = to.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        int s = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        // Timed from before the send: on loopback the answer may be in
        // before the send returns.
        sent[i] = bulcheck_now_ms();
        if (s < 0 || connect(s, reinterpret_cast<const sockaddr *>(&to), to_length) != 0 ||
            send(s, query, static_cast<std::size_t>(length), 0) < 0) {
            answers[i].error = errno;
            if (s >= 0)
                close(s);
            continue;
        }
        socks[i] = s;
    }

    double deadline = start + BULCHECK_WAIT_MS;
    for (;;) {
        pollfd fds[MAX_ASKED];
        std::size_t which[MAX_ASKED];
        nfds_t pending = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (socks[i] >= 0) {
                fds[pending] = pollfd{socks[i], POLLIN, 0};
                which[pending++] = i;
            }
        }
        double left = deadline - bulcheck_now_ms();
        if (pending == 0 || left <= 0)
            break;
        int ready = poll(fds, pending, static_cast<int>(left) + 1);
        if (ready < 0 && errno != EINTR)
            break;
        for (nfds_t k = 0; ready > 0 && k < pending; ++k) {
            if (fds[k].revents == 0)
                continue;
            std::size_t i = which[k];
            if (read_answer(socks[i], query, answers[i])) {
                answers[i].ms = bulcheck_now_ms() - sent[i];
                close(socks[i]);
                socks[i] = -1;
            }
        }
    }
    // The silent ones.
    for (std::size_t i = 0; i < count; ++i) {
        if (socks[i] >= 0) {
            answers[i].ms = bulcheck_now_ms() - sent[i];
            close(socks[i]);
        }
    }
}
