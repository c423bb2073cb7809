// bulfetch: shows the site bulletin, from the bulletin server or the
// machine's fallback copy, on standard output or as a personal notice.
#include "bulfetch/bulfetch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace {

// One line on standard error; it names neither -login nor -l.
void usage(const char *program, const char *offending)
{
    std::fprintf(stderr, "%s <%s>: Usage: %s [-vane|-v] [-new|-n]\n", program,
                 offending, program);
}

bool is(const char *arg, const char *word)
{
    return std::strcmp(arg, word) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    // A process started without a program name (an empty vector, which
    // current kernels turn into one empty string) has no name to log under
    // and is not a login or a user's command: it is refused, under the
    // program's own name.
    bool nameless = argc < 1 || argv[0] == nullptr || argv[0][0] == '\0';
    const char *program = nameless ? "bulfetch" : argv[0];
    openlog(program, LOG_PID, LOG_USER);
    syslog(LOG_INFO, "BUL client started...");
    if (nameless) {
        usage(program, "empty argument vector");
        return 1;
    }
    if (argc > 3) {
        usage(program, "too many arguments");
        return 1;
    }

    bool vane = false;
    bool only_new = false;
    bool login = false;
    bool quick = false;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char *arg = argv[i];
        if (is(arg, "-vane") || is(arg, "-v"))
            vane = true;
        else if (is(arg, "-new") || is(arg, "-n"))
            only_new = true;
        else if (is(arg, "-login") || is(arg, "-l"))
            login = true;
        else if (is(arg, "-quick") || is(arg, "-q"))
            quick = true;
        else {
            usage(program, arg);
            return 1;
        }
    }

    char *bulletin = nullptr;
    ErrorCode code = quick ? get_a_message_quick(&bulletin, program)
                           : get_a_message(&bulletin);
    if (code == BUL_INTERRUPTED)
        return 0;
    if (code != 0) {
        syslog(LOG_INFO, "BUL losing: %s", error_message(code));
        return 0;
    }
    if (check_viewable(bulletin, only_new, !login) != 0)
        syslog(LOG_INFO, "BUL not showing.");
    else if (vane)
        view_message_by_vane(bulletin);
    else
        view_message_by_tty(bulletin);
    std::free(bulletin);
    return 0;
}
