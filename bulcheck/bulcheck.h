// bulcheck: walks the path a login's bulletin takes, step by step, with
// the client's own units, and says in plain words what it finds. It writes
// no file and no log line; every wait on the network has a short bound.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <sys/socket.h>

// Each wait on the network: one name server's answer, the lookups through
// the resolver, the bulletin server's reply. A login's own wait (-quick) is
// shorter still; a step that needs more than this is broken for logins.
inline constexpr int BULCHECK_WAIT_MS = 2000;
// The whole run: several slow steps in a row (a silent first name server
// before a working one costs each lookup a wait) end the check here.
inline constexpr unsigned BULCHECK_BOUND_S = 8;
// What a login (bulfetch -new -quick) waits for the server side.
inline constexpr int BULCHECK_LOGIN_WAIT_MS = 600;

// Exit statuses: the step of the first break.
enum BulcheckStatus {
    BULCHECK_OK = 0,
    BULCHECK_USAGE = 1,
    BULCHECK_CONFIG = 2,
    BULCHECK_NAME_SERVICE = 3,
    BULCHECK_SERVER_ADDRESS = 4,
    BULCHECK_EXCHANGE = 5,
    BULCHECK_COPY = 6,
};

// The step running, for the report of a run that reaches the bound.
extern volatile sig_atomic_t bulcheck_step;
// Ends the run after the given seconds, naming the step running then.
void bulcheck_bound(unsigned seconds);

// What the steps hand on to the next ones.
struct BulcheckState {
    char sloc_name[256];
    char service_name[256];
    char **servers;          // from get_servername, null-terminated
    int port;                // network byte order; -1 when unknown
    struct sockaddr_in *address;
    char *live;              // the server's reply, NUL-terminated
    std::int32_t live_length;
    double server_side_ms;   // the lookups and the exchange added
    char *copy;              // the machine-wide copy, NUL-terminated
    std::int32_t copy_length;
    char *home;              // of the real user, a copy; null without one
    bool has_seen;           // the seen-stamp file holds a record
    std::int32_t seen_stamp;
};

// One line on standard output: the format is always a literal, outside
// text comes in through %s after bulcheck_shown.
void bulcheck_say(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Outside text (names from the network, file contents, paths) with every
// byte but printable ASCII written as \xHH, cut at 200 bytes; one of four
// rotating static buffers, so up to four may appear in one line.
const char *bulcheck_shown(std::string_view text);
// An address as text ("192.0.2.1", "2001:db8::1"), in a rotating buffer.
const char *bulcheck_address(const struct sockaddr *address);
// Milliseconds elapsed since a CLOCK_MONOTONIC reading in milliseconds.
double bulcheck_now_ms();
// "40 us", "3.1 ms", "2.00 s", in a rotating buffer.
const char *bulcheck_duration(double ms);
// "2026-12-08 14:50:00 UTC" for a time in seconds, in a rotating buffer.
const char *bulcheck_when(long long seconds);

int bulcheck_config(BulcheckState &state);

// The name servers the resolver library is configured with, in its order
// (IPv4 and IPv6), copied into out; returns how many.
std::size_t bulcheck_resolver_servers(std::span<sockaddr_storage> out);

// One name server's answer to a class-HS TXT query.
struct NameServerAnswer {
    int rcode;        // -1: no answer (see error), else the header's RCODE
    int error;        // errno of a failed send or receive; 0 for silence
    int records;      // TXT records of class HS in the answer section
    bool truncated;
    double ms;
};
// Asks every server at once for the class-HS TXT records of name and waits
// at most BULCHECK_WAIT_MS for all of them.
void bulcheck_ask_name_servers(const char *name, std::span<const sockaddr_storage> servers,
                               std::span<NameServerAnswer> answers);

// The servers the client's class-HS queries go to: those of the
// configuration's nameserver setting (*from_setting true), else the
// resolver's.
std::size_t bulcheck_name_servers(std::span<sockaddr_storage> out, bool *from_setting);

int bulcheck_name_service(BulcheckState &state);
int bulcheck_server_address(BulcheckState &state);
int bulcheck_exchange(BulcheckState &state);
int bulcheck_copy(BulcheckState &state);
void bulcheck_seen(BulcheckState &state);
void bulcheck_verdict(const BulcheckState &state);
