#include "bulcheck/bulcheck.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

// One write per line, so that the report reads in order even when standard
// output and standard error go to one place. A line longer than the buffer
// is cut; a failed write (a reader gone) ends nothing but the output.
void bulcheck_say(const char *format, ...)
{
    char line[2048];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0)
        return;
    std::size_t length = static_cast<std::size_t>(n) < sizeof line - 2
                             ? static_cast<std::size_t>(n)
                             : sizeof line - 2;
    line[length++] = '\n';
    std::size_t done = 0;
    while (done < length) {
        ssize_t w = write(STDOUT_FILENO, line + done, length - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return;
        done += static_cast<std::size_t>(w);
    }
}
