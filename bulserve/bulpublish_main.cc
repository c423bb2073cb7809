#include <csignal>
#include <cstdio>

#include "bulserve/bulpublish.h"

int main(int argc, char *argv[])
{
    // Before anything is opened: the new bulletin file must never become
    // standard output because the command was started with it closed.
    if (!bulserve_std_fds())
        return BULPUBLISH_EXIT_FILE;
    // The served file is read under a read lease, which a writer opening
    // it breaks with SIGIO; that signal's default would end the command.
    std::signal(SIGIO, SIG_IGN);
    const char *program = bulserve_program_name(argc > 0 ? argv[0] : nullptr, "bulpublish");
    BulpublishOptions options;
    char error[256];
    if (!bulpublish_parse_args(argc, argv, &options, error, sizeof error)) {
        bulpublish_usage(program, error);
        return BULPUBLISH_EXIT_USAGE;
    }
    if (options.help) {
        bulpublish_help(program);
        return BULPUBLISH_EXIT_OK;
    }
    if (options.version) {
        std::printf("%s (calyx tools) %s\n", program, CALYX_VERSION);
        return BULPUBLISH_EXIT_OK;
    }
    int status = options.show ? bulpublish_show(program, options)
                              : bulpublish_publish(program, options);
    if (std::fflush(stdout) != 0 && status == BULPUBLISH_EXIT_OK)
        status = BULPUBLISH_EXIT_FILE;
    return status;
}
