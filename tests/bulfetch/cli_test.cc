// The built program's command line: the usage line and status 1 for every
// refused vector, before any lookup is made.
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string drain(int fd)
{
    std::string s;
    char buf[1024];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<std::size_t>(n));
    return s;
}

// Runs the program with exactly this argument vector (possibly empty).
Outcome run(const std::vector<std::string> &args)
{
    int out[2], err[2];
    Outcome o;
    if (pipe(out) != 0 || pipe(err) != 0)
        return o;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        char *envp[] = {nullptr};
        execve(BULFETCH_PROGRAM, argv.data(), envp);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    o.out = drain(out[0]);
    o.err = drain(err[0]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return o;
}

std::string usage(const std::string &program, const std::string &offending)
{
    return program + " <" + offending + ">: Usage: " + program + " [-vane|-v] [-new|-n]\n";
}

TEST(BulfetchCommandLine, RefusedVectors)
{
    const std::string p = "bulfetch";
    const std::string path = BULFETCH_PROGRAM;
    struct Case {
        std::vector<std::string> argv;
        std::string err;
    } cases[] = {
        {{p, "-x"}, usage(p, "-x")},
        {{p, "-n", "-x"}, usage(p, "-x")},
        {{p, "-x", "-n"}, usage(p, "-x")},
        {{p, "-new", "-vane", "-login"}, usage(p, "too many arguments")},
        {{p, "-n", "-n", "-n"}, usage(p, "too many arguments")},
        {{p, "-x", "-y", "-z", "-w"}, usage(p, "too many arguments")},
        {{p, ""}, usage(p, "")},
        {{p, "-"}, usage(p, "-")},
        {{p, "--new"}, usage(p, "--new")},
        {{p, "-ne"}, usage(p, "-ne")},
        {{p, "-newer"}, usage(p, "-newer")},
        {{p, "-N"}, usage(p, "-N")},
        {{p, "-V"}, usage(p, "-V")},
        {{p, "-LOGIN"}, usage(p, "-LOGIN")},
        {{p, "-l", "-vl"}, usage(p, "-vl")},
        {{p, "%s%n"}, usage(p, "%s%n")},  // never a format
        {{path, "-x"}, usage(path, "-x")},  // the name as invoked, path and all
        {{"other name", "-x"}, usage("other name", "-x")},
        // -quick counts like every option word, and is matched whole.
        {{p, "-quick", "-new", "-login"}, usage(p, "too many arguments")},
        {{p, "-q", "-q", "-q"}, usage(p, "too many arguments")},
        {{p, "-quick", "-x"}, usage(p, "-x")},
        {{p, "-quic"}, usage(p, "-quic")},
        {{p, "-quickly"}, usage(p, "-quickly")},
        {{p, "--quick"}, usage(p, "--quick")},
        {{p, "-Q"}, usage(p, "-Q")},
        {{p, "-qn"}, usage(p, "-qn")},
        // No program name at all: refused under the program's own name.
        {{}, usage("bulfetch", "empty argument vector")},
        {{"", "-n"}, usage("bulfetch", "empty argument vector")},
    };
    for (const Case &c : cases) {
        Outcome o = run(c.argv);
        EXPECT_EQ(o.status, 1) << testing::PrintToString(c.argv);
        EXPECT_EQ(o.err, c.err) << testing::PrintToString(c.argv);
        EXPECT_EQ(o.out, "") << testing::PrintToString(c.argv);
    }
}

} // namespace
