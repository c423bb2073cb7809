#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dirpick/dirpick.h"

namespace {

struct Expansion {
  std::string text;
  int result;
};

Expansion expand(const std::string& format, const char* path, const char* type,
                 const char* sysname = "i386_linux1", const char* machtype = "linux") {
  Candidate c{};
  const int r = expand_template(&c, format, path, type, sysname, machtype);
  Expansion e{c.data != nullptr ? std::string(c.data, c.len) : "<null>", r};
  // The buffer is NUL-terminated at its length, whatever the content.
  if (c.data != nullptr) {
    EXPECT_EQ(c.data[c.len], '\0');
  }
  candidate_free(&c);
  return e;
}

TEST(ExpandTemplate, EscapesAndAbsentValues) {
  struct Case {
    const char* format;
    const char* path;
    const char* type;
    const char* want;
    int result;
  } cases[] = {
      {"%p/arch/%s/%t", "/usr/pkg", "bin", "/usr/pkg/arch/i386_linux1/bin", 0},
      {"%p/%s/%t", "/usr/pkg", "bin", "/usr/pkg/i386_linux1/bin", 0},
      {"%p/%m%t", "/usr/pkg", "bin", "/usr/pkg/linuxbin", 0},
      {"%p/%t", "/usr/pkg", "bin", "/usr/pkg/bin", 0},
      // Absent values keep the escape as written and mark the result.
      {"%p/%t", nullptr, "bin", "%p/bin", 1},
      {"%p/%t", "/a", nullptr, "/a/%t", 1},
      {"%p/%m%t", nullptr, nullptr, "%p/linux%t", 1},
      {"/fixed/dir", nullptr, nullptr, "/fixed/dir", 0},
      // Unknown escapes and %% stay; the second character is consumed.
      {"%%", "/a", "b", "%%", 0},
      {"%x%y", "/a", "b", "%x%y", 0},
      {"%%p", "/a", "b", "%%p", 0},
      {"%%%p", "/a", "b", "%%/a", 0},
      // A trailing '%' is dropped.
      {"%p/%", "/a", "b", "/a/", 0},
      {"%", "/a", "b", "", 0},
      {"%%%", "/a", "b", "%%", 0},
      {"", "/a", "b", "", 0},
      // Values are never scanned again for escapes.
      {"%p", "/x%t%", "bin", "/x%t%", 0},
      {"%t%p", "%p", "%s", "%s%p", 0},
      // Escapes are case-sensitive.
      {"%P%T", "/a", "b", "%P%T", 0},
      {"%s-%m", nullptr, nullptr, "i386_linux1-linux", 0},
  };
  for (const Case& c : cases) {
    const Expansion e = expand(c.format, c.path, c.type);
    EXPECT_EQ(e.text, c.want) << "format " << c.format;
    EXPECT_EQ(e.result, c.result) << "format " << c.format;
  }
}

TEST(ExpandTemplate, LongValuesAreExpandedWhole) {
  // Well past the 1024 bytes of the first block, and across several doublings.
  for (std::size_t n : {1022u, 1023u, 1024u, 1025u, 5000u, 100000u}) {
    const std::string path(n, 'p');
    const std::string type(n / 3 + 1, 't');
    const Expansion e = expand("%p/%s/%t", path.c_str(), type.c_str());
    EXPECT_EQ(e.text, path + "/i386_linux1/" + type) << n;
    EXPECT_EQ(e.result, 0);
  }
}

TEST(ExpandTemplate, BufferReusedAcrossCandidates) {
  // One buffer serves every candidate: a short one after a long one must not
  // keep any of the long one's tail.
  Candidate c{};
  const std::string longpath(3000, 'a');
  ASSERT_EQ(expand_template(&c, "%p/%t", longpath.c_str(), "bin", "s", "m"), 0);
  ASSERT_EQ(expand_template(&c, "%p/%t", "/b", "lib", "s", "m"), 0);
  EXPECT_STREQ(c.data, "/b/lib");
  EXPECT_EQ(c.len, 6u);
  ASSERT_EQ(expand_template(&c, "", "/b", "lib", "s", "m"), 0);
  EXPECT_STREQ(c.data, "");
  candidate_free(&c);
}

TEST(ExpandTemplate, EveryPrefixOfAFormatExpandsCleanly) {
  // Cutting a format at every length (a string_view, not NUL-terminated)
  // must never read past its end: each prefix expands as that prefix alone.
  // Each prefix with what it expands to, written out by hand (a '%' cut
  // off at the end is dropped; %t has no value here, which marks the result).
  const std::string format = "%p/%%x%s%t%m%";
  const Expansion want[] = {
      {"", 0},         {"", 0},          {"P", 0},         {"P/", 0},        {"P/", 0},
      {"P/%%", 0},     {"P/%%x", 0},     {"P/%%x", 0},     {"P/%%xS", 0},    {"P/%%xS", 0},
      {"P/%%xS%t", 1}, {"P/%%xS%t", 1},  {"P/%%xS%tM", 1}, {"P/%%xS%tM", 1},
  };
  ASSERT_EQ(std::size(want), format.size() + 1);
  for (std::size_t n = 0; n <= format.size(); ++n) {
    Candidate c{};
    const int r = expand_template(&c, std::string_view(format.data(), n), "P", nullptr, "S", "M");
    ASSERT_NE(c.data, nullptr) << n;
    EXPECT_EQ(std::string(c.data, c.len), want[n].text) << n;
    EXPECT_EQ(r, want[n].result) << n;
    candidate_free(&c);
  }
}

TEST(TypeRules, LookupByExactName) {
  struct Case {
    const char* type;
    std::size_t entry;
  } cases[] = {
      {"bin", 0}, {"lib", 1}, {"etc", 2}, {"man", 3}, {"include", 4},
      {nullptr, 5}, {"doc", 5}, {"BIN", 5}, {"bin ", 5}, {"bi", 5}, {"", 5}, {"includes", 5},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(find_type_rule(c.type), &type_rules[c.entry]) << (c.type ? c.type : "(none)");
  }
}

// The slots that pass the filter for each type and option set, in order.
std::string passing_slots(const char* type, const char* flags, bool with_format) {
  DirpickOptions opts{};
  for (const char* f = flags; *f != '\0'; ++f) {
    switch (*f) {
      case 'e': opts.e_count = 1; break;
      case 'c': opts.c_count = 1; break;
      case 'd': opts.d_count = 1; opts.mode = DIR_MACHDEP; break;
      case 'i': opts.i_count = 1; opts.mode = DIR_MACHINDEP; break;
    }
  }
  const TypeRule* rule = find_type_rule(type);
  if (opts.mode == 0) opts.mode = rule->default_mode;
  std::string slots;
  for (std::size_t s = 0; s < DIR_TEMPLATE_COUNT; ++s) {
    if (s == 0 && !with_format) continue;
    if (template_passes(dir_templates[s].flags, rule, &opts)) slots += char('0' + s);
  }
  return slots;
}

TEST(TemplateFilter, SlotsPassingForTypeAndOptions) {
  struct Case {
    const char* type;
    const char* none; const char* c; const char* cd; const char* ci; const char* e;
    const char* ec;
  } cases[] = {
      {"bin", "123", "123", "123", "4", "1234", "123"},
      {"lib", "123", "123", "123", "4", "1234", "123"},
      {"etc", "123", "123", "123", "4", "1234", "123"},
      {"man", "14", "4", "123", "4", "1234", "4"},
      {"include", "14", "4", "123", "4", "1234", "4"},
      {"doc", "14", "1", "123", "4", "1234", "123"},
      {nullptr, "14", "1", "123", "4", "1234", "123"},
  };
  for (const Case& c : cases) {
    const char* t = c.type ? c.type : "(none)";
    const std::pair<const char*, const char*> columns[] = {
        {"", c.none}, {"c", c.c}, {"cd", c.cd}, {"ci", c.ci}, {"e", c.e}, {"ec", c.ec},
        // -d and -i change nothing without -c.
        {"d", c.none}, {"i", c.none}, {"di", c.none}, {"ed", c.e}, {"ei", c.e},
    };
    for (const auto& [flags, want] : columns) {
      EXPECT_EQ(passing_slots(c.type, flags, false), want) << t << " -" << flags;
      // A user format passes every test, ahead of the table's templates.
      EXPECT_EQ(passing_slots(c.type, flags, true), std::string("0") + want) << t << " -" << flags;
    }
  }
}

TEST(ProgName, LastPathComponent) {
  struct Case {
    const char* argv0;
    const char* want;
  } cases[] = {
      {"dirpick", "dirpick"}, {"/usr/local/bin/dirpick", "dirpick"}, {"./dp", "dp"},
      {"a/b/c", "c"}, {"", "dirpick"}, {nullptr, "dirpick"}, {"/usr/bin/", "dirpick"},
  };
  for (const Case& c : cases) EXPECT_STREQ(prog_name_of(c.argv0), c.want);
}

struct Parsed {
  ParseStatus status;
  std::string bad;
  DirpickOptions opts;
  std::vector<std::string> paths;
};

Parsed parse(std::vector<const char*> args, const char* sysname = "i386_linux1") {
  args.insert(args.begin(), "dirpick");
  std::vector<const char*> room(args.size(), nullptr);
  Parsed p{};
  p.opts.paths = room.data();
  const char* bad = nullptr;
  p.status = dirpick_parse(static_cast<int>(args.size()), args.data(), sysname, &p.opts, &bad);
  if (bad != nullptr) p.bad = bad;
  EXPECT_LE(p.opts.path_count, args.size());
  for (std::size_t i = 0; i < p.opts.path_count; ++i) p.paths.emplace_back(room[i]);
  p.opts.paths = nullptr;
  return p;
}

std::string str(const char* s) { return s != nullptr ? s : "(absent)"; }

TEST(Parse, Errors) {
  struct Case {
    std::vector<const char*> args;
    ParseStatus status;
    const char* bad;  // the argument named in the message
  } cases[] = {
      {{}, PARSE_USAGE, ""},
      {{"/pkg", "-l"}, PARSE_USAGE, ""},
      {{"/pkg", "lib", "x"}, PARSE_USAGE, ""},
      {{"-t", "lib", "-t", "bin"}, PARSE_ALREADY, "-t"},
      {{"-t", "lib", "-t"}, PARSE_ALREADY, "-t"},  // the repeat is caught before the argument
      {{"-p", "/a", "-p", "/b"}, PARSE_ALREADY, "-p"},
      {{"-p", "/a", "-p"}, PARSE_ALREADY, "-p"},
      {{"-d", "-d"}, PARSE_ALREADY, "-d"},
      {{"-i", "-d", "-i"}, PARSE_ALREADY, "-i"},
      {{"-e", "-e"}, PARSE_ALREADY, "-e"},
      {{"-c", "-l", "-c"}, PARSE_ALREADY, "-c"},
      {{"-l", "-l"}, PARSE_ALREADY, "-l"},
      {{"-r", ":", "-r", ";"}, PARSE_ALREADY, "-r"},
      {{"-f", "%p", "-f", "%t"}, PARSE_ALREADY, "-f"},
      {{"-f", "", "-f", "%t"}, PARSE_ALREADY, "-f"},  // an empty format is a format
      {{"-s", "a", "-s", "b"}, PARSE_ALREADY, "-s"},
      {{"-m", "a", "-m", "b"}, PARSE_ALREADY, "-m"},
      {{"-t", "lib", "/usr/pkg"}, PARSE_UNKNOWN, "/usr/pkg"},
      {{"-tlib"}, PARSE_UNKNOWN, "-tlib"},
      {{"--"}, PARSE_UNKNOWN, "--"},
      {{"-"}, PARSE_UNKNOWN, "-"},
      {{"-x"}, PARSE_UNKNOWN, "-x"},
      {{"-lc"}, PARSE_UNKNOWN, "-lc"},
      {{"-l", ""}, PARSE_UNKNOWN, ""},
      {{"-T", "bin"}, PARSE_UNKNOWN, "-T"},
      {{"-t"}, PARSE_USAGE, ""},
      {{"-l", "-r"}, PARSE_USAGE, ""},
      {{"-f"}, PARSE_USAGE, ""},
      {{"-s"}, PARSE_USAGE, ""},
      {{"-m"}, PARSE_USAGE, ""},
      {{"-p"}, PARSE_USAGE, ""},
      {{"-t", "bin", "-p"}, PARSE_USAGE, ""},
  };
  for (const Case& c : cases) {
    const Parsed p = parse(c.args);
    std::string line;
    for (const char* a : c.args) line += std::string(a) + " ";
    EXPECT_EQ(p.status, c.status) << line;
    EXPECT_EQ(p.bad, c.bad) << line;
  }
}

TEST(Parse, AcceptedSettings) {
  struct Case {
    std::vector<const char*> args;
    std::vector<std::string> paths;
    const char* type;
    uint32_t mode;
    const char* recsep;
    const char* format;
    const char* sysname;
    const char* machtype;
    const char* counts;  // letters of the counted options seen
  } cases[] = {
      {{"/pkg"}, {"/pkg"}, "bin", 0, nullptr, nullptr, "i386_linux1", "linux", ""},
      {{"/pkg", "man"}, {"/pkg"}, "man", 0, nullptr, nullptr, "i386_linux1", "linux", ""},
      {{""}, {""}, "bin", 0, nullptr, nullptr, "i386_linux1", "linux", ""},
      {{"-p", "/a", "/b", "-t", "lib"}, {"/a", "/b"}, "lib", 0, nullptr, nullptr, "i386_linux1",
       "linux", "t"},
      {{"-p", "-l", "-p", "/b"}, {"/b"}, nullptr, 0, nullptr, nullptr, "i386_linux1", "linux", "l"},
      {{"-p", "/a", "/b"}, {"/a", "/b"}, nullptr, 0, nullptr, nullptr, "i386_linux1", "linux", ""},
      {{"-t", "-l"}, {}, "-l", 0, nullptr, nullptr, "i386_linux1", "linux", "t"},
      {{"-d", "-i"}, {}, nullptr, DIR_MACHINDEP, nullptr, nullptr, "i386_linux1", "linux", "di"},
      {{"-i", "-d"}, {}, nullptr, DIR_MACHDEP, nullptr, nullptr, "i386_linux1", "linux", "di"},
      {{"-r", "-p", "-f", "-s", "-s", "-m", "-m", "-f"}, {}, nullptr, 0, "-p", "-s", "-m", "-f",
       "sm"},
      {{"-e", "-c", "-l", "-r", ""}, {}, nullptr, 0, "", nullptr, "i386_linux1", "linux", "ecl"},
      {{"-f", "", "-s", "sys", "-m", "mt"}, {}, nullptr, 0, nullptr, "", "sys", "mt", "sm"},
  };
  for (const Case& c : cases) {
    const Parsed p = parse(c.args);
    std::string line;
    for (const char* a : c.args) line += std::string(a) + " ";
    ASSERT_EQ(p.status, PARSE_OK) << line;
    EXPECT_EQ(p.paths, c.paths) << line;
    EXPECT_EQ(str(p.opts.type), str(c.type)) << line;
    EXPECT_EQ(p.opts.mode, c.mode) << line;
    EXPECT_EQ(str(p.opts.recsep), str(c.recsep)) << line;
    EXPECT_EQ(str(p.opts.format), str(c.format)) << line;
    EXPECT_EQ(str(p.opts.sysname), str(c.sysname)) << line;
    EXPECT_EQ(str(p.opts.machtype), str(c.machtype)) << line;
    std::string counts;
    if (p.opts.d_count) counts += 'd';
    if (p.opts.i_count) counts += 'i';
    if (p.opts.e_count) counts += 'e';
    if (p.opts.c_count) counts += 'c';
    if (p.opts.l_count) counts += 'l';
    if (p.opts.t_count) counts += 't';
    if (p.opts.s_count) counts += 's';
    if (p.opts.m_count) counts += 'm';
    EXPECT_EQ(counts, c.counts) << line;
  }
}

TEST(Parse, SysnameFromEnvironmentYieldsToOption) {
  EXPECT_STREQ(parse({"/pkg"}, "envsys").opts.sysname, "envsys");
  EXPECT_STREQ(parse({"-t", "bin"}, "").opts.sysname, "");
  EXPECT_STREQ(parse({"-s", "opt", "-t", "bin"}, "envsys").opts.sysname, "opt");
  EXPECT_STREQ(parse({"-t", "bin", "-s", "opt"}, "envsys").opts.sysname, "opt");
}

}  // namespace
