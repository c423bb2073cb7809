#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dirpick/dirpick.h"

int main(int argc, char** argv) {
  const char* prog_name = prog_name_of(argc > 0 ? argv[0] : nullptr);
  if (const int error = guard_standard_fds(); error != 0) {
    std::fprintf(stderr, "%s: /dev/null: %s\n", prog_name, std::strerror(error));
    return 1;
  }
  if (argc < 2) print_usage(prog_name);

  // Room for one path per word of the command line.
  const char** paths = static_cast<const char**>(std::calloc(static_cast<std::size_t>(argc),
                                                             sizeof(const char*)));
  if (paths == nullptr) {
    std::fprintf(stderr, "%s: out of memory\n", prog_name);
    return 1;
  }
  // CALYX_SYS is read before any argument, so -s always wins over it; an
  // empty value still counts as set.
  const char* env_sys = std::getenv("CALYX_SYS");
  DirpickOptions opts{};
  opts.paths = paths;
  const char* bad_arg = nullptr;
  const ParseStatus parsed =
      dirpick_parse(argc, argv, env_sys != nullptr ? env_sys : DIRPICK_DEFAULT_SYSNAME, &opts,
                    &bad_arg);
  if (parsed != PARSE_OK) report_parse_error(prog_name, parsed, bad_arg);

  static OutBuffer out{1, 0, 0, {}};
  const SearchStatus found = dirpick_search(&opts, &out);
  out_flush(&out);
  std::free(paths);
  if (found == SEARCH_NO_MEMORY) {
    std::fprintf(stderr, "%s: out of memory\n", prog_name);
    return 1;
  }
  // Output that did not reach its destination is not success.
  if (out.error != 0) {
    std::fprintf(stderr, "%s: write error: %s\n", prog_name, std::strerror(out.error));
    return 1;
  }
  return found == SEARCH_ALL_FOUND ? 0 : 1;
}
