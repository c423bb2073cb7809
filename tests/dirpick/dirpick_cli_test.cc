// Runs the built program in a fresh directory tree per case and compares
// standard output, standard error and exit status byte for byte.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

const std::string USAGE =
    "usage: dirpick path [type]\n"
    "   or: dirpick [-t type] [-p path ...] [-e] [-c] [-l] [-d | -i]\n"
    "       [-r recsep] [-f format] [-s sysname] [-m machtype]\n";

struct Result {
  std::string out;
  std::string err;
  int status;
};

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Creates dir/rel and its parents; a name beginning with "f:" is an
// ordinary file, anything else a directory.
void make_entry(const std::string& dir, std::string rel) {
  bool file = rel.rfind("f:", 0) == 0;
  if (file) rel = rel.substr(2);
  std::string path = dir;
  std::size_t pos = 0;
  while (pos <= rel.size()) {
    std::size_t slash = rel.find('/', pos);
    if (slash == std::string::npos) slash = rel.size();
    path += '/';
    path.append(rel, pos, slash - pos);
    const bool last = slash == rel.size();
    if (last && file) {
      int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
      ASSERT_GE(fd, 0) << path;
      ::close(fd);
    } else {
      ASSERT_TRUE(::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) << path;
    }
    pos = slash + 1;
  }
}

class TempTree {
 public:
  TempTree() {
    char tmpl[] = "/tmp/dirpick-cli-XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    EXPECT_NE(d, nullptr);
    dir_ = d != nullptr ? d : "/nonexistent";
  }
  ~TempTree() {
    const std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup of " << dir_;
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// Runs the program with argv exactly as given (argv[0] included, so an empty
// vector starts it with no arguments at all) inside dir, with CALYX_SYS set
// to calyx_sys or removed, and standard output sent to stdout_path (a file
// in dir by default).
Result run(const std::string& dir, const std::vector<std::string>& argv,
           const char* calyx_sys = nullptr, const char* stdout_path = nullptr,
           const std::vector<std::string>& extra_env = {}) {
  std::vector<std::string> env_store;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "CALYX_SYS=", 10) != 0) env_store.emplace_back(*e);
  }
  if (calyx_sys != nullptr) env_store.push_back(std::string("CALYX_SYS=") + calyx_sys);
  env_store.insert(env_store.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> envp;
  for (std::string& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_store = argv;
  std::vector<char*> args;
  for (std::string& a : arg_store) args.push_back(a.data());
  args.push_back(nullptr);

  const std::string out_file = dir + "/.stdout", err_file = dir + "/.stderr";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  posix_spawn_file_actions_addopen(&fa, 1, stdout_path ? stdout_path : out_file.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  const int rc = posix_spawn(&pid, DIRPICK_BINARY, &fa, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    ADD_FAILURE() << "posix_spawn: " << std::strerror(rc);
    return {"", "", -1};
  }
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  Result r;
  r.out = stdout_path ? "" : read_file(out_file);
  r.err = read_file(err_file);
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  ::unlink(out_file.c_str());
  ::unlink(err_file.c_str());
  return r;
}

struct Case {
  std::vector<std::string> tree;  // entries made before the run
  std::vector<std::string> args;  // after argv[0] "dirpick"
  const char* calyx_sys;          // null: unset
  std::string out;
  std::string err;
  int status;
};

void run_table(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    TempTree t;
    for (const std::string& e : c.tree) make_entry(t.dir(), e);
    std::vector<std::string> argv{"dirpick"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Result r = run(t.dir(), argv, c.calyx_sys);
    std::string line;
    for (const std::string& a : c.args) line += "'" + a + "' ";
    EXPECT_EQ(r.out, c.out) << line;
    EXPECT_EQ(r.err, c.err) << line;
    EXPECT_EQ(r.status, c.status) << line;
  }
}

TEST(DirpickCli, SimpleForm) {
  run_table({
      {{"pkg/linuxbin", "pkg/bin"}, {"pkg"}, nullptr, "pkg/linuxbin\n", "", 0},
      // The plain layout is never tried for bin.
      {{"pkg/bin"}, {"pkg"}, nullptr, "", "", 1},
      {{"pkg/bin"}, {"pkg", "bin"}, nullptr, "", "", 1},
      {{"pkg/linuxbin", "pkg/i386_linux1/bin", "pkg/arch/i386_linux1/bin"}, {"pkg"}, nullptr,
       "pkg/arch/i386_linux1/bin\n", "", 0},
      {{"pkg/linuxbin", "pkg/i386_linux1/bin"}, {"pkg"}, nullptr, "pkg/i386_linux1/bin\n", "", 0},
      {{"pkg/man", "pkg/linuxman"}, {"pkg", "man"}, nullptr, "pkg/man\n", "", 0},
      {{"pkg/man", "pkg/arch/i386_linux1/man"}, {"pkg", "man"}, nullptr,
       "pkg/arch/i386_linux1/man\n", "", 0},
      {{"pkg/include"}, {"pkg", "include"}, nullptr, "pkg/include\n", "", 0},
      {{"pkg/linuxlib"}, {"pkg", "lib"}, nullptr, "pkg/linuxlib\n", "", 0},
      {{"pkg/i386_linux1/etc"}, {"pkg", "etc"}, nullptr, "pkg/i386_linux1/etc\n", "", 0},
      // An unknown type, or a known one spelt otherwise, goes by the catch-all.
      {{"pkg/BIN", "pkg/linuxBIN"}, {"pkg", "BIN"}, nullptr, "pkg/BIN\n", "", 0},
      {{"pkg/doc"}, {"pkg", "doc"}, nullptr, "pkg/doc\n", "", 0},
      // An ordinary file counts as found.
      {{"f:pkg/linuxbin"}, {"pkg"}, nullptr, "pkg/linuxbin\n", "", 0},
      {{}, {"pkg"}, nullptr, "", "", 1},
      {{"sun4/bin"}, {"."}, "sun4", "./sun4/bin\n", "", 0},
      {{"arch/bin"}, {"."}, "", "./arch//bin\n", "", 0},  // empty CALYX_SYS counts as set
      // A '%' in a path is not an escape.
      {{"p%t/linuxbin"}, {"p%t"}, nullptr, "p%t/linuxbin\n", "", 0},
  });
}

TEST(DirpickCli, CommandLineErrors) {
  run_table({
      {{}, {}, nullptr, "", USAGE, 1},
      {{"pkg/linuxbin"}, {"pkg", "-l"}, nullptr, "", USAGE, 1},
      {{"pkg/linuxbin"}, {"pkg", "lib", "x"}, nullptr, "", USAGE, 1},
      {{}, {"-t", "lib", "-t", "bin"}, nullptr, "", "dirpick: -t already specified.\n" + USAGE, 1},
      {{}, {"-p", "/a", "-p", "/b"}, nullptr, "", "dirpick: -p already specified.\n" + USAGE, 1},
      {{}, {"-d", "-d"}, nullptr, "", "dirpick: -d already specified.\n" + USAGE, 1},
      {{}, {"-r", ":", "-r", ";"}, nullptr, "", "dirpick: -r already specified.\n" + USAGE, 1},
      {{}, {"-f", "%p", "-f", "%t"}, nullptr, "", "dirpick: -f already specified.\n" + USAGE, 1},
      {{}, {"-t", "lib", "/usr/pkg"}, nullptr, "", "dirpick: unknown option: /usr/pkg\n" + USAGE, 1},
      {{}, {"-tlib"}, nullptr, "", "dirpick: unknown option: -tlib\n" + USAGE, 1},
      {{}, {"--"}, nullptr, "", "dirpick: unknown option: --\n" + USAGE, 1},
      {{}, {"-x"}, nullptr, "", "dirpick: unknown option: -x\n" + USAGE, 1},
      {{}, {"-lc"}, nullptr, "", "dirpick: unknown option: -lc\n" + USAGE, 1},
      // A message names the argument as typed, '%' and all.
      {{}, {"-%s%n"}, nullptr, "", "dirpick: unknown option: -%s%n\n" + USAGE, 1},
      {{}, {"-t"}, nullptr, "", USAGE, 1},
      {{}, {"-l", "-f"}, nullptr, "", USAGE, 1},
      {{}, {"-p"}, nullptr, "", USAGE, 1},
      // Nothing reaches standard output before an error found late in the line.
      {{"pkg/linuxbin"}, {"-l", "-p", "pkg", "-t", "bin", "-x"}, nullptr, "",
       "dirpick: unknown option: -x\n" + USAGE, 1},
  });
}

TEST(DirpickCli, OptionForm) {
  run_table({
      {{}, {"-l", "-t", "bin"}, nullptr,
       "%p/arch/i386_linux1/bin\n%p/i386_linux1/bin\n%p/linuxbin\n", "", 0},
      {{"%p/linuxbin"}, {"-t", "bin"}, nullptr, "", "", 1},  // incomplete: never looked up
      {{}, {"-l", "-c", "-t", "bin"}, nullptr, "%p/arch/i386_linux1/bin\n", "", 0},
      {{}, {"-l"}, nullptr, "%p/arch/i386_linux1/%t\n%p/%t\n", "", 0},
      {{"pkg/%t"}, {"-p", "pkg"}, nullptr, "", "", 1},
      {{}, {"-c", "-p", "/usr/pkg", "-t", "man"}, nullptr, "/usr/pkg/man\n", "", 0},
      {{}, {"-c", "-p", "/usr/pkg", "-t", "doc"}, nullptr, "/usr/pkg/arch/i386_linux1/doc\n", "", 0},
      {{}, {"-c", "-i", "-p", "/usr/pkg", "-t", "bin"}, nullptr, "/usr/pkg/bin\n", "", 0},
      {{}, {"-c", "-d", "-p", "/usr/pkg", "-t", "man"}, nullptr,
       "/usr/pkg/arch/i386_linux1/man\n", "", 0},
      {{}, {"-c", "-p", "/a", "/b", "-t", "bin", "-r", ":"}, nullptr,
       "/a/arch/i386_linux1/bin:/b/arch/i386_linux1/bin\n", "", 0},
      {{}, {"-l", "-r", ":", "-p", "/a", "/b", "-t", "man"}, nullptr,
       "/a/arch/i386_linux1/man:/a/man:/b/arch/i386_linux1/man:/b/man\n", "", 0},
      {{}, {"-l", "-r", "", "-p", "/a", "-t", "man"}, nullptr,
       "/a/arch/i386_linux1/man/a/man\n", "", 0},
      {{}, {"-l", "-r", "%s%n", "-p", "/a", "-t", "man"}, nullptr,
       "/a/arch/i386_linux1/man%s%n/a/man\n", "", 0},
      {{"pkg/linuxbin"}, {"-p", "pkg", "none", "-t", "bin"}, nullptr, "pkg/linuxbin\n", "", 1},
      {{"pkg/linuxbin"}, {"-p", "none", "pkg", "-t", "bin"}, nullptr, "pkg/linuxbin\n", "", 1},
      {{"a/linuxbin", "b/i386_linux1/bin"}, {"-r", ":", "-p", "a", "b", "-t", "bin"}, nullptr,
       "a/linuxbin:b/i386_linux1/bin\n", "", 0},
      // -d and -i alone change nothing.
      {{"pkg/linuxbin", "pkg/bin"}, {"-i", "-p", "pkg", "-t", "bin"}, nullptr, "pkg/linuxbin\n",
       "", 0},
      {{"pkg/arch/i386_linux1/man", "pkg/man"}, {"-d", "-p", "pkg", "-t", "man"}, nullptr,
       "pkg/arch/i386_linux1/man\n", "", 0},
      {{"pkg/bin"}, {"-e", "-p", "pkg", "-t", "bin"}, nullptr, "pkg/bin\n", "", 0},
      {{"pkg/i386_linux1/man"}, {"-e", "-p", "pkg", "-t", "man"}, nullptr,
       "pkg/i386_linux1/man\n", "", 0},
      {{}, {"-e", "-c", "-p", "/q", "-t", "man"}, nullptr, "/q/man\n", "", 0},
      {{}, {"-p", "-l", "-p", "/b", "-c", "-t", "lib"}, nullptr, "/b/arch/i386_linux1/lib\n", "",
       0},
      {{}, {"-c", "-t", "-l", "-p", "/q"}, nullptr, "/q/arch/i386_linux1/-l\n", "", 0},
  });
}

TEST(DirpickCli, UserFormatAndNames) {
  run_table({
      {{"pkg/share/bin", "pkg/linuxbin"}, {"-f", "%p/share/%t", "-p", "pkg", "-t", "bin"}, nullptr,
       "pkg/share/bin\n", "", 0},
      {{}, {"-c", "-i", "-f", "%p/share/%t", "-p", "/q", "-t", "bin"}, nullptr, "/q/share/bin\n",
       "", 0},
      {{}, {"-l", "-e", "-f", "%p/share/%t", "-p", "/q", "-t", "doc"}, nullptr,
       "/q/share/doc\n/q/arch/i386_linux1/doc\n/q/i386_linux1/doc\n/q/linuxdoc\n/q/doc\n", "", 0},
      {{}, {"-c", "-f", "", "-t", "x"}, nullptr, "\n", "", 0},
      {{}, {"-f", "", "-t", "x"}, nullptr, "", "", 1},
      {{}, {"-l", "-f", "", "-p", "/q", "-t", "man"}, nullptr,
       "\n/q/arch/i386_linux1/man\n/q/man\n", "", 0},
      {{}, {"-c", "-f", "/x%", "-t", "x"}, nullptr, "/x\n", "", 0},
      {{}, {"-c", "-f", "%x%%p%", "-t", "x"}, nullptr, "%x%%p\n", "", 0},
      {{}, {"-c", "-p", "/q", "-t", "bin", "-s", "hp"}, "sun4", "/q/arch/hp/bin\n", "", 0},
      {{}, {"-s", "hp", "-c", "-p", "/q", "-t", "bin"}, "sun4", "/q/arch/hp/bin\n", "", 0},
      {{}, {"-c", "-p", "/q", "-t", "bin"}, "sun4", "/q/arch/sun4/bin\n", "", 0},
      {{}, {"-l", "-m", "sgi", "-p", "/q"}, nullptr, "/q/arch/i386_linux1/%t\n/q/%t\n", "", 0},
      {{}, {"-l", "-m", "sgi", "-s", "irix", "-p", "/q", "-t", "lib"}, "sun4",
       "/q/arch/irix/lib\n/q/irix/lib\n/q/sgilib\n", "", 0},
  });
}

TEST(DirpickCli, ProgramNameFromInvocation) {
  TempTree t;
  const struct {
    std::vector<std::string> argv;
    std::string name;
  } cases[] = {
      {{"/usr/local/bin/dirpick", "-x"}, "dirpick"},
      {{"./tools/dp", "-x"}, "dp"},
      {{"", "-x"}, "dirpick"},
  };
  for (const auto& c : cases) {
    const std::string usage = "usage: " + c.name + " path [type]\n   or: " + c.name +
                              " [-t type] [-p path ...] [-e] [-c] [-l] [-d | -i]\n"
                              "       [-r recsep] [-f format] [-s sysname] [-m machtype]\n";
    const Result r = run(t.dir(), c.argv);
    EXPECT_EQ(r.err, c.name + ": unknown option: -x\n" + usage) << c.argv[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
  // Started with an empty argument vector (no argv[0] at all).
  const Result r = run(t.dir(), {});
  EXPECT_EQ(r.err, USAGE);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 1);
}

TEST(DirpickCli, WriteErrorIsReported) {
  TempTree t;
  make_entry(t.dir(), "pkg/linuxbin");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"dirpick", "pkg"},
        std::vector<std::string>{"dirpick", "-l", "-p", "/a", "/b", "-t", "man"}}) {
    const Result r = run(t.dir(), args, nullptr, "/dev/full");
    EXPECT_EQ(r.err, "dirpick: write error: " + std::string(std::strerror(ENOSPC)) + "\n");
    EXPECT_EQ(r.status, 1);
  }
  // Nothing to write: no write, so no error, and the status says why.
  const Result r = run(t.dir(), {"dirpick", "none"}, nullptr, "/dev/full");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
}

TEST(DirpickCli, LongCandidatesAreWhole) {
  TempTree t;
  // A path far beyond 1023 characters that exists on disk (relative, so the
  // whole name stays within what the kernel accepts).
  std::string deep = "pkg";
  for (int i = 0; i < 8; ++i) deep += "/" + std::string(200, char('a' + i));
  make_entry(t.dir(), deep + "/linuxbin");
  Result r = run(t.dir(), {"dirpick", deep});
  EXPECT_EQ(r.out, deep + "/linuxbin\n");
  EXPECT_EQ(r.status, 0);

  // Without a look at the disk any length is printed whole, and a name too
  // long for the kernel is simply not found.
  const std::string huge = "/" + std::string(20000, 'h');
  r = run(t.dir(), {"dirpick", "-c", "-p", huge, "-t", "bin", "-r", ":"});
  EXPECT_EQ(r.out, huge + "/arch/i386_linux1/bin\n");
  EXPECT_EQ(r.status, 0);
  r = run(t.dir(), {"dirpick", huge});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 1);
}

TEST(DirpickCli, AllocationFailureIsReported) {
#ifdef DIRPICK_SANITIZED
  GTEST_SKIP() << "allocation failures are injected by preloading, which sanitizers forbid";
#else
  TempTree t;
  make_entry(t.dir(), "pkg/linuxbin");
  const std::string preload = std::string("LD_PRELOAD=") + DIRPICK_FAIL_ALLOC_SHIM;
  const std::string long_path = "/" + std::string(3000, 'q');
  const struct {
    std::vector<std::string> argv;
    std::string fail;
    std::string out;
  } cases[] = {
      // No room for the path list.
      {{"dirpick", "pkg"}, "FAIL_CALLOC=1", ""},
      // A candidate that outgrows its first block; the candidates printed
      // before it still reach standard output, ended as a whole run is.
      {{"dirpick", "-c", "-p", "/a", long_path, "-t", "bin"}, "FAIL_REALLOC_ABOVE=2048",
       "/a/arch/i386_linux1/bin\n"},
  };
  for (const auto& c : cases) {
    const Result r = run(t.dir(), c.argv, nullptr, nullptr, {preload, c.fail});
    EXPECT_EQ(r.out, c.out) << c.fail;
    EXPECT_EQ(r.err, "dirpick: out of memory\n") << c.fail;
    EXPECT_EQ(r.status, 1) << c.fail;
  }
  // The shim itself lets ordinary runs through.
  const Result r = run(t.dir(), {"dirpick", "-c", "-p", long_path, "-t", "bin"}, nullptr, nullptr,
                       {preload, "FAIL_REALLOC_ABOVE=8192"});
  EXPECT_EQ(r.out, long_path + "/arch/i386_linux1/bin\n");
  EXPECT_EQ(r.status, 0);
#endif
}

}  // namespace
