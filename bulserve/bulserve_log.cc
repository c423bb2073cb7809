#include <syslog.h>

#include <cstdarg>
#include <cstdio>

#include "bulserve/bulserve.h"

namespace {
bool log_to_stderr = false;
}

void bulserve_log_init(bool to_stderr)
{
    log_to_stderr = to_stderr;
    openlog("bulserve", LOG_PID | LOG_NDELAY, LOG_DAEMON);
}

void bulserve_log(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    if (log_to_stderr) {
        va_list copy;
        va_copy(copy, args);
        std::fputs("bulserve: ", stderr);
        std::vfprintf(stderr, format, copy);
        std::fputc('\n', stderr);
        std::fflush(stderr);
        va_end(copy);
    }
    vsyslog(priority, format, args);
    va_end(args);
}
