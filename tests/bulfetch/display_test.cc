// The body on standard output: byte for byte into a pipe, with its control
// characters made visible on a terminal.
#include "bulfetch/bulfetch.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/bulfetch/child_process.h"
#include "tests/bulfetch/scratch_dir.h"

using namespace std::literals;

namespace {

// Everything readable from fd until its writers are gone.
std::string drain(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)  // a pty master reads EIO once the slave is closed
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string shown_through_pipe(const char *bulletin)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    int status = run_in_child([&] {
        close(fds[0]);
        dup2(fds[1], 1);
        view_message_by_tty(bulletin);
        return 0;
    });
    close(fds[1]);
    std::string out = drain(fds[0]);
    close(fds[0]);
    EXPECT_EQ(status, 0);
    return out;
}

std::string shown_on_terminal(const char *bulletin, const char *locale)
{
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return {};
    }
    // Raw: the line discipline would otherwise turn LF into CR LF.
    struct termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    int status = run_in_child([&] {
        close(master);
        dup2(slave, 1);
        setenv("LC_ALL", locale, 1);
        view_message_by_tty(bulletin);
        return 0;
    });
    close(slave);
    std::string out = drain(master);
    close(master);
    EXPECT_EQ(status, 0);
    return out;
}

TEST(ViewMessageByTty, PipeGetsTheBodyByteForByte)
{
    struct Case {
        const char *bulletin;
        std::string body;
    } cases[] = {
        {"BUL:0 1\nline one\nline two\n", "line one\nline two\n"},
        {"BUL:0 1\nno final newline", "no final newline"},
        {"BUL:0 1\n", ""},
        {"BUL:0 1\n\x1b[31mred\x9b\xc2\x9b\x7f\r\n", "\x1b[31mred\x9b\xc2\x9b\x7f\r\n"},
        {"BUL:0\nstamp line is body\n", "stamp line is body\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(shown_through_pipe(c.bulletin), c.body) << c.bulletin;
    const char with_nul[] = "BUL:0 1\nbefore\0after\n";
    EXPECT_EQ(shown_through_pipe(with_nul), "before");
}

TEST(ViewMessageByTty, TerminalSeesNoControls)
{
    struct Case {
        const char *bulletin;
        const char *locale;
        std::string shown;
    } cases[] = {
        {"BUL:0 1\nplain\n\ttext\n", "C.UTF-8", "plain\n\ttext\n"},
        {"BUL:0 1\n\x1b]2;title\x07\x1b[2J\n", "C.UTF-8", "^[]2;title^G^[[2J\n"},
        {"BUL:0 1\n\x9b" "1m \xc2\x9b" "1m \xe2\x80\x9c" "ok\xe2\x80\x9d\n", "C.UTF-8",
         "\\x9b1m \\u009b1m \xe2\x80\x9c" "ok\xe2\x80\x9d\n"},
        {"BUL:0 1\n\x9b" "1m \xc2\x9b" "1m\n", "C", "\\x9b1m \xc2\\x9b1m\n"},
        {"BUL:0 1\n", "C.UTF-8", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(shown_on_terminal(c.bulletin, c.locale), c.shown)
            << testing::PrintToString(std::string(c.bulletin)) << " in " << c.locale;
}

TEST(ViewMessageByTty, WriteFailureIsNotFatal)
{
    // The write fails and the run goes on to exit with status 0: standard
    // output closed (EBADF), a pipe whose reader has gone (EPIPE, which
    // would otherwise end the process by SIGPIPE), or a file under a size
    // limit of 0 (EFBIG, otherwise SIGXFSZ).
    enum class Out { Closed, PipeWithoutReader, FileOverLimit };
    ScratchDir dir;
    std::string file = dir / "out";
    for (Out out : {Out::Closed, Out::PipeWithoutReader, Out::FileOverLimit}) {
        int status = run_in_child([&] {
            // Whatever the test runner left.
            signal(SIGPIPE, SIG_DFL);
            signal(SIGXFSZ, SIG_DFL);
            if (out == Out::PipeWithoutReader) {
                int fds[2];
                if (pipe(fds) != 0)
                    return 10;
                close(fds[0]);
                dup2(fds[1], 1);
                close(fds[1]);
            } else if (out == Out::FileOverLimit) {
                int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                struct rlimit none = {0, 0};
                if (fd < 0 || setrlimit(RLIMIT_FSIZE, &none) != 0)
                    return 10;
                dup2(fd, 1);
                close(fd);
            } else {
                // As the run starts: the guard fills both closed slots,
                // and a write to either still fails.
                close(1);
                close(2);
                if (standard_descriptors() != 0 || fcntl(1, F_GETFD) < 0 || fcntl(2, F_GETFD) < 0)
                    return 12;
                if (write(1, "x", 1) != -1 || errno != EBADF || write(2, "x", 1) != -1)
                    return 13;
            }
            view_message_by_tty("BUL:0 1\nbody\n");
            // The dispositions the run had are put back afterwards.
            struct sigaction pipe_now {}, size_now {};
            sigaction(SIGPIPE, nullptr, &pipe_now);
            sigaction(SIGXFSZ, nullptr, &size_now);
            return pipe_now.sa_handler == SIG_DFL && size_now.sa_handler == SIG_DFL ? 0 : 11;
        });
        EXPECT_EQ(status, 0) << int(out);
    }
}

} // namespace
