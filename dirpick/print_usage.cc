#include <cstdio>
#include <cstdlib>

#include "dirpick/dirpick.h"

void print_usage(const char* prog_name) {
  std::fprintf(stderr, "usage: %s path [type]\n", prog_name);
  std::fprintf(stderr, "   or: %s [-t type] [-p path ...] [-e] [-c] [-l] [-d | -i]\n", prog_name);
  std::fputs("       [-r recsep] [-f format] [-s sysname] [-m machtype]\n", stderr);
  std::exit(1);
}
