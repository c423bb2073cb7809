#include "bulcheck/bulcheck.h"
#include "bulfetch/bulfetch.h"
#include "nomicon/nomicon.h"

#include <cstdio>
#include <arpa/nameser.h>
#include <cstring>
#include <netinet/in.h>

namespace {

constexpr std::size_t MAX_SERVERS = 16;

const char *rcode_name(int rcode)
{
    static const char *const names[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN",
                                        "NOTIMP",  "REFUSED"};
    static char other[24];
    if (rcode >= 0 && rcode < 6)
        return names[rcode];
    std::snprintf(other, sizeof other, "RCODE %d", rcode);
    return other;
}

bool is_systemd_stub(const sockaddr_storage &a)
{
    if (a.ss_family != AF_INET)
        return false;
    const auto &in = reinterpret_cast<const sockaddr_in &>(a);
    return in.sin_addr.s_addr == htonl(0x7F000035);
}

int port_of(const sockaddr_storage &a)
{
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(a).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in &>(a).sin_port);
}

// One server's line, and what its answer means for the name service.
void report(const sockaddr_storage &server, const NameServerAnswer &a, const char *source)
{
    char where[96];
    const char *address = bulcheck_address(reinterpret_cast<const sockaddr *>(&server));
    // The port only when it is not the usual one.
    if (int port = port_of(server); port != 53)
        std::snprintf(where, sizeof where, "%s port %d (%s)", address, port, source);
    else
        std::snprintf(where, sizeof where, "%s (%s)", address, source);
    if (a.rcode < 0 && a.error == 0) {
        bulcheck_say("  %s: no answer within %.1f s", where, BULCHECK_WAIT_MS / 1000.0);
        return;
    }
    if (a.rcode < 0) {
        bulcheck_say("  %s: %s, after %s", where, std::strerror(a.error), bulcheck_duration(a.ms));
        return;
    }
    bulcheck_say("  %s: %s, %d record%s, in %s%s", where, rcode_name(a.rcode),
                 a.records < 0 ? 0 : a.records, a.records == 1 ? "" : "s", bulcheck_duration(a.ms),
                 a.truncated ? " (truncated)" : "");
    if (a.rcode == ns_r_refused || a.rcode == ns_r_servfail) {
        if (is_systemd_stub(server))
            bulcheck_say("    127.0.0.53 is systemd-resolved's stub, which refuses class HS.");
        bulcheck_say("    A local caching resolver answers class HS so: REFUSED from the");
        bulcheck_say("    systemd-resolved stub, unbound and BIND as a resolver; SERVFAIL from");
        bulcheck_say("    knot-resolver and PowerDNS Recursor. None of them asks the site's servers.");
    } else if (a.rcode == ns_r_nxdomain) {
        bulcheck_say("    The name does not exist there: the zone lacks the record, or lhs and");
        bulcheck_say("    rhs do not match the zone's names.");
    } else if (a.rcode == ns_r_noerror && a.records < 0) {
        bulcheck_say("    The answer is malformed.");
    } else if (a.rcode == ns_r_noerror && a.records == 0) {
        bulcheck_say("    The answer holds no TXT record of class HS for the name.");
    }
}

}  // namespace

int bulcheck_name_service(BulcheckState &state)
{
    bulcheck_say("\nName servers, asked for the class-HS TXT records of %s",
                 bulcheck_shown(state.sloc_name));
    sockaddr_storage servers[MAX_SERVERS];
    bool from_setting = false;
    std::size_t count = bulcheck_name_servers(servers, &from_setting);
    const char *source = from_setting ? "nameserver setting" : "/etc/resolv.conf";
    if (count == 0) {
        bulcheck_say("  BREAK: the resolver names no name server to ask.");
        bulcheck_say("  FIX: name the site's name servers in %s with lines",
                     bulcheck_shown(nomicon_config_file));
        bulcheck_say("       \"nameserver ADDRESS\" (see nomicon.conf(5)).");
        return BULCHECK_NAME_SERVICE;
    }
    NameServerAnswer answers[MAX_SERVERS];
    bulcheck_ask_name_servers(state.sloc_name, std::span(servers, count),
                              std::span(answers, count));
    bool answered = false, silent = false, refused = false, missing = false;
    for (std::size_t i = 0; i < count; ++i) {
        report(servers[i], answers[i], source);
        answered |= answers[i].rcode >= 0;
        silent |= answers[i].rcode < 0 && answers[i].error == 0;
        refused |= answers[i].rcode == ns_r_refused || answers[i].rcode == ns_r_servfail;
        missing |= answers[i].rcode == ns_r_nxdomain;
    }
    if (!answered) {
        if (silent)
            bulcheck_say("  BREAK: no name server answered; the silent step is the name-service lookup.");
        else
            bulcheck_say("  BREAK: no name server answered.");
        bulcheck_say("  FIX: check that the servers listed run and that nothing between drops");
        bulcheck_say("       DNS over UDP (port 53).");
        return BULCHECK_NAME_SERVICE;
    }

    // The client's own lookup, through the same units a login uses.
    double start = bulcheck_now_ms();
    ErrorCode code = get_servername(&state.servers);
    double ms = bulcheck_now_ms() - start;
    state.server_side_ms += ms;
    if (code != 0) {
        bulcheck_say("  the client's lookup: %s, after %s", error_message(code), bulcheck_duration(ms));
        bulcheck_say("  BREAK: the client finds no bulletin server.");
        if (refused && !from_setting) {
            bulcheck_say("  FIX: name the site's name servers, which hold its class-HS zone, in");
            bulcheck_say("       %s with lines \"nameserver ADDRESS\" (see nomicon.conf(5));",
                         bulcheck_shown(nomicon_config_file));
            bulcheck_say("       the class-HS queries then go to them directly.");
        } else if (refused) {
            bulcheck_say("  FIX: the servers of the nameserver setting must serve the site's");
            bulcheck_say("       class-HS zone themselves (see nomicon.conf(5)).");
        } else if (missing) {
            bulcheck_say("  FIX: publish the TXT records of class HS for %s (one per",
                         bulcheck_shown(state.sloc_name));
            bulcheck_say("       bulletin server host) in the site's zone, or correct lhs and rhs.");
        } else {
            bulcheck_say("  FIX: give %s TXT records of class HS naming the bulletin",
                         bulcheck_shown(state.sloc_name));
            bulcheck_say("       server hosts.");
        }
        return BULCHECK_NAME_SERVICE;
    }
    bulcheck_say("  the client's lookup: %s", bulcheck_duration(ms));
    // The resolver moves on after a refusal; the site depends on that order.
    if (refused && !from_setting) {
        bulcheck_say("  (it gets through past the refusing server only because the resolver then");
        bulcheck_say("  asks the next; naming the site's servers in the nameserver setting is surer)");
    }
    return BULCHECK_OK;
}
