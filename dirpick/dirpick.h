// dirpick: prints, for each package path, the directory where files of a
// given type for this machine live.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Convention bits: which directory layout a template implements, and which
// layouts a file type may be found under.
inline constexpr uint32_t DIR_ARCH = 0x001;      // "%p/arch/%s/%t"
inline constexpr uint32_t DIR_MACHTYPE = 0x002;  // "%p/%m%t"
inline constexpr uint32_t DIR_PLAIN = 0x004;     // "%p/%t"
inline constexpr uint32_t DIR_SYSNAME = 0x008;   // "%p/%s/%t"
// Mode bits: machine-dependent or machine-independent layout.
inline constexpr uint32_t DIR_MACHDEP = 0x100;
inline constexpr uint32_t DIR_MACHINDEP = 0x200;

inline constexpr std::size_t DIR_TEMPLATE_COUNT = 5;
inline constexpr std::size_t TYPE_RULE_COUNT = 6;

struct DirTemplate {
  const char* format;  // null: slot without a format (slot 0 unless -f)
  uint32_t flags;
};

struct TypeRule {
  const char* name;  // null in the catch-all entry that ends the table
  uint32_t conventions;
  uint32_t default_mode;
};

// Slot 0 carries no format of its own; the format of -f stands in for it
// (DirpickOptions::format), so the table itself never changes.
extern const DirTemplate dir_templates[DIR_TEMPLATE_COUNT];
extern const TypeRule type_rules[TYPE_RULE_COUNT];

inline constexpr const char* DIRPICK_DEFAULT_SYSNAME = "i386_linux1";
inline constexpr const char* DIRPICK_DEFAULT_MACHTYPE = "linux";

struct DirpickOptions {
  const char** paths;  // caller-owned room for one entry per argument word
  std::size_t path_count;
  const char* type;
  const char* recsep;
  const char* format;  // format of template slot 0, from -f
  const char* sysname;
  const char* machtype;
  uint32_t mode;  // 0, DIR_MACHDEP or DIR_MACHINDEP
  int t_count, e_count, c_count, l_count, d_count, i_count, s_count, m_count;
};

enum ParseStatus {
  PARSE_OK = 0,
  PARSE_USAGE,    // the usage text alone
  PARSE_UNKNOWN,  // "unknown option", then the usage text
  PARSE_ALREADY,  // "already specified", then the usage text
};

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, before
// anything else is opened; 0, or the errno of the failed open.
int guard_standard_fds();

// The program's name for messages: argv[0] behind its last '/'.
const char* prog_name_of(const char* argv0);

// Reads the command line (argv[1] .. argv[argc-1]) into *opts. The caller
// sets opts->paths to room for argc entries; sysname is the default or the
// value of CALYX_SYS. On an error *bad_arg names the offending argument
// (for PARSE_UNKNOWN and PARSE_ALREADY). Writes nothing and never exits, so
// that it can be driven from tests and fuzzers.
ParseStatus dirpick_parse(int argc, const char* const* argv, const char* sysname,
                          DirpickOptions* opts, const char** bad_arg);

// Writes the usage text to standard error and exits with status 1.
[[noreturn]] void print_usage(const char* prog_name);

// Reports a parse failure on standard error and exits with status 1.
[[noreturn]] void report_parse_error(const char* prog_name, ParseStatus status,
                                     const char* bad_arg);

// A growing character buffer: candidates of any length are expanded whole.
// `failed` is sticky: once an allocation fails, later appends do nothing.
struct Candidate {
  char* data;
  std::size_t len;
  std::size_t cap;
  bool failed;
};

bool candidate_append(Candidate* c, std::string_view s);
void candidate_free(Candidate* c);

inline constexpr int EXPAND_COMPLETE = 0;
inline constexpr int EXPAND_INCOMPLETE = 1;
inline constexpr int EXPAND_NO_MEMORY = -1;

// Expands a directory-name template into out (NUL-terminated). %p, %t, %s
// and %m stand for path, type, sysname and machtype; path and type may be
// null. Returns EXPAND_COMPLETE, EXPAND_INCOMPLETE (an escape had no value)
// or EXPAND_NO_MEMORY.
int expand_template(Candidate* out, std::string_view format, const char* path,
                    const char* type, const char* sysname, const char* machtype);

// The rule of a type word (null: no type); the catch-all entry when no
// named entry matches.
const TypeRule* find_type_rule(const char* type);

// Whether a template slot yields a candidate for this rule and these options.
bool template_passes(uint32_t flags, const TypeRule* rule, const DirpickOptions* opts);

// Buffered standard output with a sticky error: the first failed write
// keeps its errno and every later write does nothing.
struct OutBuffer {
  int fd;
  int error;  // 0, or the errno of the first failed write
  std::size_t len;
  char data[4096];
};

void out_put(OutBuffer* out, std::string_view s);
void out_flush(OutBuffer* out);

enum SearchStatus {
  SEARCH_ALL_FOUND = 0,    // every path printed something
  SEARCH_SOME_MISSING = 1, // at least one path printed nothing
  SEARCH_NO_MEMORY = 2,    // a candidate could not be expanded
};

// Searches every path, writes the chosen candidates to out (the caller
// flushes it) and returns the outcome.
SearchStatus dirpick_search(DirpickOptions* opts, OutBuffer* out);
