#include <cstring>

#include "dirpick/dirpick.h"

namespace {

bool starts_with_dash(const char* arg) { return arg[0] == '-'; }

// The simple form: "path [type]".
ParseStatus parse_simple(int argc, const char* const* argv, DirpickOptions* opts) {
  if (argc > 3) return PARSE_USAGE;
  opts->paths[opts->path_count++] = argv[1];
  if (argc == 3) {
    if (starts_with_dash(argv[2])) return PARSE_USAGE;
    opts->type = argv[2];
  } else {
    opts->type = "bin";
  }
  return PARSE_OK;
}

// Counts a flag option; refuses a second one.
ParseStatus count_once(int* count) {
  if (*count != 0) return PARSE_ALREADY;
  ++*count;
  return PARSE_OK;
}

}  // namespace

ParseStatus dirpick_parse(int argc, const char* const* argv, const char* sysname,
                          DirpickOptions* opts, const char** bad_arg) {
  const char** paths = opts->paths;
  *opts = DirpickOptions{};
  opts->paths = paths;
  opts->sysname = sysname;
  opts->machtype = DIRPICK_DEFAULT_MACHTYPE;
  *bad_arg = nullptr;
  if (argc < 2) return PARSE_USAGE;
  if (!starts_with_dash(argv[1])) return parse_simple(argc, argv, opts);

  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    *bad_arg = arg;
    // Letters are never combined and words are never joined to their
    // option: every option word is exactly '-' and one letter.
    if (arg[0] != '-' || arg[1] == '\0' || arg[2] != '\0') return PARSE_UNKNOWN;
    const bool has_next = i + 1 < argc;
    // The already-specified test comes before the option's argument is looked
    // at, so "-t x -t" is refused as a repeat, not as a missing argument.
    const char** value = nullptr;
    switch (arg[1]) {
      case 't':
        if (count_once(&opts->t_count) != PARSE_OK) return PARSE_ALREADY;
        value = &opts->type;
        break;
      case 's':
        if (count_once(&opts->s_count) != PARSE_OK) return PARSE_ALREADY;
        value = &opts->sysname;
        break;
      case 'm':
        if (count_once(&opts->m_count) != PARSE_OK) return PARSE_ALREADY;
        value = &opts->machtype;
        break;
      case 'r':
        if (opts->recsep != nullptr) return PARSE_ALREADY;
        value = &opts->recsep;
        break;
      case 'f':
        if (opts->format != nullptr) return PARSE_ALREADY;
        value = &opts->format;
        break;
      case 'p':
        if (opts->path_count != 0) return PARSE_ALREADY;
        if (!has_next) {
          *bad_arg = nullptr;
          return PARSE_USAGE;
        }
        // A path cannot begin with '-': the list stops at the next option.
        while (i + 1 < argc && !starts_with_dash(argv[i + 1])) {
          opts->paths[opts->path_count++] = argv[++i];
        }
        break;
      case 'e':
        if (count_once(&opts->e_count) != PARSE_OK) return PARSE_ALREADY;
        break;
      case 'c':
        if (count_once(&opts->c_count) != PARSE_OK) return PARSE_ALREADY;
        break;
      case 'l':
        if (count_once(&opts->l_count) != PARSE_OK) return PARSE_ALREADY;
        break;
      case 'd':
        if (count_once(&opts->d_count) != PARSE_OK) return PARSE_ALREADY;
        opts->mode = DIR_MACHDEP;
        break;
      case 'i':
        if (count_once(&opts->i_count) != PARSE_OK) return PARSE_ALREADY;
        opts->mode = DIR_MACHINDEP;
        break;
      default:
        return PARSE_UNKNOWN;
    }
    if (value != nullptr) {
      // The value is the next word whatever it is, even one beginning with '-'.
      if (!has_next) {
        *bad_arg = nullptr;
        return PARSE_USAGE;
      }
      *value = argv[++i];
    }
  }
  *bad_arg = nullptr;
  return PARSE_OK;
}
