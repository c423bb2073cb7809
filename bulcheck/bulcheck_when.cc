#include "bulcheck/bulcheck.h"

#include <ctime>

namespace {
char buffers[4][40];
int next_buffer;
}  // namespace

const char *bulcheck_when(long long seconds)
{
    char *out = buffers[next_buffer];
    next_buffer = (next_buffer + 1) % 4;
    time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    if (gmtime_r(&t, &parts) == nullptr || strftime(out, sizeof buffers[0], "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
        return "(a time out of range)";
    return out;
}
