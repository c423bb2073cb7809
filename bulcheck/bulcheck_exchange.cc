#include "bulcheck/bulcheck.h"
#include "bulfetch/bulfetch.h"
#include "bulfetch/bulletin.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The client's exchange, with the check's shorter wait.
ErrorCode ask(const sockaddr_in &to, char **reply_out, std::int32_t *length_out)
{
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return errno;
    ErrorCode code = bulletin_exchange(sock, to, BULCHECK_WAIT_MS, reply_out, length_out);
    close(sock);
    return code;
}

}  // namespace

int bulcheck_exchange(BulcheckState &state)
{
    bulcheck_say("\nExchange with the bulletin server");
    const sockaddr_in &to = *state.address;
    double start = bulcheck_now_ms();
    ErrorCode code = ask(to, &state.live, &state.live_length);
    double ms = bulcheck_now_ms() - start;
    state.server_side_ms += ms;
    const char *where = bulcheck_address(reinterpret_cast<const sockaddr *>(&to));
    int port = ntohs(to.sin_port);
    if (code == BUL_SERVER_TIMEOUT) {
        bulcheck_say("  BREAK: \"BUL:0\" sent to %s port %d: no reply within %.1f s; the silent",
                     where, port, BULCHECK_WAIT_MS / 1000.0);
        bulcheck_say("         step is the bulletin server.");
        bulcheck_say("  FIX: start the bulletin server on %s (bulserve(8)) on that port, or",
                     bulcheck_shown(state.servers[0]));
        bulcheck_say("       open the port to this machine.");
        return BULCHECK_EXCHANGE;
    }
    if (code != 0) {
        bulcheck_say("  BREAK: \"BUL:0\" sent to %s port %d: %s, after %s", where, port,
                     error_message(code), bulcheck_duration(ms));
        bulcheck_say("  FIX: start the bulletin server on %s (bulserve(8)) on that port.",
                     bulcheck_shown(state.servers[0]));
        return BULCHECK_EXCHANGE;
    }
    std::string_view reply(state.live, static_cast<std::size_t>(state.live_length));
    bulcheck_say("  \"BUL:0\" sent to %s port %d: a reply of %d bytes in %s", where, port,
                 state.live_length, bulcheck_duration(ms));
    if (bulletin_check(reply) != 0) {
        bulcheck_say("  BREAK: the reply is not a bulletin (it must begin with \"BUL:0\" and hold a");
        bulcheck_say("         line end): \"%s\"", bulcheck_shown(reply.substr(0, 40)));
        bulcheck_say("  FIX: the program answering on that port is not a bulletin server.");
        // Kept for the verdict: a login takes whatever the server answers.
        return BULCHECK_EXCHANGE;
    }
    std::int32_t stamp = bulletin_stamp(reply);
    bulcheck_say("  stamp %d (%s)", stamp, bulcheck_when(stamp));
    return BULCHECK_OK;
}
