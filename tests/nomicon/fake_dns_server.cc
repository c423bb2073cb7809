#include "tests/nomicon/fake_dns_server.h"

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

struct FakeDnsServer {
    int fd = -1;
    std::uint16_t port = 0;
    sockaddr_storage address{};
    std::atomic<bool> stop{false};
    std::mutex lock;
    // Shared so that a reply function keeps its own state from one query
    // to the next, while the lock is not held during the call.
    std::shared_ptr<FakeDnsReply> reply;
    int count = 0;
    DnsBytes last;
    std::thread thread;
};

namespace {

void serve(FakeDnsServer *s)
{
    unsigned char buffer[65536];
    while (!s->stop.load()) {
        pollfd p{s->fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        sockaddr_storage from{};
        socklen_t from_length = sizeof from;
        ssize_t n = recvfrom(s->fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from),
                             &from_length);
        if (n < 0)
            continue;
        DnsBytes query(buffer, buffer + n);
        std::shared_ptr<FakeDnsReply> reply;
        {
            std::lock_guard<std::mutex> guard(s->lock);
            ++s->count;
            s->last = query;
            reply = s->reply;
        }
        if (!reply || !*reply)
            continue;
        DnsBytes answer = (*reply)(query);
        if (!answer.empty())
            sendto(s->fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr *>(&from),
                   from_length);
    }
}

void put16(DnsBytes &out, unsigned v)
{
    out.push_back(static_cast<unsigned char>(v >> 8));
    out.push_back(static_cast<unsigned char>(v));
}

void put_rr(DnsBytes &out, const DnsRr &rr)
{
    out.insert(out.end(), rr.owner.begin(), rr.owner.end());
    put16(out, rr.type);
    put16(out, rr.rr_class);
    put16(out, 0);
    put16(out, 300);
    put16(out, static_cast<unsigned>(rr.data.size()));
    out.insert(out.end(), rr.data.begin(), rr.data.end());
}

DnsBytes build(const unsigned char *id_flags, const DnsBytes &question, unsigned flags,
               const std::vector<DnsRr> &answers, const std::vector<DnsRr> &authority,
               const std::vector<DnsRr> &additional)
{
    DnsBytes out;
    out.push_back(id_flags[0]);
    out.push_back(id_flags[1]);
    put16(out, flags);
    put16(out, 1);
    put16(out, static_cast<unsigned>(answers.size()));
    put16(out, static_cast<unsigned>(authority.size()));
    put16(out, static_cast<unsigned>(additional.size()));
    out.insert(out.end(), question.begin(), question.end());
    for (const auto *section : {&answers, &authority, &additional})
        for (const DnsRr &rr : *section)
            put_rr(out, rr);
    return out;
}

// Length of the first question (name, type, class) of a query, 0 if bad.
std::size_t question_length(const DnsBytes &query)
{
    std::size_t p = 12;
    while (p < query.size() && query[p] != 0 && query[p] < 64)
        p += 1 + query[p];
    if (p >= query.size() || query[p] != 0 || p + 5 > query.size())
        return 0;
    return p + 5 - 12;
}

}  // namespace

FakeDnsServer *fake_dns_start()
{
    return fake_dns_start_at(0);
}

namespace {

FakeDnsServer *start(int family, std::uint16_t port)
{
    auto *s = new FakeDnsServer;
    s->fd = socket(family, SOCK_DGRAM, 0);
    auto *v4 = reinterpret_cast<sockaddr_in *>(&s->address);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&s->address);
    s->address.ss_family = static_cast<sa_family_t>(family);
    v4->sin_port = htons(port);  // the same place in both families
    if (family == AF_INET)
        v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    else
        v6->sin6_addr = in6addr_loopback;
    socklen_t length = family == AF_INET ? sizeof *v4 : sizeof *v6;
    auto *address = reinterpret_cast<sockaddr *>(&s->address);
    if (s->fd < 0 || bind(s->fd, address, length) != 0 || getsockname(s->fd, address, &length) != 0) {
        if (s->fd >= 0)
            close(s->fd);
        delete s;
        return nullptr;
    }
    s->port = ntohs(v4->sin_port);
    s->thread = std::thread(serve, s);
    return s;
}

}  // namespace

FakeDnsServer *fake_dns_start_at(std::uint16_t port)
{
    return start(AF_INET, port);
}

FakeDnsServer *fake_dns_start_v6()
{
    return start(AF_INET6, 0);
}

sockaddr_storage fake_dns_address(const FakeDnsServer *server)
{
    return server->address;
}

void fake_dns_stop(FakeDnsServer *server)
{
    if (server == nullptr)
        return;
    server->stop.store(true);
    server->thread.join();
    close(server->fd);
    delete server;
}

std::uint16_t fake_dns_port(const FakeDnsServer *server)
{
    return server->port;
}

void fake_dns_set_reply(FakeDnsServer *server, FakeDnsReply reply)
{
    std::lock_guard<std::mutex> guard(server->lock);
    server->reply = std::make_shared<FakeDnsReply>(std::move(reply));
}

void fake_dns_set_canned(FakeDnsServer *server, DnsBytes bytes)
{
    fake_dns_set_reply(server, [bytes](const DnsBytes &query) {
        DnsBytes out = bytes;
        for (std::size_t i = 0; i < 2 && i < out.size() && i < query.size(); ++i)
            out[i] = query[i];
        return out;
    });
}

void fake_dns_set_silent(FakeDnsServer *server)
{
    fake_dns_set_reply(server, nullptr);
}

int fake_dns_query_count(FakeDnsServer *server)
{
    std::lock_guard<std::mutex> guard(server->lock);
    return server->count;
}

DnsBytes fake_dns_last_query(FakeDnsServer *server)
{
    std::lock_guard<std::mutex> guard(server->lock);
    return server->last;
}

void fake_dns_point_resolver(const FakeDnsServer *server)
{
    res_init();
    _res.nscount = 1;
    _res.nsaddr_list[0].sin_family = AF_INET;
    _res.nsaddr_list[0].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    _res.nsaddr_list[0].sin_port = htons(server->port);
}

DnsBytes dns_wire_name(std::string_view dotted)
{
    DnsBytes out;
    while (!dotted.empty()) {
        std::size_t dot = dotted.find('.');
        std::string_view label = dotted.substr(0, dot);
        out.push_back(static_cast<unsigned char>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
        dotted = dot == std::string_view::npos ? std::string_view{} : dotted.substr(dot + 1);
    }
    out.push_back(0);
    return out;
}

DnsBytes dns_txt_data(std::initializer_list<std::string_view> strings)
{
    DnsBytes out;
    for (std::string_view s : strings) {
        out.push_back(static_cast<unsigned char>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

DnsRr dns_txt(std::initializer_list<std::string_view> strings, std::uint16_t rr_class)
{
    return {{0xC0, 0x0C}, DNS_TYPE_TXT, rr_class, dns_txt_data(strings)};
}

DnsRr dns_cname(std::string_view target)
{
    return {{0xC0, 0x0C}, DNS_TYPE_CNAME, DNS_CLASS_NOMICON, dns_wire_name(target)};
}

DnsBytes dns_reply(const DnsBytes &query, const std::vector<DnsRr> &answers,
                   const std::vector<DnsRr> &authority, const std::vector<DnsRr> &additional,
                   int rcode)
{
    std::size_t q = question_length(query);
    if (q == 0)
        return {};
    DnsBytes question(query.begin() + 12, query.begin() + 12 + static_cast<long>(q));
    unsigned rd = query[2] & 0x01;
    unsigned flags = 0x8000 | (rd << 8) | 0x0080 | static_cast<unsigned>(rcode & 0x0F);
    return build(query.data(), question, flags, answers, authority, additional);
}

DnsBytes dns_message(std::string_view question, const std::vector<DnsRr> &answers,
                     const std::vector<DnsRr> &authority, const std::vector<DnsRr> &additional)
{
    DnsBytes q = dns_wire_name(question);
    put16(q, DNS_TYPE_TXT);
    put16(q, DNS_CLASS_NOMICON);
    const unsigned char id[2] = {0x12, 0x34};
    return build(id, q, 0x8180, answers, authority, additional);
}

std::string dns_question_name(const DnsBytes &query)
{
    if (question_length(query) == 0)
        return "";
    std::string name;
    std::size_t p = 12;
    while (query[p] != 0) {
        if (!name.empty())
            name += '.';
        name.append(reinterpret_cast<const char *>(&query[p + 1]), query[p]);
        p += 1 + query[p];
    }
    return name;
}
