#include "bulfetch/bulfetch.h"

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <unistd.h>

namespace {

// A pipe whose reader has gone must fail the write, not end the run by
// SIGPIPE: the run's status stays 0 whatever becomes of the body. An
// ignored signal is discarded, so the old disposition can come back after.
void write_out(const char *data, std::size_t size)
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction previous {};
    bool swapped = sigaction(SIGPIPE, &ignore, &previous) == 0;
    if (write(1, data, size) < 0) {
    }
    if (swapped)
        sigaction(SIGPIPE, &previous, nullptr);
}

} // namespace

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
        write_out(body.data(), body.size());
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
    write_out(escaped, n);
    std::free(escaped);
}
