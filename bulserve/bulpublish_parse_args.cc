#include <cstdio>
#include <cstring>

#include "bulserve/bulpublish.h"

bool bulpublish_parse_args(int argc, char *const argv[], BulpublishOptions *options,
                           char *error, std::size_t error_size)
{
    *options = BulpublishOptions{};
    int i = 1;
    for (; i < argc && argv[i] != nullptr; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--") == 0) {
            ++i;
            break;
        }
        if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            options->help = true;
            return true;
        }
        if (std::strcmp(arg, "--version") == 0) {
            options->version = true;
            return true;
        }
        if (arg[0] != '-' || arg[1] == '\0')
            break;
        if (std::strcmp(arg, "-l") == 0) {
            if (options->show) {
                std::snprintf(error, error_size, "-l given more than once");
                return false;
            }
            options->show = true;
            continue;
        }
        if (std::strcmp(arg, "-S") != 0) {
            std::snprintf(error, error_size,
                          "%s: unknown option; the options are -l, -S, -h, --help and --version",
                          arg);
            return false;
        }
        if (options->state_dir != nullptr) {
            std::snprintf(error, error_size, "-S given more than once");
            return false;
        }
        if (i + 1 >= argc || argv[i + 1] == nullptr || argv[i + 1][0] == '\0') {
            std::snprintf(error, error_size, "-S needs a directory");
            return false;
        }
        options->state_dir = argv[++i];
    }
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
