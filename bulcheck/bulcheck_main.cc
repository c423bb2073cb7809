// bulcheck: walks the path of a login's bulletin and says what it finds.
#include "bulcheck/bulcheck.h"
#include "bulfetch/bulfetch.h"
#include "nomicon/nomicon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <pwd.h>
#include <resolv.h>
#include <unistd.h>

#ifndef CALYX_VERSION
#error "CALYX_VERSION must be set by the build"
#endif

namespace {

void help(const char *program)
{
    bulcheck_say("Usage: %s [--help] [--version]", program);
    bulcheck_say("Walk the path a login's bulletin takes (the name-service configuration, the");
    bulcheck_say("name servers, the server list, the bulletin server's port and address, the");
    bulcheck_say("exchange with it, the machine-wide copy, your seen stamp) and say what each");
    bulcheck_say("step finds, what breaks first and what to change. Nothing is written.");
    bulcheck_say("Each wait on the network lasts at most %d s, the whole check at most %u s.",
                 BULCHECK_WAIT_MS / 1000, BULCHECK_BOUND_S);
    bulcheck_say("\nExit status: 0 the whole path works; 1 command line refused; the first");
    bulcheck_say("break: 2 configuration, 3 name service, 4 bulletin server's port or address,");
    bulcheck_say("5 exchange with the bulletin server, 6 machine-wide copy.");
}

const char *step_name(int status)
{
    switch (status) {
    case BULCHECK_CONFIG: return "the configuration";
    case BULCHECK_NAME_SERVICE: return "the name service";
    case BULCHECK_SERVER_ADDRESS: return "the bulletin server's port or address";
    case BULCHECK_EXCHANGE: return "the exchange with the bulletin server";
    default: return "the machine-wide copy";
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (standard_descriptors() != 0)
        return BULCHECK_USAGE;
    const char *program = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "bulcheck";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            help(program);
            return BULCHECK_OK;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            bulcheck_say("bulcheck (calyx tools) %s", CALYX_VERSION);
            return BULCHECK_OK;
        }
        std::fprintf(stderr, "%s: unknown argument \"%s\"\nUsage: %s [--help] [--version]\n",
                     program, bulcheck_shown(argv[i]), program);
        return BULCHECK_USAGE;
    }

    BulcheckState state{};
    state.port = -1;
    const passwd *pw = getpwuid(getuid());
    bulcheck_say("The path of a login's bulletin, for %s (uid %u). Nothing is written.",
                 pw != nullptr ? bulcheck_shown(pw->pw_name) : "a user without a name",
                 static_cast<unsigned>(getuid()));
    // Kept: the entry is overwritten by the next password lookup. Without
    // memory for it the check goes on as for a user without a home.
    state.home = pw != nullptr ? strdup(pw->pw_dir) : nullptr;

    // One try with a short wait for every lookup: the client's own
    // name-service lookups through its tuning word, the host lookup
    // through the resolver's state.
    nomicon_tuning = (1 << 16) | (BULCHECK_WAIT_MS / 1000);
    if ((_res.options & RES_INIT) != 0 || res_init() == 0) {
        _res.retrans = BULCHECK_WAIT_MS / 1000;
        _res.retry = 1;
    }

    bulcheck_bound(BULCHECK_BOUND_S);
    bulcheck_step = BULCHECK_CONFIG;
    int status = bulcheck_config(state);
    if (status == BULCHECK_OK) {
        bulcheck_step = BULCHECK_NAME_SERVICE;
        status = bulcheck_name_service(state);
    }
    if (status == BULCHECK_OK) {
        bulcheck_step = BULCHECK_SERVER_ADDRESS;
        status = bulcheck_server_address(state);
    }
    if (status == BULCHECK_OK) {
        bulcheck_step = BULCHECK_EXCHANGE;
        status = bulcheck_exchange(state);
    }
    bulcheck_step = BULCHECK_COPY;
    int copy = bulcheck_copy(state);
    if (status == BULCHECK_OK)
        status = copy;
    bulcheck_seen(state);
    bulcheck_verdict(state);
    if (status == BULCHECK_OK && state.server_side_ms > BULCHECK_LOGIN_WAIT_MS)
        bulcheck_say("\nResult: the whole path works, but too slowly for a login (see the verdict).");
    else if (status == BULCHECK_OK)
        bulcheck_say("\nResult: the whole path works.");
    else
        bulcheck_say("\nResult: the first break is in %s (exit status %d).", step_name(status),
                     status);
    if (state.servers != nullptr) {
        for (char **s = state.servers; *s != nullptr; ++s)
            std::free(*s);
        std::free(state.servers);
    }
    std::free(state.live);
    std::free(state.copy);
    std::free(state.home);
    return status;
}
