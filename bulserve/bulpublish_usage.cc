#include <cstdio>

#include "bulserve/bulpublish.h"

void bulpublish_usage(const char *program, const char *error)
{
    std::fprintf(stderr,
                 "%s: %s\nUsage: %s [-S STATE-DIR] FILE [TEXT-FILE | -]\n"
                 "       %s -l [-S STATE-DIR] FILE\nTry '%s --help' for more.\n",
                 program, error, program, program, program);
}

void bulpublish_help(const char *program)
{
    std::printf(
        "Usage: %s [-S STATE-DIR] FILE [TEXT-FILE | -]\n"
        "       %s -l [-S STATE-DIR] FILE\n"
        "Publish a new site bulletin in FILE, the file bulserve(8) serves, or show it.\n"
        "\n"
        "The text comes from TEXT-FILE, or from standard input without one or with -.\n"
        "It gets a stamp above every stamp served before, is refused when it would\n"
        "not fit one answer, and replaces FILE at once, never partly written.\n"
        "An empty text withdraws the bulletin: clients show nothing new.\n"
        "\n"
        "  -l            show what is served: the bulletin of FILE, or, when the server\n"
        "                does not serve FILE, the record it serves and why\n"
        "  -S STATE-DIR  the server's state directory, for the stamp it served last\n"
        "                (default %s, when it can be read)\n"
        "  -h, --help    show this help and exit\n"
        "  --version     show the version and exit\n"
        "\n"
        "Exit status: 0 done, 1 command line refused, 2 text refused (with -l: FILE\n"
        "refused by the server), 3 a file could not be read or written.\n",
        program, program, BULPUBLISH_DEFAULT_STATE_DIR);
}
