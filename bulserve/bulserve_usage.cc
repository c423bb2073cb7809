#include <cstdio>

#include "bulserve/bulserve.h"

namespace {
constexpr const char *SYNOPSIS =
    "[-e] [-a ADDRESS] [-p PORT] [-s STAMP] [-S STATE-DIR] [-r RATE] [-R RATE] [-b BURST] "
    "[-m PREFIX] [-t TOTAL] FILE";
}

void bulserve_usage(const char *program, const char *error)
{
    std::fprintf(stderr, "%s: %s\nUsage: %s %s\nTry '%s --help' for more.\n", program, error,
                 program, SYNOPSIS, program);
}

void bulserve_help(const char *program)
{
    std::printf(
        "Usage: %s %s\n"
        "Serve the site bulletin in FILE over UDP to the site's bulletin clients.\n"
        "\n"
        "  -e            also write every log line to standard error\n"
        "  -a ADDRESS    listen on this IPv4 address (default 0.0.0.0, every address)\n"
        "  -p PORT       listen on this UDP port, 0 to 65535 (default: the \"bulletin\"\n"
        "                udp entry of the services database)\n"
        "  -s STAMP      serve this fixed stamp, -2147483648 to 2147483647\n"
        "  -S STATE-DIR  remember stamps here (default $STATE_DIRECTORY)\n"
        "  -r RATE       answers per second per source prefix, 0 (no limit) to\n"
        "                1000000 (default %u)\n"
        "  -R RATE       answers per second per source address once its prefix\n"
        "                runs short, 0 (no limit) to 1000000 (default %u)\n"
        "  -b BURST      extra answers a quiet prefix or address may take at once,\n"
        "                0 to 1000000 (default %u)\n"
        "  -m PREFIX     length of the source prefix, 8 to 32 (default %u)\n"
        "  -t TOTAL      answers per second in all, 0 (no limit) to 1000000\n"
        "                (default %u)\n"
        "  -h, --help    show this help and exit\n"
        "  --version     show the version and exit\n"
        "\n"
        "Options may come before or after FILE; -p2222 is -p 2222.\n"
        "FILE is plain text, stamped by the server, or a bulletin published with\n"
        "bulpublish(8), which carries its own stamp. SIGHUP reads FILE again.\n"
        "Exit status: 0 ended by SIGTERM or SIGINT, 1 command line refused,\n"
        "2 bulletin file or state refused, 3 no port or no socket.\n",
        program, SYNOPSIS, RATE_LIMIT_DEFAULT_PER_SECOND, RATE_LIMIT_DEFAULT_PER_ADDRESS,
        RATE_LIMIT_DEFAULT_BURST, RATE_LIMIT_DEFAULT_IPV4_PREFIX, RATE_LIMIT_DEFAULT_TOTAL);
}
