#include <cstdio>

#include "bulserve/bulserve.h"

void bulserve_usage(const char *program, const char *offending)
{
    std::fprintf(stderr,
                 "%s: %s\nUsage: %s [-e] [-a ADDRESS] [-p PORT] [-s STAMP] FILE\n",
                 program, offending, program);
}
