#include <cstdio>

#include "dirpick/dirpick.h"

void report_parse_error(const char* prog_name, ParseStatus status, const char* bad_arg) {
  if (status == PARSE_UNKNOWN && bad_arg != nullptr) {
    std::fprintf(stderr, "%s: unknown option: %s\n", prog_name, bad_arg);
  } else if (status == PARSE_ALREADY && bad_arg != nullptr) {
    std::fprintf(stderr, "%s: %s already specified.\n", prog_name, bad_arg);
  }
  print_usage(prog_name);
}
