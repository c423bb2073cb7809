// A stand-in DNS server for tests: a UDP responder on 127.0.0.1 at an
// ephemeral port, served by a thread of the test process. It answers each
// query with bytes the test composes and records what it received.
//
//   FakeDnsServer *dns = fake_dns_start();        // bound and serving
//   fake_dns_start_at(53);                         // the same at a fixed port
//   fake_dns_start_v6();                           // on ::1
//   fake_dns_point_resolver(dns);                  // this thread's _res -> dns
//   fake_dns_set_reply(dns, [](const DnsBytes &q) { return dns_reply(q, {dns_txt({"a"})}); });
//   fake_dns_set_canned(dns, bytes);               // fixed bytes, query ID patched in
//   fake_dns_set_silent(dns);                      // receive, never answer
//   fake_dns_query_count(dns); fake_dns_last_query(dns);
//   fake_dns_stop(dns);                            // joins the thread, frees
//
// The reply function runs on the server thread and keeps its state across
// queries; an empty result means no answer. `_res` is per thread in glibc: point it from the thread that runs
// the lookups. Composers below build answers that echo the query's ID and
// question, as the resolver requires of a reply it accepts.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

using DnsBytes = std::vector<unsigned char>;
using FakeDnsReply = std::function<DnsBytes(const DnsBytes &query)>;

struct FakeDnsServer;

FakeDnsServer *fake_dns_start();
// At a fixed port, for a private network namespace whose resolver
// configuration names 127.0.0.1 (which always means port 53).
FakeDnsServer *fake_dns_start_at(std::uint16_t port);
// On ::1 at an ephemeral port; null where the host has no IPv6 loopback.
FakeDnsServer *fake_dns_start_v6();
void fake_dns_stop(FakeDnsServer *server);
// Where the server listens, as a name-server address.
sockaddr_storage fake_dns_address(const FakeDnsServer *server);
std::uint16_t fake_dns_port(const FakeDnsServer *server);

void fake_dns_set_reply(FakeDnsServer *server, FakeDnsReply reply);
void fake_dns_set_canned(FakeDnsServer *server, DnsBytes bytes);
void fake_dns_set_silent(FakeDnsServer *server);

int fake_dns_query_count(FakeDnsServer *server);
DnsBytes fake_dns_last_query(FakeDnsServer *server);

// res_init(), then one name server: 127.0.0.1 at the server's port.
void fake_dns_point_resolver(const FakeDnsServer *server);

// One resource record; `owner` in wire form, by default a compression
// pointer to the question name at offset 12.
struct DnsRr {
    DnsBytes owner;
    std::uint16_t type;
    std::uint16_t rr_class;
    DnsBytes data;
};

inline constexpr std::uint16_t DNS_TYPE_CNAME = 5;
inline constexpr std::uint16_t DNS_TYPE_TXT = 16;
inline constexpr std::uint16_t DNS_CLASS_IN = 1;
inline constexpr std::uint16_t DNS_CLASS_NOMICON = 4;
inline constexpr int DNS_RCODE_NXDOMAIN = 3;

DnsBytes dns_wire_name(std::string_view dotted);
// TXT data: each string as one character-string (length byte, bytes).
DnsBytes dns_txt_data(std::initializer_list<std::string_view> strings);
DnsRr dns_txt(std::initializer_list<std::string_view> strings, std::uint16_t rr_class = DNS_CLASS_NOMICON);
DnsRr dns_cname(std::string_view target);

// A response to `query`: its ID and question, QR and RA set, RD copied.
DnsBytes dns_reply(const DnsBytes &query, const std::vector<DnsRr> &answers,
                   const std::vector<DnsRr> &authority = {},
                   const std::vector<DnsRr> &additional = {}, int rcode = 0);
// A response with a given question name, for tests that call the scanner
// directly.
DnsBytes dns_message(std::string_view question, const std::vector<DnsRr> &answers,
                     const std::vector<DnsRr> &authority = {},
                     const std::vector<DnsRr> &additional = {});

// The first question's name in dotted form ("" if the query is malformed).
std::string dns_question_name(const DnsBytes &query);
