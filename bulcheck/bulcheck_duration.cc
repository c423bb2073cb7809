#include "bulcheck/bulcheck.h"

#include <cstdio>

namespace {
char buffers[4][32];
int next_buffer;
}  // namespace

// Loopback answers take tens of microseconds, a silent step seconds: the
// unit follows the size.
const char *bulcheck_duration(double ms)
{
    char *out = buffers[next_buffer];
    next_buffer = (next_buffer + 1) % 4;
    if (ms < 1)
        std::snprintf(out, sizeof buffers[0], "%.0f us", ms * 1000);
    else if (ms < 1000)
        std::snprintf(out, sizeof buffers[0], "%.1f ms", ms);
    else
        std::snprintf(out, sizeof buffers[0], "%.2f s", ms / 1000);
    return out;
}
