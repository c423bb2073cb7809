#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "bulserve/bulpublish.h"

bool bulpublish_parse_args(int argc, char *const argv[], BulpublishOptions *options,
                           char *error, std::size_t error_size)
{
    *options = BulpublishOptions{};
    static const option longs[] = {{"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    // getopt's usual forms (-S DIR, -SDIR, -lS DIR, options after the
    // file); its own messages are replaced by ones that say what is allowed.
    opterr = 0;
    optind = 0;
    int c;
    while ((c = getopt_long(argc, argv, ":lS:h", longs, nullptr)) != -1) {
        switch (c) {
        case 'h':
            options->help = true;
            return true;
        case 'V':
            options->version = true;
            return true;
        case 'l':
            if (options->show) {
                std::snprintf(error, error_size, "-l given more than once");
                return false;
            }
            options->show = true;
            break;
        case 'S':
            if (options->state_dir != nullptr) {
                std::snprintf(error, error_size, "-S given more than once");
                return false;
            }
            if (optarg[0] == '\0') {
                std::snprintf(error, error_size, "-S needs a directory");
                return false;
            }
            options->state_dir = optarg;
            break;
        case ':':
            std::snprintf(error, error_size, "-S needs a directory");
            return false;
        default:
            if (optopt != 0)
                std::snprintf(error, error_size,
                              "-%c: unknown option; the options are -l, -S, -h, --help and "
                              "--version", optopt);
            else
                std::snprintf(error, error_size,
                              "%s: unknown option; the options are -l, -S, -h, --help and "
                              "--version", argv[optind - 1]);
            return false;
        }
    }
    int i = optind;
    if (i >= argc || argv[i] == nullptr || argv[i][0] == '\0') {
        std::snprintf(error, error_size, "missing bulletin file");
        return false;
    }
    options->file = argv[i++];
    if (i < argc && argv[i] != nullptr && !options->show)
        options->text = argv[i++];
    if (i < argc && argv[i] != nullptr) {
        std::snprintf(error, error_size, "%s: %s", argv[i],
                      options->show ? "-l takes the bulletin file alone"
                                    : "one bulletin file and one text file at most");
        return false;
    }
    return true;
}
