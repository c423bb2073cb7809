#include "bulfetch/bulfetch.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <unistd.h>

// The body is written with one write call, unbuffered, and nothing added;
// a failed write is not reported (the run ends with status 0 either way).
//
// The body comes from the network or from a file every user may write, so
// on a terminal its control characters are made visible first: otherwise
// anyone could send escape sequences to every user's terminal at login.
// Into a pipe or a file the body goes byte for byte.
void view_message_by_tty(const char *bulletin)
{
    if (bulletin == nullptr)
        return;
    std::string_view body = bulletin_body(bulletin);
    if (!isatty(1)) {
        if (quiet_write(1, body.data(), body.size()) < 0) {
        }
        return;
    }
    // Whether the terminal reads UTF-8 is known only from the user's locale.
    bool utf8 = false;
    if (std::setlocale(LC_CTYPE, "") != nullptr)
        utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    // Without room for the visible copy nothing is shown: the raw body is
    // never the fallback on a terminal.
    char *escaped = static_cast<char *>(
        std::malloc(body.size() * TERMINAL_ESCAPE_GROWTH + 1));
    if (escaped == nullptr)
        return;
    std::size_t n = terminal_escape(body, escaped, utf8);
    if (quiet_write(1, escaped, n) < 0) {
    }
    std::free(escaped);
}
